// Loading a library of the system's own, so a copy planted in a folder searched before the
// system folder (the launcher's, the current one) is never the one loaded.
#pragma once

#include <windows.h>

/// Loads `name` (a bare file name such as L"advapi32.dll") and the libraries it imports from
/// the system folder. Returns the module, or null with the last error set.
HMODULE load_system_library(const wchar_t* name);

/// Sets `*to` to the function `name` exports from `module` (null when the module is null or
/// lacks it) and says whether it was found: the one place a bound call gets its type.
template <class Function>
bool bind_function(HMODULE module, const char* name, Function* to) {
  *to = module ? reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name))) : nullptr;
  return *to != nullptr;
}
