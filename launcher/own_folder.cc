#include "launcher/own_folder.h"

#include <wchar.h>
#include <windows.h>

#include "base/diagnostics.h"
#include "base/wide_buffer.h"
#include "launcher/private_folder.h"
#include "payload/payload.h"

namespace {

bool same_folder(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

// True if the path by name, links followed as every later open follows them, leads to `held`.
bool path_leads_to(const wchar_t* path, HANDLE held) {
  BY_HANDLE_FILE_INFORMATION by_name = {}, by_handle = {};
  HANDLE folder =
      CreateFileW(path, FILE_READ_ATTRIBUTES | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (folder == INVALID_HANDLE_VALUE) return false;
  bool known = GetFileInformationByHandle(folder, &by_name) && GetFileInformationByHandle(held, &by_handle);
  CloseHandle(folder);
  return known && same_folder(by_name, by_handle);
}

// Where the first level below the volume begins: past "X:\", "\\server\share\" or their
// "\\?\" forms; 0 when the path has none of these shapes.
size_t first_level(const wchar_t* path) {
  bool long_form = wcsncmp(path, L"\\\\?\\", 4) == 0 || wcsncmp(path, L"\\\\.\\", 4) == 0;
  size_t at = long_form ? 4 : 0;
  if (path[at] && path[at + 1] == L':' && path[at + 2] == L'\\') return at + 3;
  if (long_form && wcsncmp(path + at, L"UNC\\", 4) == 0) {
    at += 4;
  } else if (!long_form && path[0] == L'\\' && path[1] == L'\\') {
    at = 2;
  } else {
    return 0;
  }
  // A share's server and share names are set by its administrators alone.
  for (int separators = 0; path[at]; ++at) {
    if (path[at] == L'\\' && ++separators == 2) return at + 1;
  }
  return 0;
}

// The first level of `path` that is a link another account could change, or its last level
// when that is a link at all, written into `level` (`capacity` units); false when there is
// none. Asked by name: Wine opens a Unix link's target even when told not to follow it.
bool foreign_link_on(const wchar_t* path, wchar_t* level, size_t capacity, folder_access access) {
  size_t start = first_level(path), length = wcslen(path);
  if (start == 0 || length + 1 > capacity) return false;
  wmemcpy(level, path, length + 1);
  for (size_t end = start; end <= length; ++end) {
    if (end < length && path[end] != L'\\') continue;
    level[end] = 0;
    DWORD attributes = GetFileAttributesW(level);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      // The last level is the own folder, which is never a link, whoever made it.
      if (end == length) return true;
      HANDLE link = CreateFileW(level, READ_CONTROL | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
      bool trusted = link != INVALID_HANDLE_VALUE && link_owner_is_trusted(link, access);
      if (link != INVALID_HANDLE_VALUE) CloseHandle(link);
      if (!trusted) return true;
    }
    level[end] = path[end];
  }
  return false;
}

}  // namespace

bool own_folder_name(folder_access access, wchar_t (&name)[own_folder_name_capacity]) {
  wchar_t sid[sid_text_capacity];
  if (!user_sid_text(sid)) return false;
  wbuf_copy(name, own_folder_name_capacity, sid);
  if (access == folder_access_elevated) wbuf_append(name, own_folder_name_capacity, L".elevated");
  return true;
}

void enter_own_folder(wchar_t* root, size_t capacity, folder_access access, bool make) {
  wchar_t name[own_folder_name_capacity];
  if (!own_folder_name(access, name)) fatal_create_folder(root, GetLastError());
  size_t length = wcslen(root);
  if (length == 0 || root[length - 1] != L'\\') wbuf_append(root, capacity, L"\\");
  wbuf_append(root, capacity, name);
  if (!make) return;
  HANDLE held = nullptr;
  DWORD error = create_private_folder(root, &held, access);
  if (error == ERROR_PATH_NOT_FOUND) {
    ensure_parent_directories(root);
    error = create_private_folder(root, &held, access);
  }
  if (error == ERROR_ALREADY_EXISTS) {
    // Made by an earlier start, or by someone else first: the checks below tell which.
    held = CreateFileW(root, FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    error = held != INVALID_HANDLE_VALUE ? ERROR_SUCCESS : GetLastError();
    if (held == INVALID_HANDLE_VALUE) held = nullptr;
  }
  if (!held) fatal_create_folder(root, error);
  // Held from here on, the folder cannot be moved, and on Windows neither can any folder
  // above it: what is checked now stays so. Only a link could still be pointed elsewhere,
  // which is why none that another account owns may be on the way.
  wchar_t level[launcher_path_capacity];
  if (foreign_link_on(root, level, launcher_path_capacity, access)) fatal_foreign_folder(level);
  if (!folder_handle_has_private_access(held, access) || !path_leads_to(root, held)) fatal_foreign_folder(root);
}
