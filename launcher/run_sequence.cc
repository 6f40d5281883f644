#include "launcher/run_sequence.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

#include "launcher/child_command_line.h"
#include "launcher/child_process.h"
#include "launcher/run_state.h"
#include "launcher/dead_runs.h"
#include "launcher/executable_child.h"
#include "launcher/library_search.h"
#include "launcher/private_folder.h"
#include "launcher/unpack_folder.h"
#include "launcher/update/self_update.h"
#include "launcher/splash.h"
#include "base/diagnostics.h"
#include "paths/environment.h"
#include "paths/module_path.h"
#include "paths/path_spec.h"
#include "paths/run_identity.h"
#include "base/wide_buffer.h"

using run_code_fn = int (*)(int argc, wchar_t** argv, const wchar_t* main_library);

// The parent's module path as read back from the parent process. It holds as much as our own
// path does: a smaller buffer cuts a long launcher path short, the child then never recognises
// its parent, takes the parent role itself and starts a child of its own, without end.
static constexpr size_t parent_module_path_capacity = own_module_path_capacity;
// A process id as decimal text, narrow or wide.
static constexpr size_t process_id_text_capacity = 128;

// The process that created this one, as the system recorded it: unlike the environment,
// nothing the application passes on can change it. Ntdll is in every process already, so
// binding it costs no load; a process snapshot would cost 2 to 20 ms under Wine.
static bool real_parent_id(DWORD* id) {
  using query_fn = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  auto query = ntdll ? reinterpret_cast<query_fn>(
                           reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQueryInformationProcess")))
                     : nullptr;
  // The basic information block: exit status, PEB, affinity, priority, own id, parent id.
  struct basic_information {
    LONG exit_status;
    void* peb;
    ULONG_PTR affinity;
    LONG priority;
    ULONG_PTR own_id;
    ULONG_PTR parent_id;
  } info = {};
  ULONG written = 0;
  if (!query || query(GetCurrentProcess(), 0, &info, sizeof info, &written) < 0) return false;
  *id = static_cast<DWORD>(info.parent_id);
  return true;
}

// Our real parent may have ended and its id gone to a newer process: only a process created
// no later than this one can be the one that created it.
static bool created_before_us(HANDLE process) {
  FILETIME theirs, ours, exited, kernel, user;
  return GetProcessTimes(process, &theirs, &exited, &kernel, &user) &&
         GetProcessTimes(GetCurrentProcess(), &ours, &exited, &kernel, &user) &&
         CompareFileTime(&theirs, &ours) <= 0;
}

// A launcher that cannot tell whether its parent is its own launcher must not guess: guessing
// parent where it is a child starts one more level, and the next one guesses the same.
[[noreturn]] static void fatal_undecided_role(DWORD code) {
  print_system_error("Error, couldn't read the parent launcher's image name.", code);
  exit(2);
}

launcher_role decide_role() {
  wchar_t name[env_name_capacity] = {0};
  widen_append(name, "TAVREN_ONEFILE_PARENT", env_name_capacity);
  DWORD length = GetEnvironmentVariableW(name, g_parent_id_text, env_value_capacity);
  if (length < 1 || length >= env_value_capacity) return role_parent;

  wchar_t* copy = _wcsdup(g_parent_id_text);
  if (!copy || copy[0] == 0) return role_parent;
  wchar_t* end = nullptr;
  errno = 0;
  long id = wcstol(copy, &end, 10);
  if (errno == ERANGE || end == copy || *end != 0) return role_parent;

  // The variable passes on to everything the application starts, its own launcher included
  // ("restart to apply"): only the process that started us can make us its child.
  DWORD parent_id = 0;
  if (!real_parent_id(&parent_id)) fatal_undecided_role(GetLastError());
  if (id < 0 || parent_id != static_cast<DWORD>(id)) return role_parent;

  // The image name the system keeps for the process: reading it from the parent's own memory
  // needs more access, and under emulation (Wine under qemu) cannot be done at all.
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, parent_id);
  if (!process) {
    // Gone: nobody is left whose child we could be.
    if (GetLastError() == ERROR_INVALID_PARAMETER) return role_parent;
    fatal_undecided_role(GetLastError());
  }
  if (!created_before_us(process)) {
    CloseHandle(process);
    return role_parent;
  }

  wchar_t parent_path[parent_module_path_capacity];
  DWORD parent_length = parent_module_path_capacity;
  if (!QueryFullProcessImageNameW(process, 0, parent_path, &parent_length)) parent_length = 0;
  DWORD read_error = GetLastError();
  CloseHandle(process);
  if (parent_length == 0) fatal_undecided_role(read_error);
  if (g_own_path_for_role_check[0] == 0) {
    GetModuleFileNameW(nullptr, g_own_path_for_role_check, own_module_path_capacity);
  }
  // A child started by its parent reads the very text the parent reads, and equal text has
  // equal normal forms: the file system, which the normal form asks several times per folder
  // of the path, is asked only when the two differ.
  bool same = wcscmp(parent_path, g_own_path_for_role_check) == 0;
  if (!same) {
    normalise_module_path(parent_path, parent_module_path_capacity);
    normalise_module_path(g_own_path_for_role_check, own_module_path_capacity);
    same = wcscmp(parent_path, g_own_path_for_role_check) == 0;
  }
  return same ? role_child : role_parent;
}

