#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>

#include "base/wide_buffer.h"
#include "launcher/run_state.h"
#include "launcher/update/self_update.h"
#include "paths/environment.h"
#include "paths/path_spec.h"
#include "payload/content_digest.h"

namespace {

const wchar_t* g_start_environment = nullptr;
wchar_t g_own_path[own_module_path_capacity];
wchar_t g_trial_path[launcher_path_capacity];
bool g_trial = false;
wchar_t g_status_path[launcher_path_capacity];
wchar_t g_request_path[launcher_path_capacity];

const wchar_t new_suffix[] = L".onefile-new";
const wchar_t old_suffix[] = L".onefile-old-";

const wchar_t* own_path() {
  if (g_own_path[0] == 0 &&
      GetModuleFileNameW(nullptr, g_own_path, own_module_path_capacity) - 1u >= own_module_path_capacity - 1u) {
    g_own_path[0] = 0;
  }
  return g_own_path;
}

// The status file is the launcher's, not the run's: named after the launcher's path, in the
// user's temporary folder, so that the next start of the same file finds it.
const wchar_t* status_path() {
  if (g_status_path[0]) return g_status_path;
  wchar_t folder[launcher_path_capacity];
  if (!expand_path_spec(folder, L"{TEMP}", launcher_path_capacity)) return g_status_path;
  const wchar_t* path = g_trial ? g_trial_path : own_path();
  sha256 sum;
  sum.add(path, wcslen(path) * sizeof(wchar_t));
  unsigned char digest[sha256_size];
  sum.finish(digest);
  wchar_t key[2 * content_key_size + 1];
  content_key_text(digest, key);
  size_t length = wcslen(folder);
  if (length && folder[length - 1] == L'\\') folder[length - 1] = 0;
  wbuf_copy(g_status_path, launcher_path_capacity, folder);
  wbuf_append(g_status_path, launcher_path_capacity, L"\\onefile_update_");
  wbuf_append(g_status_path, launcher_path_capacity, key);
  wbuf_append(g_status_path, launcher_path_capacity, L".txt");
  return g_status_path;
}

// Puts the old version at `aside` back at the launcher's path, the failed one going aside in
// its turn, and runs it in this start's place.
bool roll_back(const wchar_t* aside, int* exit_code) {
  wchar_t failed[launcher_path_capacity];
  wbuf_copy(failed, launcher_path_capacity, own_path());
  wbuf_append(failed, launcher_path_capacity, L".onefile-failed");
  if (!MoveFileExW(own_path(), failed, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return false;
  if (!MoveFileExW(aside, own_path(), MOVEFILE_WRITE_THROUGH)) {
    MoveFileExW(failed, own_path(), MOVEFILE_WRITE_THROUGH);
    return false;
  }
  update_write_status("rolled back: the new version could not find its payload");
  fprintf(stderr, "Update rolled back: the new version could not find its payload.\n");
  wchar_t* line = _wcsdup(GetCommandLineW());
  long long code = line ? update_run_and_wait(own_path(), line, update_start_environment(), false) : -1;
  free(line);
  *exit_code = code < 0 ? 2 : static_cast<int>(code);
  return true;
}

}  // namespace

void update_remember_start() { g_start_environment = GetEnvironmentStringsW(); }

const wchar_t* update_start_environment() { return g_start_environment; }

bool update_trial_start() {
  DWORD length = GetEnvironmentVariableW(L"" UPDATE_TRIAL_VARIABLE, g_trial_path, launcher_path_capacity);
  if (length == 0 || length >= launcher_path_capacity) return false;
  // Only the file its predecessor wrote and tried is a trial: a variable left in an ordinary
  // start's environment must not keep the application from running.
  wchar_t expected[launcher_path_capacity + 16];
  wcscpy(expected, g_trial_path);
  wcscat(expected, new_suffix);
  g_trial = _wcsicmp(expected, own_path()) == 0;
  return g_trial;
}

void update_launcher_path(wchar_t* path, size_t capacity) {
  wbuf_copy(path, capacity, g_trial ? g_trial_path : own_path());
}

bool update_settle(bool payload_found, int* exit_code) {
  const wchar_t* self = own_path();
  size_t length = wcslen(self);
  if (length == 0 || length + 32 >= launcher_path_capacity) return false;
  wchar_t pattern[launcher_path_capacity];
  wbuf_copy(pattern, launcher_path_capacity, self);
  wbuf_append(pattern, launcher_path_capacity, L".onefile-*");
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(pattern, &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  wchar_t path[launcher_path_capacity];
  size_t folder_length = length;
  while (folder_length > 0 && self[folder_length - 1] != L'\\') --folder_length;
  bool settled = false;
  do {
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    const wchar_t* tail = found.cFileName + (length - folder_length);
    if (wcslen(found.cFileName) <= length - folder_length) continue;
    bool old = _wcsnicmp(tail, old_suffix, wcslen(old_suffix)) == 0;
    bool leftover = _wcsicmp(tail, new_suffix) == 0 || _wcsicmp(tail, L".onefile-failed") == 0;
    if (!old && !leftover) continue;
    wmemcpy(path, self, folder_length);
    path[folder_length] = 0;
    wbuf_append(path, launcher_path_capacity, found.cFileName);
    if (old && !payload_found) {
      if (!settled) settled = roll_back(path, exit_code);
      continue;
    }
    // In use (an instance of the old version still runs, or an update is writing the new
    // file): it stays for a later start.
    DeleteFileW(path);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return settled;
}

void update_export_for_application() {
  wchar_t folder[launcher_path_capacity];
  if (!expand_path_spec(folder, L"{TEMP}", launcher_path_capacity)) return;
  size_t length = wcslen(folder);
  if (length && folder[length - 1] == L'\\') folder[length - 1] = 0;
  // Unique to this run without a random source: the process id and the counter's reading.
  LARGE_INTEGER now = {};
  QueryPerformanceCounter(&now);
  wchar_t name[96];
  swprintf(name, 96, L"\\onefile_update_%lu_%llx.txt", static_cast<unsigned long>(GetCurrentProcessId()),
           static_cast<unsigned long long>(now.QuadPart));
  wbuf_copy(g_request_path, launcher_path_capacity, folder);
  wbuf_append(g_request_path, launcher_path_capacity, name);
  env_set(UPDATE_REQUEST_VARIABLE, g_request_path);
  env_set(UPDATE_STATUS_VARIABLE, status_path());
}

const wchar_t* update_request_path() { return g_request_path; }

void update_write_status(const char* outcome) {
  const wchar_t* path = status_path();
  if (!path[0]) return;
  HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, outcome, static_cast<DWORD>(strlen(outcome)), &written, nullptr);
  WriteFile(file, "\n", 1, &written, nullptr);
  CloseHandle(file);
}
