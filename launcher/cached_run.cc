#include "launcher/cached_run.h"

#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

#include "base/diagnostics.h"
#include "base/wide_buffer.h"
#include "launcher/cache_folder.h"
#include "launcher/child_command_line.h"
#include "launcher/dead_runs.h"
#include "launcher/private_folder.h"
#include "launcher/remove_tree.h"
#include "launcher/run_sequence.h"
#include "launcher/run_state.h"
#include "paths/build_texts.h"
#include "paths/environment.h"
#include "paths/path_spec.h"
#include "paths/run_identity.h"

namespace {

// The folder an install writes before it is renamed into place. Main thread only; the exit
// handler reads it when a failure ends the process mid-install.
wchar_t g_install_directory[launcher_path_capacity];
bool g_install_pending = false;
const cached_launch* g_launch = nullptr;

// A failed install (a full disk, a damaged payload) exits from deep inside the extraction;
// what it wrote goes with it, so nothing half-written waits for a later start.
void remove_unfinished_install() {
  if (g_install_pending) remove_tree_through_handles(g_install_directory, tree_removal_options{});
}

// A name becomes one level of a path: it must not be empty, climb out or hold a separator.
bool usable_folder_name(const wchar_t* name) {
  if (name[0] == 0 || wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0) return false;
  for (const wchar_t* c = name; *c; ++c) {
    if (*c < 0x20 || wcschr(L"\\/:*?\"<>|", *c)) return false;
  }
  return true;
}

// The cache's root, the user's local application data folder. The system sets LOCALAPPDATA
// to it in every user's environment; asking the shell instead loads Shell32, which costs a
// start under Wine about as much as the rest of it.
void cache_root(wchar_t* root, size_t capacity) {
  wchar_t* chosen = env_get("LOCALAPPDATA");
  bool expanded = true;
  bool absolute_path =
      chosen && ((chosen[0] && chosen[1] == L':' && chosen[2] == L'\\') || (chosen[0] == L'\\' && chosen[1] == L'\\'));
  if (absolute_path) {
    wbuf_copy(root, capacity, chosen);
  } else {
    expanded = expand_path_spec(root, L"{CACHE_DIR}", capacity);
  }
  free(chosen);
  if (!expanded) fatal_expand_spec(CACHE_DIRECTORY_TEMPLATE);
  wchar_t absolute[launcher_path_capacity];
  DWORD length = GetFullPathNameW(root, launcher_path_capacity, absolute, nullptr);
  if (length < 1 || length > launcher_path_capacity - 1) fatal_expand_spec(CACHE_DIRECTORY_TEMPLATE);
  while (length > 0 && absolute[length - 1] == L'\\') absolute[--length] = 0;
  wbuf_copy(root, capacity, absolute);
}

void cache_directory(wchar_t* directory, size_t capacity, const unsigned char* key) {
  if ((tavren_company_text[0] && !usable_folder_name(tavren_company_text)) ||
      !usable_folder_name(tavren_product_text) || wcschr(tavren_file_version_text, L'\\')) {
    fatal_expand_spec(CACHE_DIRECTORY_TEMPLATE);
  }
  cache_root(directory, capacity);
  if (tavren_company_text[0]) {
    wbuf_append(directory, capacity, L"\\");
    wbuf_append(directory, capacity, tavren_company_text);
  }
  wbuf_append(directory, capacity, L"\\");
  wbuf_append(directory, capacity, tavren_product_text);
  wbuf_append(directory, capacity, L"\\");
  wbuf_append(directory, capacity, tavren_file_version_text);
  wchar_t key_text[2 * content_key_size + 1];
  content_key_text(key, key_text);
  wbuf_append(directory, capacity, L"-");
  wbuf_append(directory, capacity, key_text);
}

// The length of `path` up to its last separator: the folder that holds it.
size_t parent_length(const wchar_t* path) {
  size_t length = wcslen(path);
  while (length > 0 && path[length - 1] != L'\\') --length;
  return length > 0 ? length - 1 : 0;
}

// A run folder name beside the cache folder, in the form the dead-run collection knows, so
// the folder of a killed install goes at a later start once its process is gone.
bool run_name_beside(wchar_t* directory, size_t capacity) {
  size_t length = parent_length(g_target_directory);
  wmemcpy(directory, g_target_directory, length);
  directory[length] = L'\\';
  return expand_path_spec(directory + length + 1, L"onefile_{PID}_{TIME_US}_{RANDOM}", capacity - length - 1);
}

bool next_run_name_beside(wchar_t* directory, size_t capacity) {
  forget_run_identity();
  return run_name_beside(directory, capacity);
}

bool folder_is_good(const wchar_t* folder) {
  if (!cache_folder_intact(folder, g_launch->content_key)) return false;
  return !g_launch->digest_table || cache_digests_match(folder, g_launch->digest_table, g_launch->digest_count);
}

// A folder named "<version>-<16 hex digits>": one of this product's builds.
bool is_build_folder_name(const wchar_t* name) {
  size_t length = wcslen(name);
  if (length < 2 * content_key_size + 2 || name[length - 2 * content_key_size - 1] != L'-') return false;
  for (size_t i = length - 2 * content_key_size; i < length; ++i) {
    if (!wcschr(L"0123456789abcdef", name[i]) || name[i] == 0) return false;
  }
  return true;
}

// Other builds of this product, removed only when nothing in them is open or loaded: a
// running older version keeps its folder until a later install finds it unused.
void remove_other_builds() {
  wchar_t path[launcher_path_capacity];
  size_t length = parent_length(g_target_directory);
  const wchar_t* own_name = g_target_directory + length + 1;
  wmemcpy(path, g_target_directory, length);
  wmemcpy(path + length, L"\\*", 3);
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(path, &found);
  if (search == INVALID_HANDLE_VALUE) return;
  int removed = 0;
  do {
    if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) !=
            FILE_ATTRIBUTE_DIRECTORY ||
        !is_build_folder_name(found.cFileName) || wcscmp(found.cFileName, own_name) == 0 ||
        length + 2 + wcslen(found.cFileName) > launcher_path_capacity) {
      continue;
    }
    path[length + 1] = 0;
    wbuf_append(path, launcher_path_capacity, found.cFileName);
    tree_removal_options options;
    options.mode = removal_all_or_nothing;
    options.only_if_owned_by_user = true;
    if (remove_tree_through_handles(path, options) == removal_gone && ++removed == old_version_removal_limit) break;
  } while (FindNextFileW(search, &found));
  FindClose(search);
}

