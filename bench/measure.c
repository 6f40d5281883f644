/* Runs one command line and prints its wall time and the peak memory Windows accounts to it:
   "seconds=<s> exit=<code> peak_working_set=<bytes> peak_private=<bytes>". */
#include <stdio.h>
#include <windows.h>
#include <psapi.h>

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return 90;
  wchar_t* line = wcsstr(GetCommandLineW(), argv[1]);
  STARTUPINFOW startup = {0};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process;
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  if (!CreateProcessW(NULL, line, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process)) return 91;
  WaitForSingleObject(process.hProcess, INFINITE);
  QueryPerformanceCounter(&end);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  PROCESS_MEMORY_COUNTERS_EX counters = {0};
  counters.cb = sizeof counters;
  K32GetProcessMemoryInfo(process.hProcess, (PROCESS_MEMORY_COUNTERS*)&counters, sizeof counters);
  printf("seconds=%.6f exit=%lu peak_working_set=%llu peak_private=%llu\n",
         (double)(end.QuadPart - start.QuadPart) / (double)frequency.QuadPart, code,
         (unsigned long long)counters.PeakWorkingSetSize, (unsigned long long)counters.PeakPagefileUsage);
  return 0;
}
