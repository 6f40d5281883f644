#include "base/system_library.h"

#include "base/wide_buffer.h"

// The system folder's path and a file name in it; the system folder sits near a drive's root.
static constexpr size_t system_library_path_capacity = MAX_PATH + 64;

HMODULE load_system_library(const wchar_t* name) {
  HMODULE module = LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  // Vista, and Windows 7 without update KB2533623, know no LOAD_LIBRARY_SEARCH_ flag and say
  // so. There the full path names the file, and the altered search order looks for its
  // imports in its own folder, the system folder, before the launcher's.
  if (module || GetLastError() != ERROR_INVALID_PARAMETER) return module;
  wchar_t path[system_library_path_capacity];
  UINT length = GetSystemDirectoryW(path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return nullptr;
  wbuf_append(path, system_library_path_capacity, L"\\");
  wbuf_append(path, system_library_path_capacity, name);
  return LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}