void clean_start_of_environment() {
  forget_run_identity();
  char number[process_id_text_capacity];
  snprintf(number, sizeof number, "%ld", static_cast<long>(GetCurrentProcessId()));
  wchar_t wide[process_id_text_capacity] = {0};
  widen_append(wide, number, process_id_text_capacity);
  env_set("TAVREN_ONEFILE_PARENT", wide);
}

int hand_off_to_main_library(int argc, wchar_t** argv) {
  // The main library's imports come from its own folder first; where the system knows no
  // search flags, the altered search order gives the same for its folder.
  DWORD search = confine_library_search(g_target_directory)
                     ? LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS | LOAD_LIBRARY_SEARCH_SYSTEM32
                     : LOAD_WITH_ALTERED_SEARCH_PATH;
  HMODULE library = LoadLibraryExW(g_main_library_path, nullptr, search);
  if (!library) {
    DWORD code = GetLastError();
    print_system_error("Error, load DLL.", code);
    exit(2);
  }
  auto run_code = reinterpret_cast<run_code_fn>(reinterpret_cast<void*>(GetProcAddress(library, "run_code")));
  if (!run_code) fatal_plain("Error, DLL entry point not found.");
  // The library stays loaded and the decoder open: the process ends with this code.
  return run_code(argc, argv, g_main_library_path);
}

void export_for_application(wchar_t** argv) {
  if (g_own_path_for_directory_export[0] == 0) {
    GetModuleFileNameW(nullptr, g_own_path_for_directory_export, own_module_path_capacity);
  }
  wbuf_copy(g_exported_directory, launcher_path_capacity, g_own_path_for_directory_export);
  if (wchar_t* separator = wcsrchr(g_exported_directory, L'\\')) *separator = 0;
  env_set("TAVREN_ONEFILE_DIRECTORY", g_exported_directory);
  env_set("TAVREN_ONEFILE_EXECUTABLE", g_own_path_for_directory_export);
  env_set("TAVREN_ORIGINAL_ARGV0", argv[0]);
  update_export_for_application();
}

// The folder run folders are made in when it is not the temp folder as it stands (see
// shared_unpack_folder), found and checked once per start; empty when it is.
static wchar_t g_run_folders_parent[launcher_path_capacity];
static bool g_run_folders_parent_known = false;
// Only the parent makes and checks that folder; the child names the same one.
static bool g_makes_run_folder = false;

