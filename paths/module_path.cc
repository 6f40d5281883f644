#include "paths/module_path.h"

#include <stdlib.h>
#include <windows.h>

#include "base/wide_buffer.h"

using get_final_path_fn = DWORD(WINAPI*)(HANDLE, LPWSTR, DWORD, DWORD);

void resolve_final_path(wchar_t* path, uint32_t capacity) {
  HANDLE file = CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;

  // Looked up at run time so the launcher still starts where the call does not exist.
  auto get_final_path = reinterpret_cast<get_final_path_fn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("Kernel32.dll"), "GetFinalPathNameByHandleW")));
  if (get_final_path) {
    // The call may leave partial text behind when it fails; the path must survive that.
    wchar_t* before = _wcsdup(path);
    if (!before) abort();
    DWORD result = get_final_path(file, path, capacity, 0);
    CloseHandle(file);
    if (result >= capacity) abort();
    if (result == 0) wbuf_copy(path, capacity, before);
    free(before);
  } else {
    CloseHandle(file);
  }

  strip_extended_prefix(path);
}

void strip_extended_prefix(wchar_t* path) {
  if (wcsncmp(path, L"\\\\?\\", 4) == 0 && path[4] != 0 && path[5] == L':') {
    wmemmove(path, path + 4, wcslen(path + 4) + 1);
  } else if (wcsncmp(path, L"\\\\?\\UNC\\", 8) == 0) {
    // "\\?\UNC\server" -> "\\server": drop six units, keep the two leading backslashes.
    wmemmove(path + 2, path + 8, wcslen(path + 8) + 1);
  }
}

void shorten_directory_part(wchar_t* path, uint32_t capacity) {
  wchar_t* last_component = nullptr;
  wchar_t* separator = wcsrchr(path, L'\\');
  if (separator) {
    *separator = 0;
    last_component = _wcsdup(separator + 1);
    if (!last_component) abort();
  }

  DWORD needed = GetShortPathNameW(path, nullptr, 0);
  if (needed != 0) {
    wchar_t* short_form = static_cast<wchar_t*>(malloc((needed + 1) * sizeof(wchar_t)));
    if (!short_form) abort();
    DWORD result = GetShortPathNameW(path, short_form, needed);
    if (result > needed) abort();
    if (result != 0) wbuf_copy(path, capacity, short_form);
    free(short_form);
  }

  if (last_component) {
    wbuf_append(path, capacity, L"\\");
    wbuf_append(path, capacity, last_component);
    free(last_component);
  }
}

void normalise_module_path(wchar_t* path, uint32_t capacity) {
  resolve_final_path(path, capacity);
  shorten_directory_part(path, capacity);
}
