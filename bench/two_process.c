/* The floor of start-up for any design that runs the application in a second process: starts
   itself again with the same library, waits and exits with its code; the second process loads
   the library and calls run_code, as bench/plain_host.c does in one. */
#include <windows.h>
#include <wchar.h>
typedef int (*run_code_fn)(int, wchar_t**, const wchar_t*);
int WINAPI wWinMain(HINSTANCE a, HINSTANCE b, PWSTR c, int d) {
  (void)a;
  (void)b;
  (void)c;
  (void)d;
  if (__argc < 2) return 90;
  if (__argc == 2) {
    wchar_t self[MAX_PATH], line[3 * MAX_PATH];
    GetModuleFileNameW(NULL, self, MAX_PATH);
    swprintf(line, 3 * MAX_PATH, L"\"%ls\" \"%ls\" child", self, __wargv[1]);
    STARTUPINFOW si = {0};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    if (!CreateProcessW(self, line, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) return 93;
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    return (int)code;
  }
  HMODULE library = LoadLibraryExW(__wargv[1], NULL, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (!library) return 91;
  run_code_fn run_code = (run_code_fn)(void*)GetProcAddress(library, "run_code");
  if (!run_code) return 92;
  return run_code(__argc, __wargv, __wargv[1]);
}
