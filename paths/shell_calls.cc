#include "paths/shell_calls.h"

#include "base/system_library.h"

// Only from the system folder: a planted shell32.dll elsewhere is never loaded. Two threads
// may bind at once (a console event beside the main thread); both get the same module and
// the same addresses, so the race is harmless.
static FARPROC shell_function(const char* name) {
  static HMODULE volatile shell = nullptr;
  HMODULE module = shell;
  if (!module) {
    module = load_system_library(L"shell32.dll");
    if (!module) return nullptr;
    shell = module;
  }
  return GetProcAddress(module, name);
}

template <class Function>
static Function bind(const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(shell_function(name)));
}

HRESULT shell_get_folder_path(HWND window, int folder, HANDLE token, DWORD flags, LPWSTR path) {
  using function = HRESULT(WINAPI*)(HWND, int, HANDLE, DWORD, LPWSTR);
  static function call = nullptr;
  if (!call) call = bind<function>("SHGetFolderPathW");
  return call ? call(window, folder, token, flags, path) : E_FAIL;
}
