#include "launcher/dead_runs.h"

#include <wchar.h>

#include "launcher/remove_tree.h"
#include "payload/payload.h"

static bool is_name_unit(wchar_t c) {
  return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9') || c == L'-' || c == L'_';
}

// The counterpart of the target folder template "onefile_{PID}_{TIME_US}_{RANDOM}".
bool parse_run_folder_name(const wchar_t* name, DWORD* process_id) {
  if (wcsncmp(name, L"onefile_", 8) != 0) return false;
  const wchar_t* at = name + 8;
  unsigned long long id = 0;
  int digits = 0;
  for (; *at >= L'0' && *at <= L'9'; ++at, ++digits) {
    if (digits == 10) return false;
    id = id * 10 + static_cast<unsigned>(*at - L'0');
  }
  if (digits == 0 || (digits > 1 && name[8] == L'0') || id > 0xFFFFFFFFull || *at++ != L'_') return false;
  for (int i = 0; i < 6; ++i, ++at) {
    if (*at < L'0' || *at > L'9') return false;
  }
  if (*at++ != L'_') return false;
  for (int i = 0; i < 11; ++i, ++at) {
    if (!is_name_unit(*at)) return false;
  }
  if (*at != 0) return false;
  *process_id = static_cast<DWORD>(id);
  return true;
}

bool run_is_over(DWORD process_id, const FILETIME& folder_created) {
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process_id);
  if (!process) return GetLastError() == ERROR_INVALID_PARAMETER;  // no process has that id
  bool over = false;
  DWORD code = 0;
  FILETIME created, exited, kernel, user;
  if (GetExitCodeProcess(process, &code) && code != STILL_ACTIVE) {
    over = true;
  } else if (GetProcessTimes(process, &created, &exited, &kernel, &user)) {
    // The name's time holds only microseconds within a second, so the folder's own time
    // stands in. Wine reports a folder's last write as its creation, which is never earlier:
    // a doubtful case is kept, never removed.
    over = CompareFileTime(&created, &folder_created) > 0;
  }
  CloseHandle(process);
  return over;
}

dead_run_collection collect_dead_runs(const wchar_t* target_directory) {
  dead_run_collection result;
  wchar_t path[launcher_path_capacity];
  size_t length = wcslen(target_directory);
  while (length > 0 && target_directory[length - 1] != L'\\') --length;
  // Room for the pattern "onefile_*" now and for any name of the form later.
  constexpr size_t longest_name = 8 + 10 + 1 + 6 + 1 + 11;
  if (length == 0 || length + longest_name + 1 > launcher_path_capacity) return result;
  wmemcpy(path, target_directory, length);
  wmemcpy(path + length, L"onefile_*", 10);

  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(path, &found);
  if (search == INVALID_HANDLE_VALUE) return result;
  do {
    DWORD process_id = 0;
    if (!parse_run_folder_name(found.cFileName, &process_id)) continue;
    if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) !=
        FILE_ATTRIBUTE_DIRECTORY) {
      continue;
    }
    if (result.examined == dead_run_examine_limit) break;
    ++result.examined;
    if (!run_is_over(process_id, found.ftCreationTime)) continue;
    wcscpy(path + length, found.cFileName);
    tree_removal_options options;
    options.mode = removal_all_or_nothing;
    options.only_if_owned_by_user = true;
    if (remove_tree_through_handles(path, options) == removal_gone) {
      if (++result.removed == dead_run_removal_limit) break;
    } else {
      ++result.kept;
    }
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return result;
}
