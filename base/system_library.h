// Loading a library of the system's own, so a copy planted in a folder searched before the
// system folder (the launcher's, the current one) is never the one loaded.
#pragma once

#include <windows.h>

/// Loads `name` (a bare file name such as L"advapi32.dll") and the libraries it imports from
/// the system folder. Returns the module, or null with the last error set.
HMODULE load_system_library(const wchar_t* name);
