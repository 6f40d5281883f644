#include "launcher/run_sequence.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>
#include <psapi.h>

#include "launcher/child_command_line.h"
#include "launcher/child_process.h"
#include "base/diagnostics.h"
#include "paths/environment.h"
#include "paths/module_path.h"
#include "paths/path_spec.h"
#include "base/wide_buffer.h"

using run_code_fn = int (*)(int argc, wchar_t** argv, const wchar_t* main_library);

static wchar_t own_path_for_role_check[4097];
static wchar_t own_path_for_directory_export[4097];
static wchar_t exported_directory[launcher_path_capacity];
static wchar_t parent_id_text[env_value_capacity];

launcher_role decide_role() {
  wchar_t name[env_name_capacity] = {0};
  widen_append(name, "TAVREN_ONEFILE_PARENT", env_name_capacity);
  DWORD length = GetEnvironmentVariableW(name, parent_id_text, env_value_capacity);
  if (length < 1 || length >= env_value_capacity) return role_parent;

  wchar_t* copy = _wcsdup(parent_id_text);
  if (!copy || copy[0] == 0) return role_parent;
  wchar_t* end = nullptr;
  errno = 0;
  long id = wcstol(copy, &end, 10);
  if (errno == ERANGE || end == copy || *end != 0) return role_parent;

  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, static_cast<DWORD>(id));
  if (!process) return role_parent;

  wchar_t parent_path[2048];
  DWORD parent_length = K32GetModuleFileNameExW(process, nullptr, parent_path, 2048);
  if (parent_length != 0) normalise_module_path(parent_path, 2048);

  if (own_path_for_role_check[0] == 0) {
    GetModuleFileNameW(nullptr, own_path_for_role_check, 4097);
    normalise_module_path(own_path_for_role_check, 4097);
  }
  bool same = parent_length != 0 && wcscmp(parent_path, own_path_for_role_check) == 0;
  CloseHandle(process);
  return same ? role_child : role_parent;
}

static void clean_start_of_environment() {
  env_remove("TAVREN_ONEFILE_START");
  env_remove("TAVREN_ONEFILE_TIME_US");
  env_remove("TAVREN_ONEFILE_RANDOM");
  char number[128];
  snprintf(number, sizeof number, "%ld", static_cast<long>(GetCurrentProcessId()));
  wchar_t wide[128] = {0};
  widen_append(wide, number, 128);
  env_set("TAVREN_ONEFILE_PARENT", wide);
}

static int hand_off_to_main_library(int argc, wchar_t** argv) {
  AddDllDirectory(target_directory);
  HMODULE library = LoadLibraryExW(main_library_path, nullptr,
                                   LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS |
                                       LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (!library) {
    DWORD code = GetLastError();
    print_system_error("Error, load DLL.", code);
    exit(2);
  }
  auto run_code = reinterpret_cast<run_code_fn>(reinterpret_cast<void*>(GetProcAddress(library, "run_code")));
  if (!run_code) fatal_plain("Error, DLL entry point not found.");
  // The library stays loaded and the decoder open: the process ends with this code.
  return run_code(argc, argv, main_library_path);
}

static void export_for_application(wchar_t** argv) {
  if (own_path_for_directory_export[0] == 0) GetModuleFileNameW(nullptr, own_path_for_directory_export, 4097);
  wbuf_copy(exported_directory, launcher_path_capacity, own_path_for_directory_export);
  if (wchar_t* separator = wcsrchr(exported_directory, L'\\')) *separator = 0;
  env_set("TAVREN_ONEFILE_DIRECTORY", exported_directory);
  env_set("TAVREN_ORIGINAL_ARGV0", argv[0]);
}

int run_sequence(const unsigned char* payload, size_t size) {
  int argc = __argc;
  wchar_t** argv = __wargv;
  SetDllDirectoryW(L"");

  launcher_role role = decide_role();
  if (role == role_parent) clean_start_of_environment();

  bool expanded = expand_path_spec(target_directory, TARGET_DIRECTORY_SPEC, launcher_path_capacity);
  wchar_t absolute[launcher_path_capacity];
  DWORD length = GetFullPathNameW(target_directory, launcher_path_capacity, absolute, nullptr);
  if (length < 1 || length > launcher_path_capacity - 1) abort();
  wbuf_copy(target_directory, launcher_path_capacity, absolute);

  payload_set_blob(payload, size);
  if (!expanded) fatal_expand_spec(TARGET_DIRECTORY_SPEC);

  if (role == role_parent && !SetConsoleCtrlHandler(console_ctrl_handler, TRUE)) {
    fatal_plain("Error, failed to register signal handler.");
  }
  if (!payload_check_magic()) fatal_plain("Error, couldn't find attached data header.");
  payload_open();
  payload_extract(role);
  // A payload without a single entry has no main library for either role to run.
  if (main_library_path[0] == 0) fatal_plain("Error, couldn't decode attached data.");

  if (role == role_child) return hand_off_to_main_library(argc, argv);

  payload_close();
  export_for_application(argv);
  return static_cast<int>(launch_and_supervise_child());
}
