// exit_code_witness PROGRAM [ARGS...]: runs PROGRAM with the rest of its own command line as it
// came, on the same standard handles, and ends with the exit code Windows records for it.
// A program run straight from a Unix shell reaches it through Wine's Unix exit status, which
// a runtime that ends its other threads at exit (GHC's, under Wine 10 and load) can lose as 0
// now and then. A launcher reads the code from the system as this does, so a direct run seen
// through this program is compared with a packed one on equal terms.
// Exit code 120 when PROGRAM cannot be started.
#include <stdio.h>
#include <windows.h>

int wmain() {
  // The tail of our own command line after our name, as the system parsed it for argv[0]:
  // quoted up to the next quote, otherwise up to the first blank.
  wchar_t* rest = GetCommandLineW();
  if (*rest == L'"') {
    ++rest;
    while (*rest && *rest != L'"') ++rest;
    if (*rest) ++rest;
  } else {
    while (*rest && *rest != L' ' && *rest != L'\t') ++rest;
  }
  while (*rest == L' ' || *rest == L'\t') ++rest;
  if (!*rest) {
    fprintf(stderr, "usage: exit_code_witness PROGRAM [ARGS...]\n");
    return 120;
  }
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, rest, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
    fprintf(stderr, "exit_code_witness: cannot start %ls (error %lu)\n", rest, GetLastError());
    return 120;
  }
  CloseHandle(process.hThread);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 120;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  ExitProcess(code);
}
