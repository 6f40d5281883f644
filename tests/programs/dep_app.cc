// A main library with a load-time import of dependency_origin.dll and a run-time load of
// plugin.dll, as plug-in hosts and delay-loads do: reports which copy of each the system bound
// ("origin=", "dep_module=", "plugin_origin=" lines) and returns 0 only for the payload's.
#include <stdio.h>
#include <string.h>
#include <windows.h>

extern "C" __declspec(dllimport) const char* dependency_origin();

extern "C" __declspec(dllexport) int run_code(int, wchar_t**, const wchar_t*) {
  wchar_t path[4096] = L"";
  GetModuleFileNameW(GetModuleHandleW(L"dependency_origin.dll"), path, 4096);
  printf("origin=%s\n", dependency_origin());
  printf("dep_module=%ls\n", path);
  HMODULE plugin = LoadLibraryW(L"plugin.dll");
  using origin_fn = const char* (*)();
  auto plugin_origin = reinterpret_cast<origin_fn>(
      reinterpret_cast<void*>(plugin ? GetProcAddress(plugin, "dependency_origin") : nullptr));
  printf("plugin_origin=%s\n", plugin_origin ? plugin_origin() : "none");
  fflush(stdout);
  if (strcmp(dependency_origin(), "payload") != 0) return 66;
  return plugin_origin && strcmp(plugin_origin(), "payload") == 0 ? 0 : 67;
}
