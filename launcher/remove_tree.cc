#include "launcher/remove_tree.h"

#include <stdlib.h>
#include <wchar.h>
#include <windows.h>
#include <aclapi.h>

#include "launcher/security_calls.h"

namespace {

// Bytes of one level's listing buffer near the root, where a payload's folders hold most of
// their files: a fetch brings hundreds of entries. Deeper levels, which a deep tree has by
// the thousand, take the small size, still room for the longest name (255 units).
constexpr size_t listing_capacity = 64 << 10;
constexpr size_t deep_listing_capacity = 4096;
constexpr int large_listing_levels = 16;
// Bytes of a handle's name on its volume, as long as the longest path.
constexpr size_t name_info_capacity = sizeof(FILE_NAME_INFO) + remove_tree_path_capacity * sizeof(wchar_t);

// One walk's state. Levels share the path and the scratch for handle names: a level has taken
// what it needs from them before it descends, which keeps each frame small. Each level's
// listing lives on the heap.
struct removal_walk {
  tree_removal_mode mode;
  wchar_t* path;       // remove_tree_path_capacity units: the entry being looked at
  size_t root_length;  // units of `path` that name the root
  wchar_t* root_name;  // remove_tree_path_capacity units: the root's name on its volume
  size_t root_name_length;
  FILE_NAME_INFO* landed;  // name_info_capacity bytes: where a handle really landed
  HANDLE* held;            // removal_all_or_nothing: every entry opened so far, parents first
  size_t held_count;
  size_t hold_capacity;
  bool checking;   // removal_all_or_nothing past its hold: open each entry, let it go, delete nothing
  bool left;       // an entry stays
  bool refused;    // removal_all_or_nothing: an entry is in use, or too many to hold; delete nothing
  bool too_large;  // refused only because the entries did not all fit in the hold
};

// Entries are held until the end, so their folders cannot change while the walk deletes.
bool holding(const removal_walk& walk) { return walk.mode == removal_all_or_nothing && !walk.checking; }

// A folder is opened without sharing delete access, so nobody can rename or remove it, and
// thus swap it for a link, while the walk is below it. A file in an all-or-nothing walk is
// opened for reading and writing without any sharing: that fails if another handle is open,
// and writing fails for an image that a process has loaded.
HANDLE open_entry(const wchar_t* path, bool directory, bool exclusive) {
  DWORD access = DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;
  DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  if (directory) {
    access |= FILE_LIST_DIRECTORY | READ_CONTROL;
    share = FILE_SHARE_READ | FILE_SHARE_WRITE;
  } else if (exclusive) {
    access |= GENERIC_READ | GENERIC_WRITE;
    share = 0;
  }
  return CreateFileW(path, access, share, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// Under Wine a link opens as its target, and deleting through that handle deletes the target.
// So a handle counts only if it landed on the very entry its path names: its name on the
// volume is the root's, followed by the same path below the root. (The handle's name, not
// GetFinalPathNameByHandleW: Wine cuts that one at 256 units.)
bool landed_on(removal_walk& walk, HANDLE handle) {
  if (!GetFileInformationByHandleEx(handle, FileNameInfo, walk.landed, name_info_capacity)) return false;
  size_t landed_length = walk.landed->FileNameLength / sizeof(wchar_t);
  size_t below_length = wcslen(walk.path + walk.root_length);
  return landed_length == walk.root_name_length + below_length &&
         _wcsnicmp(walk.landed->FileName, walk.root_name, walk.root_name_length) == 0 &&
         _wcsnicmp(walk.landed->FileName + walk.root_name_length, walk.path + walk.root_length, below_length) == 0;
}

// Clears the read-only attribute of the entry `handle` is open on; false if it had none or
// it could not be cleared.
bool clear_read_only_through(HANDLE handle) {
  FILE_BASIC_INFO basic = {};
  if (!GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic)) return false;
  if (!(basic.FileAttributes & FILE_ATTRIBUTE_READONLY)) return false;
  basic.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
  if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  return SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic);
}

bool delete_through(HANDLE handle) {
  FILE_DISPOSITION_INFO disposition = {TRUE};
  if (SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition)) return true;
  return clear_read_only_through(handle) &&
         SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition);
}

