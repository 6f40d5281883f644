// A main library with a load-time import of dependency_origin.dll: reports which copy of it the
// system bound ("origin=" and "dep_module=" lines) and returns 0 only for the payload's.
#include <stdio.h>
#include <string.h>
#include <windows.h>

extern "C" __declspec(dllimport) const char* dependency_origin();

extern "C" __declspec(dllexport) int run_code(int, wchar_t**, const wchar_t*) {
  wchar_t path[4096] = L"";
  GetModuleFileNameW(GetModuleHandleW(L"dependency_origin.dll"), path, 4096);
  printf("origin=%s\n", dependency_origin());
  printf("dep_module=%ls\n", path);
  fflush(stdout);
  return strcmp(dependency_origin(), "payload") == 0 ? 0 : 66;
}
