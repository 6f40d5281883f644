#include "launcher/child_process.h"

#include <stdlib.h>

#include "launcher/backoff.h"
#include "launcher/child_command_line.h"
#include "launcher/child_job.h"
#include "launcher/folder_processes.h"
#include "launcher/remove_tree.h"
#include "launcher/run_state.h"
#include "launcher/splash.h"
#include "base/diagnostics.h"

static constexpr size_t system_command_line_limit = 32766;

// The removal walk never follows a link: the shell's deleter (under Wine) enters links to
// folders, and deleting a link by its path deletes the file it points to, so either would
// take files outside the target directory with it.
static void send_delete_request() {
  InterlockedIncrement(&g_cleanup_delete_requests);
  release_target_folder();
  remove_tree_through_handles(g_target_directory, tree_removal_options{});
}

static bool target_directory_exists() {
  DWORD attributes = GetFileAttributesW(g_target_directory);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// A scanner that opens each new file for a moment keeps it from being deleted: the walk is
// asked again after growing pauses, and what still stays after them a later start collects.
static void remove_target_directory() {
  send_delete_request();
  for (backoff pauses; target_directory_exists() && pauses.pause();) send_delete_request();
}

// A helper the application started from the folder still needs its files, and an updater
// among them may be waiting for the launcher to end: the folder stays whole, and a later
// start collects it once nothing runs from it.
static void remove_target_directory_unless_in_use() {
  if (!g_unpacking_started) return;
  if (any_process_runs_from(g_target_directory)) return;
  remove_target_directory();
}

// Whoever takes the handle out of the slot is the only one that waits on, terminates and
// closes it: the handle is closed exactly once and never while another thread still uses it.
// Two clean-ups at once are not serialised otherwise; a second one simply finds the slot empty.
static HANDLE take_child_handle() { return static_cast<HANDLE>(InterlockedExchangePointer(&g_child_process, nullptr)); }

void cleanup_child_and_directory() {
  HANDLE child = take_child_handle();
  if (child) {
    if (WaitForSingleObject(child, child_grace_ms) != WAIT_OBJECT_0) {
      TerminateProcess(child, child_terminated_exit_code);
    }
    CloseHandle(child);
  }
  remove_target_directory_unless_in_use();
}

BOOL WINAPI console_ctrl_handler(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      // Once the application runs, an interrupt is its own to handle: a REPL drops the line
      // it reads, a server saves its state. The launcher stays and passes on the code the
      // application ends with. Before that, an interrupt ends the launcher.
      if (g_application_started) return TRUE;
      cleanup_child_and_directory();
      return FALSE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT: cleanup_child_and_directory(); return FALSE;
    default: return FALSE;
  }
}

uint32_t launch_and_supervise_child() {
  fill_own_path_for_launch();
  build_child_command_line();
  return launch_and_supervise_child(g_own_path_for_launch, g_child_command_line);
}

STARTUPINFOW startup_with_own_handles() {
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  return startup;
}

uint32_t launch_and_supervise_child(const wchar_t* image, wchar_t* command_line, const STARTUPINFOW* given) {
  STARTUPINFOW startup = given ? *given : startup_with_own_handles();

  // The system keeps a command line of at most 32,766 characters (its length is counted in
  // bytes in 16 bits). Windows refuses a longer one with this error; Wine cuts it short
  // without a word, and the application would run with its last argument changed. Refuse it
  // the same way everywhere, leaving the target directory like any failed launch.
  if (wcslen(command_line) > system_command_line_limit) {
    print_system_error("Error, couldn't launch child", ERROR_FILENAME_EXCED_RANGE);
    exit(2);
  }

  // The job handle stays open, unused, until this process ends: then the system ends the
  // child too. A system that refuses to start the child inside the job starts it as before.
  child_job job;
  prepare_child_job(job);
  STARTUPINFOEXW in_job = {};
  in_job.StartupInfo = startup;
  in_job.StartupInfo.cb = sizeof in_job;
  in_job.lpAttributeList = job.attributes;
  PROCESS_INFORMATION process = {};
  bool started = job.attributes && CreateProcessW(image, command_line, nullptr, nullptr, TRUE,
                                                  NORMAL_PRIORITY_CLASS | EXTENDED_STARTUPINFO_PRESENT, nullptr,
                                                  nullptr, &in_job.StartupInfo, &process);
  if (!started) {
    if (!CreateProcessW(image, command_line, nullptr, nullptr, TRUE, NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startup,
                        &process)) {
      DWORD code = GetLastError();
      print_system_error("Error, couldn't launch child", code);
      exit(2);
    }
    assign_child_job(job, process.hProcess);
  }
  CloseHandle(process.hThread);
  g_application_started = true;
  // The main thread keeps its own handle for the wait and the exit code; the slot gets a
  // duplicate that a console event's clean-up may take, wait on and close at any moment.
  HANDLE own = process.hProcess;
  HANDLE shared = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), own, GetCurrentProcess(), &shared, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
    shared = nullptr;  // then only the main thread supervises the child
  }
  g_child_process = shared;

  return supervise_child(own);
}

// The application has ended: what the parent does before it ends itself with the
// application's code. Programs the application started run on; none is waited for or ended.
static void end_of_run() { remove_target_directory_unless_in_use(); }

uint32_t supervise_child(HANDLE process) {
  splash_follow(process);
  WaitForSingleObject(process, INFINITE);
  DWORD code = 0;
  uint32_t exit_code = GetExitCodeProcess(process, &code) ? code : 1;
  CloseHandle(process);
  if (HANDLE left = take_child_handle()) CloseHandle(left);

  end_of_run();
  return exit_code;
}
