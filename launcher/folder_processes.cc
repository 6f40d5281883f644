#include "launcher/folder_processes.h"

#include <stdlib.h>
#include <wchar.h>
#include <psapi.h>

#include "base/system_library.h"
#include "paths/module_path.h"

namespace {

// Bound at run time: Kernel32 has the call from Windows 7 on, Psapi before, and a static
// import would keep the launcher from starting where it is missing.
BOOL list_process_ids(DWORD* ids, DWORD bytes, DWORD* used) {
  using function = BOOL(WINAPI*)(DWORD*, DWORD, DWORD*);
  static function volatile bound = nullptr;
  function call = bound;
  if (!call) {
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    FARPROC found = kernel ? GetProcAddress(kernel, "K32EnumProcesses") : nullptr;
    if (!found) {
      HMODULE psapi = load_system_library(L"psapi.dll");
      found = psapi ? GetProcAddress(psapi, "EnumProcesses") : nullptr;
    }
    if (!found) return FALSE;
    call = reinterpret_cast<function>(reinterpret_cast<void*>(found));
    bound = call;
  }
  return call(ids, bytes, used);
}

// Units of a process's image path, and of the folder's normal form: the file calls' limit.
constexpr DWORD image_path_capacity = 32768;
// Process ids the first listing holds. The call says nothing of ids it had no room for, so a
// listing that fills its buffer is made again in one twice as large, up to the largest.
constexpr DWORD process_list_first_capacity = 16384;
constexpr DWORD process_list_largest_capacity = 16384 * 64;

struct folder_look {
  const wchar_t* folder;  // as the caller gave it
  size_t folder_length;
  wchar_t* normal;  // image_path_capacity units: the folder's normal form, made on first need
  bool normal_made;
  wchar_t* image;  // image_path_capacity units: one process's image path
  // image_path_capacity units for the folder's final path: the normal form is made while the
  // image path of the process that needed it is still to be compared.
  wchar_t* final_path;
  FILETIME not_before;
};

// `path` names an entry below `folder` (`length` units): the folder's text, a backslash, more.
bool below(const wchar_t* path, const wchar_t* folder, size_t length) {
  return length > 0 && _wcsnicmp(path, folder, length) == 0 && path[length] == L'\\' && path[length + 1] != 0;
}

// The same normal form an image path gets: the folder's final path through links, every
// component short. The folder itself is opened (a directory needs backup semantics), then
// shortened as a whole.
void make_folder_normal_form(folder_look& look) {
  look.normal_made = true;
  look.normal[0] = 0;
  HANDLE folder = CreateFileW(look.folder, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (folder == INVALID_HANDLE_VALUE) return;
  DWORD length = GetFinalPathNameByHandleW(folder, look.final_path, image_path_capacity, 0);
  CloseHandle(folder);
  if (length == 0 || length >= image_path_capacity) return;
  strip_extended_prefix(look.final_path);
  length = GetShortPathNameW(look.final_path, look.normal, image_path_capacity);
  if (length == 0 || length >= image_path_capacity) look.normal[0] = 0;
}

bool runs_from_folder(folder_look& look, HANDLE process) {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return false;
  if (CompareFileTime(&created, &look.not_before) < 0) return false;
  DWORD length = image_path_capacity;
  if (!QueryFullProcessImageNameW(process, 0, look.image, &length)) return false;
  if (below(look.image, look.folder, look.folder_length)) return true;
  if (!look.normal_made) make_folder_normal_form(look);
  if (look.normal[0] == 0) return false;
  normalise_module_path(look.image, image_path_capacity);
  return below(look.image, look.normal, wcslen(look.normal));
}

// Every process id on the system, in a buffer from the heap that the caller frees; null when
// memory or the call fails, or the largest buffer is still too small.
DWORD* list_every_process(DWORD* count) {
  for (DWORD capacity = process_list_first_capacity; capacity <= process_list_largest_capacity; capacity *= 2) {
    DWORD* ids = static_cast<DWORD*>(malloc(capacity * sizeof(DWORD)));
    DWORD bytes = 0;
    if (!ids || !list_process_ids(ids, capacity * sizeof(DWORD), &bytes)) {
      free(ids);
      return nullptr;
    }
    if (bytes < capacity * sizeof(DWORD)) {
      *count = bytes / sizeof(DWORD);
      return ids;
    }
    free(ids);
  }
  return nullptr;
}

}  // namespace

bool any_process_runs_from(const wchar_t* folder) {
  folder_look look = {};
  look.folder = folder;
  look.folder_length = wcslen(folder);
  while (look.folder_length > 0 && folder[look.folder_length - 1] == L'\\') --look.folder_length;
  FILETIME exited, kernel, user;
  DWORD count = 0;
  DWORD* ids = nullptr;
  look.normal = static_cast<wchar_t*>(malloc(3 * image_path_capacity * sizeof(wchar_t)));
  if (look.normal && GetProcessTimes(GetCurrentProcess(), &look.not_before, &exited, &kernel, &user)) {
    ids = list_every_process(&count);
  }
  // Without a whole listing nobody can say that nothing runs from the folder.
  bool found = ids == nullptr;
  if (ids) {
    look.image = look.normal + image_path_capacity;
    look.final_path = look.image + image_path_capacity;
    DWORD self = GetCurrentProcessId();
    for (DWORD i = 0; i < count && !found; ++i) {
      if (ids[i] == self || ids[i] == 0) continue;
      HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, ids[i]);
      if (!process) continue;
      found = runs_from_folder(look, process) && WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
      CloseHandle(process);
    }
  }
  free(look.normal);
  free(ids);
  return found;
}
