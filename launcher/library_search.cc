#include "launcher/library_search.h"

#include <windows.h>

// Bound from Kernel32 at run time: a static import of either would keep the launcher from
// starting at all where they are missing.
bool confine_library_search(const wchar_t* folder) {
  using set_default_fn = BOOL(WINAPI*)(DWORD flags);
  using add_directory_fn = DLL_DIRECTORY_COOKIE(WINAPI*)(PCWSTR directory);
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  auto set_default = reinterpret_cast<set_default_fn>(
      reinterpret_cast<void*>(kernel ? GetProcAddress(kernel, "SetDefaultDllDirectories") : nullptr));
  auto add_directory = reinterpret_cast<add_directory_fn>(
      reinterpret_cast<void*>(kernel ? GetProcAddress(kernel, "AddDllDirectory") : nullptr));
  // The folder first: with the default set and the folder missing, the application's own
  // libraries would not be found by name at all.
  if (set_default && add_directory && add_directory(folder) &&
      set_default(LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_USER_DIRS)) {
    return true;
  }
  SetDllDirectoryW(folder);
  return false;
}
