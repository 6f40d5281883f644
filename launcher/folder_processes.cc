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
// Process ids one listing holds; a system with more has its excess looked at in a later round.
constexpr DWORD process_list_capacity = 16384;

struct folder_look {
  const wchar_t* folder;  // as the caller gave it
  size_t folder_length;
  wchar_t* normal;  // image_path_capacity units: the folder's normal form, made on first need
  bool normal_made;
  wchar_t* image;  // image_path_capacity units: scratch for one process's image path
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
  DWORD length = GetFinalPathNameByHandleW(folder, look.image, image_path_capacity, 0);
  CloseHandle(folder);
  if (length == 0 || length >= image_path_capacity) return;
  strip_extended_prefix(look.image);
  length = GetShortPathNameW(look.image, look.normal, image_path_capacity);
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

// Opens up to `capacity` processes that run from the folder, for waiting; returns how many.
// Stops at the first when `handles` is null.
DWORD open_processes_running_from(const wchar_t* folder, HANDLE* handles, DWORD capacity) {
  folder_look look = {};
  look.folder = folder;
  look.folder_length = wcslen(folder);
  while (look.folder_length > 0 && folder[look.folder_length - 1] == L'\\') --look.folder_length;
  FILETIME exited, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &look.not_before, &exited, &kernel, &user)) return 0;
  DWORD* ids = static_cast<DWORD*>(malloc(process_list_capacity * sizeof(DWORD)));
  look.normal = static_cast<wchar_t*>(malloc(2 * image_path_capacity * sizeof(wchar_t)));
  DWORD found = 0, bytes = 0;
  if (ids && look.normal && list_process_ids(ids, process_list_capacity * sizeof(DWORD), &bytes)) {
    look.image = look.normal + image_path_capacity;
    DWORD self = GetCurrentProcessId();
    for (DWORD i = 0; i < bytes / sizeof(DWORD) && found < capacity; ++i) {
      if (ids[i] == self || ids[i] == 0) continue;
      HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, ids[i]);
      if (!process) continue;
      if (runs_from_folder(look, process) && WaitForSingleObject(process, 0) == WAIT_TIMEOUT) {
        if (!handles) {
          CloseHandle(process);
          found = 1;
          break;
        }
        handles[found++] = process;
      } else {
        CloseHandle(process);
      }
    }
  }
  free(look.normal);
  free(ids);
  return found;
}

}  // namespace

bool any_process_runs_from(const wchar_t* folder) { return open_processes_running_from(folder, nullptr, 1) != 0; }

void wait_until_no_process_runs_from(const wchar_t* folder) {
  HANDLE handles[folder_process_wait_capacity];
  for (;;) {
    DWORD count = open_processes_running_from(folder, handles, folder_process_wait_capacity);
    if (count == 0) return;
    WaitForMultipleObjects(count, handles, TRUE, INFINITE);
    for (DWORD i = 0; i < count; ++i) CloseHandle(handles[i]);
  }
}
