#include "launcher/child_process.h"

#include <stdlib.h>
#include <shellapi.h>

#include "launcher/child_command_line.h"
#include "launcher/remove_tree.h"
#include "launcher/run_state.h"
#include "base/diagnostics.h"
#include "paths/shell_calls.h"

static constexpr size_t system_command_line_limit = 32766;

// Wine's shell deleter builds every path in a MAX_PATH buffer. A path that does not fit is
// lost, and the deleter then walks "*" of the current directory instead: it deletes the
// files of whatever folder the launcher was started from. Paths near that limit are removed
// here with the file calls, which take long paths, and while any of them is left the shell
// is not asked at all. A tree of short paths goes to the shell deleter as it is.
static constexpr size_t shell_path_limit = MAX_PATH - 14;  // room for "\*" and an 8.3 name

static void send_delete_request() {
  SHFILEOPSTRUCTW request = {};
  request.hwnd = nullptr;
  request.wFunc = FO_DELETE;
  request.pFrom = g_delete_list;
  request.pTo = L"";
  request.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;
  request.fAnyOperationsAborted = FALSE;
  request.hNameMappings = nullptr;
  request.lpszProgressTitle = L"";
  InterlockedIncrement(&g_cleanup_delete_requests);
  bool target_too_long = wcslen(g_target_directory) >= shell_path_limit;
  // When the walk could not check the tree, it says something is left: the shell is not safe.
  bool long_paths_left = remove_tree_below(g_target_directory, shell_path_limit);
  if (target_too_long) {
    RemoveDirectoryW(g_target_directory);
  } else if (!long_paths_left) {
    shell_file_operation(&request);
  }
}

static bool target_directory_exists() {
  DWORD attributes = GetFileAttributesW(g_target_directory);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Whoever takes the handle out of the slot is the only one that waits on, terminates and
// closes it: the handle is closed exactly once and never while another thread still uses it.
// Two clean-ups at once are not serialised otherwise; a second one simply finds the slot empty.
static HANDLE take_child_handle() {
  return static_cast<HANDLE>(InterlockedExchangePointer(&g_child_process, nullptr));
}

void cleanup_child_and_directory() {
  HANDLE child = take_child_handle();
  if (child) {
    if (WaitForSingleObject(child, child_grace_ms) != WAIT_OBJECT_0) {
      TerminateProcess(child, child_terminated_exit_code);
    }
    CloseHandle(child);
  }
  if (!g_unpacking_started) return;

  // Built afresh from the target directory each time; the terminator pair is always there.
  size_t length = wcslen(g_target_directory);
  wmemcpy(g_delete_list, g_target_directory, length);
  g_delete_list[length] = 0;
  g_delete_list[length + 1] = 0;

  send_delete_request();
  for (int retry = 0; retry < cleanup_retries; ++retry) {
    if (!target_directory_exists()) return;
    Sleep(cleanup_pause_ms);
    send_delete_request();
  }
}

BOOL WINAPI console_ctrl_handler(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT: cleanup_child_and_directory(); break;
    default: break;
  }
  return FALSE;
}

uint32_t launch_and_supervise_child() {
  fill_own_path_for_launch();

  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);

  build_child_command_line();
  // The system keeps a command line of at most 32,766 characters (its length is counted in
  // bytes in 16 bits). Windows refuses a longer one with this error; Wine cuts it short
  // without a word, and the application would run with its last argument changed. Refuse it
  // the same way everywhere, leaving the target directory like any failed launch.
  if (wcslen(g_child_command_line) > system_command_line_limit) {
    print_system_error("Error, couldn't launch child", ERROR_FILENAME_EXCED_RANGE);
    exit(2);
  }

  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(g_own_path_for_launch, g_child_command_line, nullptr, nullptr, TRUE, NORMAL_PRIORITY_CLASS,
                      nullptr, nullptr, &startup, &process)) {
    DWORD code = GetLastError();
    print_system_error("Error, couldn't launch child", code);
    exit(2);
  }
  CloseHandle(process.hThread);
  // The main thread keeps its own handle for the wait and the exit code; the slot gets a
  // duplicate that a console event's clean-up may take, wait on and close at any moment.
  HANDLE own = process.hProcess;
  HANDLE shared = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), own, GetCurrentProcess(), &shared, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
    shared = nullptr;  // then only the main thread supervises the child
  }
  g_child_process = shared;
  uint32_t exit_code = 0;

  WaitForSingleObject(own, INFINITE);
  DWORD code = 0;
  exit_code = GetExitCodeProcess(own, &code) ? code : 1;
  CloseHandle(own);
  if (HANDLE left = take_child_handle()) CloseHandle(left);

  cleanup_child_and_directory();
  return exit_code;
}
