#include "launcher/executable_child.h"

#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

#include "base/diagnostics.h"
#include "launcher/child_command_line.h"
#include "launcher/child_process.h"
#include "launcher/run_state.h"

bool build_executable_command_line(const wchar_t* image, wchar_t* line, size_t capacity) {
  const wchar_t* tail = after_program_name(GetCommandLineW());
  size_t image_units = wcslen(image), tail_units = wcslen(tail);
  // Without the blank, "C:\app.exe"x would give the application a first argument that the
  // splitter of the default run's child and of the cached run sees as its own argument.
  bool blank = tail_units > 0 && tail[0] != L' ' && tail[0] != L'\t';
  size_t units = 2 + image_units + (blank ? 1 : 0) + tail_units;
  if (units + 1 > capacity) return false;
  wchar_t* d = line;
  *d++ = L'"';
  d = wmemcpy(d, image, image_units) + image_units;
  *d++ = L'"';
  if (blank) *d++ = L' ';
  wmemcpy(d, tail, tail_units + 1);
  return true;
}

// The shell reads these from the startup information: the hot key shares hStdInput and the
// monitor hStdOutput, so either stands only where no standard handles were given.
static constexpr DWORD startf_use_monitor = 0x400;
static constexpr DWORD startup_flags_passed_on =
    STARTF_USESHOWWINDOW | STARTF_USESIZE | STARTF_USEPOSITION | STARTF_USECOUNTCHARS | STARTF_USEFILLATTRIBUTE |
    STARTF_RUNFULLSCREEN | STARTF_FORCEONFEEDBACK | STARTF_FORCEOFFFEEDBACK | STARTF_TITLEISLINKNAME |
    STARTF_TITLEISAPPID | STARTF_PREVENTPINNING | STARTF_UNTRUSTEDSOURCE;

STARTUPINFOW executable_startup_info() {
  STARTUPINFOW own = {};
  own.cb = sizeof own;
  GetStartupInfoW(&own);
  STARTUPINFOW startup = startup_with_own_handles();
  startup.dwFlags |= own.dwFlags & startup_flags_passed_on;
  startup.lpTitle = own.lpTitle;
  startup.wShowWindow = own.wShowWindow;
  startup.dwX = own.dwX;
  startup.dwY = own.dwY;
  startup.dwXSize = own.dwXSize;
  startup.dwYSize = own.dwYSize;
  startup.dwXCountChars = own.dwXCountChars;
  startup.dwYCountChars = own.dwYCountChars;
  startup.dwFillAttribute = own.dwFillAttribute;
  DWORD shell_handles = own.dwFlags & (STARTF_USEHOTKEY | startf_use_monitor);
  if (shell_handles && !(own.dwFlags & STARTF_USESTDHANDLES)) {
    startup.dwFlags = (startup.dwFlags & ~STARTF_USESTDHANDLES) | shell_handles;
    startup.hStdInput = own.hStdInput;
    startup.hStdOutput = own.hStdOutput;
    startup.hStdError = nullptr;
  }
  return startup;
}

uint32_t launch_and_supervise_executable(const wchar_t* image) {
  if (!build_executable_command_line(image, g_child_command_line, child_command_line_capacity)) {
    print_system_error("Error, couldn't launch child", ERROR_FILENAME_EXCED_RANGE);
    exit(2);
  }
  // The application is what the user started through a shortcut: it opens minimized or
  // maximized as the shortcut says, and the taskbar groups and pins it by the shortcut.
  STARTUPINFOW startup = executable_startup_info();
  return launch_and_supervise_child(image, g_child_command_line, &startup);
}

// The application shares the console and gets every event itself; the launcher has nothing
// to remove, so it only stays to pass on the code the application ends with. Closing the
// console, logging off and shutting down end it as the system does, and the job the application.
static BOOL WINAPI stay_for_the_application(DWORD event) { return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT; }

uint32_t run_cached_executable(const wchar_t* image) {
  SetConsoleCtrlHandler(stay_for_the_application, TRUE);
  return launch_and_supervise_executable(image);
}