// Expands the target directory template into `directory`, under the chosen unpack folder
// when there is one, and makes the result absolute.
static bool expand_target_directory(wchar_t* directory, size_t capacity) {
  if (!g_run_folders_parent_known) {
    if (!shared_unpack_folder(g_run_folders_parent, launcher_path_capacity, L"{TEMP}", g_makes_run_folder))
      g_run_folders_parent[0] = 0;
    g_run_folders_parent_known = true;
  }
  bool expanded;
  if (g_run_folders_parent[0]) {
    wbuf_copy(directory, capacity, g_run_folders_parent);
    size_t length = wcslen(directory);
    if (length > 0 && directory[length - 1] != L'\\') wbuf_append(directory, capacity, L"\\");
    length = wcslen(directory);
    expanded = expand_path_spec(directory + length, RUN_FOLDER_NAME_SPEC, capacity - length);
  } else {
    expanded = expand_path_spec(directory, TARGET_DIRECTORY_SPEC, capacity);
  }
  wchar_t absolute[launcher_path_capacity];
  DWORD length = GetFullPathNameW(directory, launcher_path_capacity, absolute, nullptr);
  if (length < 1 || length > launcher_path_capacity - 1) abort();
  wbuf_copy(directory, capacity, absolute);
  return expanded;
}

// A fresh identity, so a name that someone else took first is never written into; the child
// finds the new values in the environment it inherits.
static bool next_target_name(wchar_t* directory, size_t capacity) {
  forget_run_identity();
  return expand_target_directory(directory, capacity);
}

// A payload that fails before its first file (damaged, or without entries) stops the parent
// with exit(2); the folder made for it would stay behind empty. One that holds files stays.
static void remove_target_directory_if_empty() {
  release_target_folder();
  RemoveDirectoryW(g_target_directory);
}

// The parent writes code into the target folder that the child then loads, so the folder
// must be one this run made and nobody else can change: a run that cannot make it so ends.
// It stays open until the clean-up: whoever may delete entries of the folder above (an
// unpack folder others can write) could otherwise move it away and put another in its place.
static void claim_target_directory() {
  HANDLE held = nullptr;
  claim_private_folder_or_exit(g_target_directory, launcher_path_capacity, next_target_name, &held);
  g_target_folder_hold = held;
  atexit(remove_target_directory_if_empty);
}

int run_sequence(const unsigned char* payload, size_t size, bool executable_entry) {
  int argc = __argc;
  wchar_t** argv = __wargv;
  SetDllDirectoryW(L"");

  // An executable entry has no child role: its child is the application, and a launcher the
  // application starts (to restart itself) begins a run of its own.
  launcher_role role = executable_entry ? role_parent : decide_role();
  if (role == role_parent) clean_start_of_environment();
  if (role == role_parent) splash_show();

  g_makes_run_folder = role == role_parent;
  bool expanded = expand_target_directory(g_target_directory, launcher_path_capacity);

  payload_set_blob(payload, size);
  if (!expanded) fatal_expand_spec(TARGET_DIRECTORY_SPEC);

  if (role == role_parent && !SetConsoleCtrlHandler(console_ctrl_handler, TRUE)) {
    fatal_plain("Error, failed to register signal handler.");
  }
  if (!payload_check_magic()) fatal_plain("Error, couldn't find attached data header.");
  payload_open();
  if (role == role_parent) {
    collect_dead_runs(g_target_directory);
    claim_target_directory();
  }
  payload_extract(g_target_directory, g_main_library_path, launcher_path_capacity,
                  role == role_child ? extract_first_name_only : extract_every_entry, &g_unpacking_started);
  // A payload without a single entry has no main library for either role to run.
  if (g_main_library_path[0] == 0) fatal_plain("Error, couldn't decode attached data.");

  if (role == role_child) return hand_off_to_main_library(argc, argv);

  payload_close();
  export_for_application(argv);
  int code = static_cast<int>(executable_entry ? launch_and_supervise_executable(g_main_library_path)
                                               : launch_and_supervise_child());
  // The application has ended: what it asked for is applied now, before the launcher ends.
  return update_after_run(code);
}
