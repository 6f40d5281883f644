#include "launcher/cached_run.h"

#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>

#include "base/diagnostics.h"
#include "base/wide_buffer.h"
#include "launcher/backoff.h"
#include "launcher/cache_folder.h"
#include "launcher/child_command_line.h"
#include "launcher/dead_runs.h"
#include "launcher/executable_child.h"
#include "launcher/folder_trust.h"
#include "launcher/own_folder.h"
#include "launcher/private_folder.h"
#include "launcher/remove_tree.h"
#include "launcher/run_sequence.h"
#include "launcher/run_state.h"
#include "launcher/unpack_folder.h"
#include "launcher/update/self_update.h"
#include "launcher/splash.h"
#include "paths/build_texts.h"
#include "paths/environment.h"
#include "paths/module_path.h"
#include "paths/path_spec.h"
#include "paths/run_identity.h"
#include "payload/file_writer.h"

namespace {

// The folder an install writes before it is renamed into place. Main thread only; the exit
// handler reads it when a failure ends the process mid-install.
wchar_t g_install_directory[launcher_path_capacity];
bool g_install_pending = false;
const cached_launch* g_launch = nullptr;

// A failed install (a full disk, a damaged payload) exits from deep inside the extraction;
// what it wrote goes with it, so nothing half-written waits for a later start.
void remove_unfinished_install() {
  release_target_folder();
  if (g_install_pending) remove_tree_through_handles(g_install_directory, tree_removal_options{});
}

// The install's own folder, as the system knows it (volume and file index): a folder in place
// with this identity is the one this start made, whatever happened to the name meanwhile.
BY_HANDLE_FILE_INFORMATION g_installed = {};
bool g_installed_known = false;

// Opens the folder the application runs from so that nobody can rename or remove it while
// this process lives: it is checked by name and then loaded from, and whoever may delete
// entries of the folder above could otherwise swap it in between. No delete access is
// taken, so the application's own searches of its folder, which share none, still work.
HANDLE hold_folder(const wchar_t* path) {
  return CreateFileW(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// A name becomes one level of a path: it must not be empty, climb out or hold a separator.
bool usable_folder_name(const wchar_t* name) {
  if (name[0] == 0 || wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0) return false;
  for (const wchar_t* c = name; *c; ++c) {
    if (*c < 0x20 || wcschr(L"\\/:*?\"<>|", *c)) return false;
  }
  return true;
}

// The cache's root: the chosen unpack folder, or else the user's local application data
// folder. The system sets LOCALAPPDATA to it in every user's environment; asking the shell
// instead loads Shell32, which costs a start under Wine about as much as the rest of it.
void cache_root(wchar_t* root, size_t capacity) {
  folder_access access = process_folder_access();
  if (chosen_unpack_folder(root, capacity, access)) {
    enter_own_folder(root, capacity, access, true);
    return;
  }
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
  // The user's own folder, but not an elevated launcher's alone: the user without elevation
  // could change the levels above an install.
  if (access == folder_access_elevated) enter_own_folder(root, capacity, access, true);
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

// A folder is run from only when an install of this user made it (another account, or code
// of this user at a lower integrity level, could have made it first with a library of its
// own), its record stands for its files, and, where the launcher carries digests, their
// content matches.
bool folder_is_good(const wchar_t* folder) {
  if (!cache_folder_intact(folder, g_launch->content_key, g_launch->digest_table != nullptr) ||
      !folder_has_private_access(folder))
    return false;
  return !g_launch->digest_table || cache_digests_match(folder, g_launch->digest_table, g_launch->digest_count);
}

// What makes a build this product's: the build texts the folder is named after, the main
// library's name and this launcher's own path in its normal form. Two unrelated applications
// can share the first three (the product defaults to the main library's name); a launcher
// replaced in place by its next version keeps all four, so its old builds still go, and a
// build left by a launcher elsewhere is kept, since nothing proves it is ours.
unsigned char g_product[cache_product_size];

void identify_product(const wchar_t* main_library_name) {
  static wchar_t own_path[launcher_path_capacity];
  // A new release tried before the swap records the path it is about to have.
  update_launcher_path(own_path, launcher_path_capacity);
  normalise_module_path(own_path, launcher_path_capacity);
  const wchar_t* texts[] = {tavren_company_text, tavren_product_text, main_library_name, own_path};
  sha256 sum;
  for (const wchar_t* text : texts) sum.add(text, (wcslen(text) + 1) * sizeof(wchar_t));
  unsigned char digest[sha256_size];
  sum.finish(digest);
  memcpy(g_product, digest, cache_product_size);
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
    // A folder of the right name may be another application's (same company, product and
    // version text) or of an older layout: only a record naming this product proves it ours.
    if (!cache_folder_holds_product(path, g_product)) continue;
    tree_removal_options options;
    options.mode = removal_all_or_nothing;
    options.only_if_owned_by_user = true;
    if (remove_tree_through_handles(path, options) == removal_gone && ++removed == old_version_removal_limit) break;
  } while (FindNextFileW(search, &found));
  FindClose(search);
}

// True if a process has the main library of the folder in place loaded (or open): that
// process runs from the folder, which must then stay where it is. Windows refuses to rename a
// folder whose files are in use; Wine renames it and the process loses the folder it loads
// from, so the library itself is asked, opened without sharing.
bool main_library_in_use() {
  wchar_t library[launcher_path_capacity];
  wbuf_copy(library, launcher_path_capacity, g_target_directory);
  wbuf_append(library, launcher_path_capacity, g_main_library_path + wcslen(g_install_directory));
  HANDLE file = CreateFileW(library, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  return file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION;
}

// Renames the folder `held` is open on to `aside`, through that handle.
bool move_aside(HANDLE held, const wchar_t* aside) {
  constexpr size_t rename_info_capacity = sizeof(FILE_RENAME_INFO) + launcher_path_capacity * sizeof(wchar_t);
  alignas(8) unsigned char buffer[rename_info_capacity] = {};
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer);
  size_t units = wcslen(aside);
  rename->ReplaceIfExists = FALSE;
  rename->RootDirectory = nullptr;
  rename->FileNameLength = static_cast<DWORD>(units * sizeof(wchar_t));
  wmemcpy(rename->FileName, aside, units + 1);
  return SetFileInformationByHandle(held, FileRenameInfo, rename, static_cast<DWORD>(rename_info_capacity));
}

// The identity of the folder at `path` (volume and file index), read through a handle that
// takes no access a running application's own use of its folder could conflict with.
bool folder_identity(const wchar_t* path, BY_HANDLE_FILE_INFORMATION& out) {
  HANDLE folder =
      CreateFileW(path, FILE_READ_ATTRIBUTES | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (folder == INVALID_HANDLE_VALUE) return false;
  bool known = GetFileInformationByHandle(folder, &out);
  CloseHandle(folder);
  return known;
}

bool same_folder(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

// Puts the complete install in place and returns the folder to run from. Another start may
// have placed its own first: theirs is used when it is good. It is checked by name alone: a
// handle with delete access on a folder makes every search of it by an application running
// from it fail with a sharing violation (Wine's searches share no delete access), and a check
// of a few hundred files lasts long enough for concurrent starts to meet it.
// A damaged folder in the way is moved aside under a run name of ours, which a later start
// collects, unless a process runs from it. Only then is it held with delete access, and only
// when it is still the folder that was found damaged: placed folders come only from renamed
// installs and a folder moved aside never comes back, so the same identity before the check
// and under the handle is the same folder throughout, and no start's good folder placed in
// between is moved from under a process that has just started from it. Whenever the folder
// cannot be moved, or another start's takes the place first, this run uses its own copy
// unless the folder there is good.
// Renames the install into place. A scanner, indexer or backup agent that has a new file or
// folder of it open for a moment makes the rename fail while nothing stands in the place:
// asked again after growing pauses, the install is placed, and later starts do not install
// it all over again.
bool rename_install_into_place() {
  for (backoff pauses;;) {
    if (MoveFileExW(g_install_directory, g_target_directory, 0)) return true;
    DWORD error = GetLastError();
    bool held = error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED || error == ERROR_LOCK_VIOLATION;
    if (!held || GetFileAttributesW(g_target_directory) != INVALID_FILE_ATTRIBUTES || !pauses.pause()) return false;
  }
}

const wchar_t* place_install() {
  if (rename_install_into_place()) return g_target_directory;
  BY_HANDLE_FILE_INFORMATION checked = {}, held_identity = {};
  bool identified = folder_identity(g_target_directory, checked);
  bool good = folder_is_good(g_target_directory), moved = false;
  DWORD attributes = GetFileAttributesW(g_target_directory);
  if (!good && attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    // A link in the folder's place stays where it is and this start runs from its own copy:
    // Wine opens and moves a Unix link's target even when told not to follow it, so moving
    // the link aside could take the tree it points to, which a later start would then collect
    // as a dead run's.
  } else if (!good && identified) {
    HANDLE held =
        CreateFileW(g_target_directory, DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (held != INVALID_HANDLE_VALUE) {
      wchar_t aside[launcher_path_capacity];
      moved = GetFileInformationByHandle(held, &held_identity) && same_folder(checked, held_identity) &&
              !main_library_in_use() && next_run_name_beside(aside, launcher_path_capacity) && move_aside(held, aside);
      CloseHandle(held);
    }
  }
  if (moved && rename_install_into_place()) return g_target_directory;
  if (good || folder_is_good(g_target_directory)) {
    remove_tree_through_handles(g_install_directory, tree_removal_options{});
    return g_target_directory;
  }
  return g_install_directory;
}

// Unpacks the whole payload into a new private folder beside the cache folder, records it
// and puts it in place; leaves g_target_directory and g_main_library_path naming what runs.
void install() {
  if (!run_name_beside(g_install_directory, launcher_path_capacity)) fatal_expand_spec(CACHE_DIRECTORY_TEMPLATE);
  HANDLE made = nullptr;
  claim_private_folder_or_exit(g_install_directory, launcher_path_capacity, next_run_name_beside, &made);
  g_installed_known = GetFileInformationByHandle(made, &g_installed);
  // Held while it is written; let go just before it is renamed into place.
  g_target_folder_hold = made;
  g_install_pending = true;
  atexit(remove_unfinished_install);
  // A record stands for files whose contents are on the disk: after a power loss a file may
  // keep its size and time and lose what was in it, which the check cannot see.
  writer_flush_each_file(true);
  volatile bool started = false;
  payload_on_entry(cache_record_note_entry);
  payload_extract(g_install_directory, g_main_library_path, launcher_path_capacity, extract_every_entry, &started);
  payload_on_entry(nullptr);
  if (g_main_library_path[0] == 0) fatal_plain("Error, couldn't decode attached data.");
  identify_product(g_main_library_path + wcslen(g_install_directory) + 1);
  DWORD error = write_cache_record(g_install_directory, g_launch->content_key, g_product);
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    fatal_unpack_write();
  }
  release_target_folder();
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

// The application's arguments, split from the process's own line by the rules the default
// run's parent splits it with, so an application sees the same arguments in either mode.
// The texts of all arguments and their terminators never take more units than the line
// and one terminator per argument; an argument takes at least two units of the line.
constexpr size_t argument_text_capacity = 2 * child_command_line_capacity;
constexpr size_t argument_capacity = child_command_line_capacity / 2 + 2;
wchar_t g_argument_text[argument_text_capacity];
wchar_t* g_arguments[argument_capacity];
wchar_t g_argument_scratch[child_command_line_capacity];

void keep_argument(void* context, int index, const wchar_t* argument) {
  size_t* used = static_cast<size_t*>(context);
  size_t units = wcslen(argument) + 1;
  if (*used + units > argument_text_capacity || static_cast<size_t>(index) + 1 >= argument_capacity) abort();
  g_arguments[index] = wmemcpy(g_argument_text + *used, argument, units);
  g_arguments[index + 1] = nullptr;
  *used += units;
}

int split_own_arguments() {
  const wchar_t* line = GetCommandLineW();
  if (wcslen(line) > child_command_line_capacity - 1) abort();
  size_t used = 0;
  split_command_line(line, g_argument_scratch, keep_argument, &used);
  int count = 0;
  while (g_arguments[count]) ++count;
  return count;
}

}  // namespace

int run_cached_sequence(const unsigned char* payload, size_t size, const cached_launch& launch) {
  g_launch = &launch;
  SetDllDirectoryW(L"");
  clean_start_of_environment();
  splash_show();
  cache_directory(g_target_directory, launcher_path_capacity, launch.content_key);

  payload_set_blob(payload, size);
  if (!payload_check_magic()) fatal_plain("Error, couldn't find attached data header.");
  payload_open();
  // Folders of installs that were killed or failed; one folder listing when there are none.
  collect_dead_runs(g_target_directory);
  // Never closed: the process's end lets it go.
  HANDLE held = hold_folder(g_target_directory);
  if (held != INVALID_HANDLE_VALUE && folder_is_good(g_target_directory)) {
    volatile bool started = false;
    payload_extract(g_target_directory, g_main_library_path, launcher_path_capacity, extract_first_name_only, &started);
    if (g_main_library_path[0] == 0) fatal_plain("Error, couldn't decode attached data.");
  } else {
    // A damaged folder must stay free to be moved aside.
    if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
    install();
    // The folder is either this start's install, known by its identity, or another start's,
    // checked by name before it was held: then it is checked again.
    held = hold_folder(g_target_directory);
    BY_HANDLE_FILE_INFORMATION found = {};
    bool ours = held != INVALID_HANDLE_VALUE && g_installed_known && GetFileInformationByHandle(held, &found) &&
                same_folder(found, g_installed);
    if (!ours && (held == INVALID_HANDLE_VALUE || !folder_is_good(g_target_directory))) {
      fatal_plain("Error, the application's folder changed while it was installed.");
    }
  }
  payload_close();
  if (launch.prepare_only) return 0;

  // The application gets what the child of the default run gets: argv[0] the launcher's full
  // path, the same variables (TAVREN_ORIGINAL_ARGV0 from the runtime's split, as the default
  // parent exports it) and the same arguments.
  export_for_application(__wargv);
  // An executable runs as a child, which the supervision has the splash follow; a library runs
  // in this process, so its first window here ends the splash.
  if (launch.executable) return update_after_run(static_cast<int>(run_cached_executable(g_main_library_path)));
  splash_follow(GetCurrentProcess());
  int count = split_own_arguments();
  fill_own_path_for_launch();
  g_arguments[0] = g_own_path_for_launch;
  return update_after_run(hand_off_to_main_library(count, g_arguments));
}
