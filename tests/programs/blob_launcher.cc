// A launcher whose payload comes from the file named by TAVREN_TEST_BLOB instead of its own
// image: one executable serves a whole catalogue of payloads. Its child inherits the
// variable, so both roles read the same blob, as a packed launcher's roles do. With
// TAVREN_TEST_ENTRY=executable it runs the payload's main file as an executable entry.
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

#include "launcher/run_sequence.h"

extern "C" int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  wchar_t path[4096];
  if (!GetEnvironmentVariableW(L"TAVREN_TEST_BLOB", path, 4096)) return 90;
  FILE* file = _wfopen(path, L"rb");
  if (!file) return 91;
  fseek(file, 0, SEEK_END);
  long size = ftell(file);
  fseek(file, 0, SEEK_SET);
  // Read-only pages, like the launcher's own image data.
  void* blob = VirtualAlloc(nullptr, size > 0 ? size : 1, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  if (size > 0 && fread(blob, 1, size, file) != static_cast<size_t>(size)) return 92;
  fclose(file);
  DWORD old = 0;
  VirtualProtect(blob, size > 0 ? size : 1, PAGE_READONLY, &old);
  wchar_t entry[16] = {};
  bool executable = GetEnvironmentVariableW(L"TAVREN_TEST_ENTRY", entry, 16) == 10 && !wcscmp(entry, L"executable");
  return run_sequence(static_cast<const unsigned char*>(blob), static_cast<size_t>(size), executable);
}