// A file mapped into a process after its handle was closed (a data mapping, a library loaded
// as data) leaves no handle to refuse the exclusive open: only a request to delete it is
// refused. So the request is made and withdrawn at once; the handle, which shares nothing,
// keeps anyone from mapping the file anew until the walk is over.
bool deletion_accepted(HANDLE handle) {
  if (!delete_through(handle)) return false;
  FILE_DISPOSITION_INFO keep = {FALSE};
  return SetFileInformationByHandle(handle, FileDispositionInfo, &keep, sizeof keep);
}

// Clears the read-only attribute of the file in walk.path, never through a link.
bool clear_read_only(removal_walk& walk) {
  HANDLE handle = CreateFileW(walk.path, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  bool cleared = landed_on(walk, handle) && clear_read_only_through(handle);
  CloseHandle(handle);
  return cleared;
}

// Deletes the entry now, keeps its handle for later (an all-or-nothing walk), or, when only
// checking, lets it go.
void dispose(removal_walk& walk, HANDLE handle) {
  if (holding(walk)) {
    if (walk.held_count == walk.hold_capacity) {
      walk.refused = walk.too_large = true;
      CloseHandle(handle);
      return;
    }
    walk.held[walk.held_count++] = handle;
    return;
  }
  if (!walk.checking && !delete_through(handle)) walk.left = true;
  CloseHandle(handle);
}

// Under Wine each open file holds a descriptor in the server, whose limit (often 20,000 or
// fewer) comes long before the hold's; on Windows handles or pool memory may run out first.
bool out_of_handles(DWORD error) {
  return error == ERROR_TOO_MANY_OPEN_FILES || error == ERROR_NO_SYSTEM_RESOURCES || error == ERROR_NOT_ENOUGH_MEMORY ||
         error == ERROR_OUTOFMEMORY || error == ERROR_NOT_ENOUGH_QUOTA;
}

bool owned_by_user(HANDLE folder) {
  const security_functions* api = security_calls();
  if (!api) return false;
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (api->GetSecurityInfo(folder, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                      &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  bool mine = false;
  HANDLE token = nullptr;
  if (api->OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    // A token's user and its default owner; each holds one SID of at most 68 bytes.
    constexpr DWORD token_info_capacity = 256;
    alignas(8) unsigned char info[token_info_capacity];
    DWORD size = 0;
    if (api->GetTokenInformation(token, TokenUser, info, token_info_capacity, &size)) {
      mine = api->EqualSid(owner, reinterpret_cast<TOKEN_USER*>(info)->User.Sid);
    }
    if (!mine && api->GetTokenInformation(token, TokenOwner, info, token_info_capacity, &size)) {
      mine = api->EqualSid(owner, reinterpret_cast<TOKEN_OWNER*>(info)->Owner);
    }
    CloseHandle(token);
  }
  LocalFree(descriptor);
  return mine;
}

bool stop(const removal_walk& walk) { return walk.refused; }

// Opens the entry in walk.path (`length` units), checks it, and removes it with what is below.
// `listed` holds the attributes its folder's listing gave.
void remove_entry(removal_walk& walk, size_t length, DWORD listed, int depth) {
  bool looks_like_directory = (listed & FILE_ATTRIBUTE_DIRECTORY) != 0;
  HANDLE handle = open_entry(walk.path, looks_like_directory, walk.mode == removal_all_or_nothing);
  if (handle == INVALID_HANDLE_VALUE && !looks_like_directory && GetLastError() == ERROR_ACCESS_DENIED &&
      walk.mode == removal_all_or_nothing) {
    // A read-only file refuses the write access that shows whether it is loaded; refusing the
    // whole tree for it would keep a dead run's folder for ever. The flag goes first (the
    // file is about to be deleted, or belongs to a tree that stays as it was otherwise).
    if (clear_read_only(walk)) handle = open_entry(walk.path, false, true);
    if (handle == INVALID_HANDLE_VALUE) {
      walk.refused = true;
      return;
    }
  }
  if (handle == INVALID_HANDLE_VALUE) {
    if (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND) return;
    if (holding(walk) && out_of_handles(GetLastError())) walk.too_large = true;
    if (walk.mode == removal_all_or_nothing) walk.refused = true;
    walk.left = true;
    return;
  }
  if (!landed_on(walk, handle)) {
    walk.left = true;  // a link Wine cannot remove without harming its target
    CloseHandle(handle);
    return;
  }
  // A file listed as plain needs no second look: whatever replaced it since, the handle is
  // the entry its path names, opened without following a link, so deleting through it takes
  // that entry alone, and a folder with anything in it refuses. The root, which no listing
  // showed, and everything an all-or-nothing walk holds are looked at again.
  bool plain = !(listed & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
  if (plain && depth > 0 && walk.mode == removal_what_can_go) {
    dispose(walk, handle);
    return;
  }
  // Only the attributes: the full record also asks for the volume's serial number, which
  // under Wine costs more than the rest of the entry's removal.
  FILE_ATTRIBUTE_TAG_INFO info = {};
  if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &info, sizeof info)) {
    walk.left = true;
    CloseHandle(handle);
    return;
  }
  bool link = (info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  bool directory = (info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (directory != looks_like_directory && !link) {
    // Swapped between the look and the open, and opened with the other kind's access.
    CloseHandle(handle);
    walk.left = true;
    if (walk.mode == removal_all_or_nothing) walk.refused = true;
    return;
  }
  if (!directory || link) {
    if (!link && walk.mode == removal_all_or_nothing && !deletion_accepted(handle)) {
      walk.refused = true;
      CloseHandle(handle);
      return;
    }
    dispose(walk, handle);
    return;
  }
  if (holding(walk)) dispose(walk, handle);
  // Listed through the handle held: a listing by path would open the folder again, and that
  // open, sharing no delete access, is refused while the walk holds it.
  size_t capacity = depth < large_listing_levels ? listing_capacity : deep_listing_capacity;
  unsigned char* listing = depth < remove_tree_depth_limit ? static_cast<unsigned char*>(malloc(capacity)) : nullptr;
  if (!listing) {
    walk.left = true;
    if (walk.mode == removal_all_or_nothing) walk.refused = true;
  }
  // The full level, not the one with short names: those are made up per entry under Wine.
  FILE_INFO_BY_HANDLE_CLASS next = FileFullDirectoryRestartInfo;
  while (listing && !stop(walk) && GetFileInformationByHandleEx(handle, next, listing, capacity)) {
    next = FileFullDirectoryInfo;
    for (size_t at = 0;;) {
      const auto* entry = reinterpret_cast<const FILE_FULL_DIR_INFO*>(listing + at);
      const wchar_t* name = entry->FileName;
      size_t name_length = entry->FileNameLength / sizeof(wchar_t);
      bool dots = name[0] == L'.' && (name_length == 1 || (name_length == 2 && name[1] == L'.'));
      if (!dots && length + 1 + name_length > remove_tree_path_capacity - 1) {
        walk.left = true;
        if (walk.mode == removal_all_or_nothing) walk.refused = true;
      } else if (!dots) {
        walk.path[length] = L'\\';
        wmemcpy(walk.path + length + 1, name, name_length);
        walk.path[length + 1 + name_length] = 0;
        remove_entry(walk, length + 1 + name_length, entry->FileAttributes, depth + 1);
        walk.path[length] = 0;
      }
      if (entry->NextEntryOffset == 0 || stop(walk)) break;
      at += entry->NextEntryOffset;
    }
  }
  free(listing);
  if (!holding(walk)) dispose(walk, handle);
}

// Copies `root` into walk.path in the form that takes any length ("\\?\C:\..." or
// "\\?\UNC\server\..."), and stores the name the root must have on its volume: the name of
// the folder above it (which may be reached through links) followed by the root's own name.
bool resolve_root(const wchar_t* root, removal_walk& walk) {
  size_t length = wcslen(root);
  while (length > 0 && root[length - 1] == L'\\') --length;
  size_t cut = length;
  while (cut > 0 && root[cut - 1] != L'\\') --cut;
  if (cut == 0 || cut == length) return false;
  const wchar_t* prefix = L"";
  size_t skip = 0;
  if (root[0] == L'\\' && root[1] == L'\\' && root[2] != L'?' && root[2] != L'.') {
    prefix = L"\\\\?\\UNC";
    skip = 1;
  } else if (root[0] != L'\\' && root[1] == L':') {
    prefix = L"\\\\?\\";
  }
  size_t prefix_length = wcslen(prefix);
  if (prefix_length + length - skip > remove_tree_path_capacity - 1) return false;
  wmemcpy(walk.path, prefix, prefix_length);
  wmemcpy(walk.path + prefix_length, root + skip, length - skip);
  walk.root_length = prefix_length + length - skip;
  walk.path[walk.root_length] = 0;

  // The folder above, with its separator: "\\?\C:\" must keep it to mean the drive's root.
  size_t parent_length = prefix_length + cut - skip;
  wchar_t kept = walk.path[parent_length];
  walk.path[parent_length] = 0;
  HANDLE parent = CreateFileW(walk.path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  walk.path[parent_length] = kept;
  if (parent == INVALID_HANDLE_VALUE) return false;
  bool named = GetFileInformationByHandleEx(parent, FileNameInfo, walk.landed, name_info_capacity);
  CloseHandle(parent);
  if (!named) return false;
  size_t base = walk.landed->FileNameLength / sizeof(wchar_t);
  if (base > 0 && walk.landed->FileName[base - 1] == L'\\') --base;
  size_t name_length = length - cut;
  if (base + 1 + name_length > remove_tree_path_capacity - 1) return false;
  wmemcpy(walk.root_name, walk.landed->FileName, base);
  walk.root_name[base] = L'\\';
  wmemcpy(walk.root_name + base + 1, root + cut, name_length);
  walk.root_name_length = base + 1 + name_length;
  return true;
}

}  // namespace

tree_removal_outcome remove_tree_through_handles(const wchar_t* root, const tree_removal_options& options) {
  DWORD attributes = GetFileAttributesW(root);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? removal_gone : removal_left;
  }
  removal_walk walk = {};
  walk.mode = options.mode;
  walk.path = static_cast<wchar_t*>(malloc(2 * remove_tree_path_capacity * sizeof(wchar_t) + name_info_capacity));
  if (!walk.path) return removal_left;
  walk.root_name = walk.path + remove_tree_path_capacity;
  walk.landed = reinterpret_cast<FILE_NAME_INFO*>(walk.root_name + remove_tree_path_capacity);
  walk.hold_capacity = options.hold_capacity;
  if (walk.mode == removal_all_or_nothing) {
    walk.held = static_cast<HANDLE*>(malloc(walk.hold_capacity * sizeof(HANDLE)));
    if (!walk.held) {
      free(walk.path);
      return removal_refused;
    }
  }
  if (!resolve_root(root, walk)) {
    free(walk.held);
    free(walk.path);
    return removal_left;
  }

  if (options.only_if_owned_by_user) {
    HANDLE folder = open_entry(walk.path, true, true);
    bool mine = folder != INVALID_HANDLE_VALUE && landed_on(walk, folder) && owned_by_user(folder);
    if (folder != INVALID_HANDLE_VALUE) CloseHandle(folder);
    if (!mine) walk.refused = true;
  }
  if (!walk.refused) {
    remove_entry(walk, walk.root_length, attributes, 0);
  }
  // Children were opened after their folder, so deleting from the end empties each folder
  // before its own turn comes.
  for (size_t i = walk.held_count; i > 0; --i) {
    if (!walk.refused && !delete_through(walk.held[i - 1])) walk.left = true;
    CloseHandle(walk.held[i - 1]);
  }
  free(walk.held);
  if (walk.too_large) {
    // Refusing for size alone would leave such a tree for ever, and make every later caller
    // pay for the same doomed walk. Checked entry by entry instead, then removed.
    walk.checking = true;
    walk.refused = walk.left = false;
    remove_entry(walk, walk.root_length, attributes, 0);
    walk.checking = false;
    if (!walk.refused) {
      walk.mode = removal_what_can_go;
      remove_entry(walk, walk.root_length, attributes, 0);
    }
  }
  free(walk.path);
  if (walk.refused) return removal_refused;
  attributes = GetFileAttributesW(root);
  return attributes == INVALID_FILE_ATTRIBUTES ? removal_gone : removal_left;
}