// Puts the complete install in place and returns the folder to run from. Another start may
// have placed its own first: theirs is used when it is good. A damaged folder in the way is
// moved aside under a run name of ours, which a later start collects; when even that fails
// (Windows will not rename a folder whose files are in use) this run uses its own copy.
const wchar_t* place_install() {
  if (MoveFileExW(g_install_directory, g_target_directory, 0)) return g_target_directory;
  if (folder_is_good(g_target_directory)) {
    remove_tree_through_handles(g_install_directory, tree_removal_options{});
    return g_target_directory;
  }
  wchar_t aside[launcher_path_capacity];
  if (next_run_name_beside(aside, launcher_path_capacity) && MoveFileExW(g_target_directory, aside, 0) &&
      MoveFileExW(g_install_directory, g_target_directory, 0)) {
    return g_target_directory;
  }
  if (folder_is_good(g_target_directory)) {
    remove_tree_through_handles(g_install_directory, tree_removal_options{});
    return g_target_directory;
  }
  return g_install_directory;
}

// Unpacks the whole payload into a new private folder beside the cache folder, records it
// and puts it in place; leaves g_target_directory and g_main_library_path naming what runs.
void install() {
  if (!run_name_beside(g_install_directory, launcher_path_capacity)) fatal_expand_spec(CACHE_DIRECTORY_TEMPLATE);
  // Failures other than a taken name show up at the first file, with its path, as in the
  // default run.
  if (claim_private_folder(g_install_directory, launcher_path_capacity, next_run_name_beside) == ERROR_ALREADY_EXISTS) {
    fatal_open_for_writing(g_install_directory);
  }
  g_install_pending = true;
  atexit(remove_unfinished_install);
  volatile bool started = false;
  payload_extract(g_install_directory, g_main_library_path, launcher_path_capacity, extract_every_entry, &started);
  if (g_main_library_path[0] == 0) fatal_plain("Error, couldn't decode attached data.");
  DWORD error = write_cache_record(g_install_directory, g_launch->content_key);
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    fatal_unpack_write();
  }
  const wchar_t* placed = place_install();
  g_install_pending = false;
  // They named the install's own folder; a start that finds the folder in place has none.
  forget_run_identity();
  if (placed == g_target_directory) {
    wchar_t relative[launcher_path_capacity];
    wbuf_copy(relative, launcher_path_capacity, g_main_library_path + wcslen(g_install_directory));
    wbuf_copy(g_main_library_path, launcher_path_capacity, g_target_directory);
    wbuf_append(g_main_library_path, launcher_path_capacity, relative);
    remove_other_builds();
  } else {
    wbuf_copy(g_target_directory, launcher_path_capacity, g_install_directory);
  }
}

}  // namespace

int run_cached_sequence(const unsigned char* payload, size_t size, const cached_launch& launch) {
  g_launch = &launch;
  SetDllDirectoryW(L"");
  clean_start_of_environment();
  cache_directory(g_target_directory, launcher_path_capacity, launch.content_key);

  payload_set_blob(payload, size);
  if (!payload_check_magic()) fatal_plain("Error, couldn't find attached data header.");
  payload_open();
  // Folders of installs that were killed or failed; one folder listing when there are none.
  collect_dead_runs(g_target_directory);
  if (folder_is_good(g_target_directory)) {
    volatile bool started = false;
    payload_extract(g_target_directory, g_main_library_path, launcher_path_capacity, extract_first_name_only, &started);
    if (g_main_library_path[0] == 0) fatal_plain("Error, couldn't decode attached data.");
  } else {
    install();
  }
  payload_close();

  // The application gets what the child of the default run gets: argv[0] the launcher's full
  // path and the same variables. The arguments come from the runtime's own split, as the
  // default child's do (of the line its parent quoted so that they read back unchanged).
  export_for_application(__wargv);
  fill_own_path_for_launch();
  __wargv[0] = g_own_path_for_launch;
  return hand_off_to_main_library(__argc, __wargv);
}
