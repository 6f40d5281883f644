#include "launcher/child_process.h"

#include <stdlib.h>
#include <shellapi.h>

#include "launcher/child_command_line.h"
#include "launcher/diagnostics.h"
#include "payload/payload.h"

volatile long cleanup_delete_requests = 0;

static constexpr size_t system_command_line_limit = 32766;

// The supervised child. Whoever takes the handle out of the slot with an atomic exchange is
// the only one that waits on, terminates and closes it: the handle is closed exactly once
// and never while another thread still uses it. Two clean-ups at once are not serialised
// otherwise; a second one simply finds the slot empty.
static PVOID volatile child_process = nullptr;

// The list of one path that SHFileOperationW wants: the path, then two zero units. One
// unit more than the target directory so the list is terminated even at 4,095 units.
static wchar_t delete_list[launcher_path_capacity + 1];

static void send_delete_request() {
  SHFILEOPSTRUCTW request = {};
  request.hwnd = nullptr;
  request.wFunc = FO_DELETE;
  request.pFrom = delete_list;
  request.pTo = L"";
  request.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;
  request.fAnyOperationsAborted = FALSE;
  request.hNameMappings = nullptr;
  request.lpszProgressTitle = L"";
  InterlockedIncrement(&cleanup_delete_requests);
  SHFileOperationW(&request);
}

static bool target_directory_exists() {
  DWORD attributes = GetFileAttributesW(target_directory);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

static HANDLE take_child_handle() {
  return static_cast<HANDLE>(InterlockedExchangePointer(&child_process, nullptr));
}

void cleanup_child_and_directory() {
  HANDLE child = take_child_handle();
  if (child) {
    if (WaitForSingleObject(child, child_grace_ms) != WAIT_OBJECT_0) {
      TerminateProcess(child, child_terminated_exit_code);
    }
    CloseHandle(child);
  }
  if (!unpacking_started) return;

  // Built afresh from the target directory each time; the terminator pair is always there.
  size_t length = wcslen(target_directory);
  wmemcpy(delete_list, target_directory, length);
  delete_list[length] = 0;
  delete_list[length + 1] = 0;

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
  if (wcslen(child_command_line) > system_command_line_limit) {
    print_system_error("Error, couldn't launch child", ERROR_FILENAME_EXCED_RANGE);
    exit(2);
  }

  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(own_path_for_launch, child_command_line, nullptr, nullptr, TRUE, NORMAL_PRIORITY_CLASS,
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
  child_process = shared;
  uint32_t exit_code = 0;

  WaitForSingleObject(own, INFINITE);
  DWORD code = 0;
  exit_code = GetExitCodeProcess(own, &code) ? code : 1;
  CloseHandle(own);
  if (HANDLE left = take_child_handle()) CloseHandle(left);

  cleanup_child_and_directory();
  return exit_code;
}
