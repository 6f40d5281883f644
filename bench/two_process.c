/* The floor of start-up for any design that runs the application in a second process: starts
   plain_host.exe (beside it) with the same library, waits and exits with its code. */
#include <windows.h>
#include <wchar.h>

int WINAPI wWinMain(HINSTANCE a, HINSTANCE b, PWSTR c, int d) {
  (void)a;
  (void)b;
  (void)c;
  (void)d;
  if (__argc < 2) return 90;
  wchar_t host[MAX_PATH], line[3 * MAX_PATH];
  DWORD length = GetModuleFileNameW(NULL, host, MAX_PATH);
  while (length > 0 && host[length - 1] != L'\\') --length;
  if (length == 0 || length + 15 > MAX_PATH) return 93;
  wcscpy(host + length, L"plain_host.exe");
  swprintf(line, 3 * MAX_PATH, L"\"%ls\" \"%ls\"", host, __wargv[1]);
  STARTUPINFOW si = {0};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi;
  if (!CreateProcessW(host, line, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) return 93;
  WaitForSingleObject(pi.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(pi.hProcess, &code);
  return (int)code;
}
