#include "launcher/remove_tree.h"

#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

namespace {

// One per walk, on the heap, shared by every level. Each level has taken what it needs from
// `found` before it descends, so a level's frame holds only a few words: a find record
// (about 600 bytes) per frame overflowed a console event thread's stack on a deep tree.
struct tree_walk {
  wchar_t path[remove_tree_path_capacity];
  WIN32_FIND_DATAW found;
  size_t min_path_length;
};

bool remove_below(tree_walk* walk, size_t length, int depth) {
  wchar_t* path = walk->path;
  if (depth > remove_tree_depth_limit || length + 3 > remove_tree_path_capacity - 1) return true;
  wmemcpy(path + length, L"\\*", 3);
  HANDLE search = FindFirstFileW(path, &walk->found);
  path[length] = 0;
  if (search == INVALID_HANDLE_VALUE) return false;
  bool left = false;
  do {
    const wchar_t* name = walk->found.cFileName;
    if (name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0))) continue;
    size_t name_length = wcslen(name);
    if (length + 1 + name_length > remove_tree_path_capacity - 1) {
      left = true;
      continue;
    }
    path[length] = L'\\';
    wmemcpy(path + length + 1, name, name_length + 1);
    size_t full = length + 1 + name_length;
    bool directory = (walk->found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    bool link = (walk->found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if (directory && !link && remove_below(walk, full, depth + 1)) left = true;
    if (full >= walk->min_path_length) {
      SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
      if (!(directory ? RemoveDirectoryW(path) : DeleteFileW(path))) left = true;
    }
    path[length] = 0;
  } while (FindNextFileW(search, &walk->found));
  FindClose(search);
  return left;
}

}  // namespace

bool remove_tree_below(const wchar_t* root, size_t min_path_length) {
  size_t length = wcslen(root);
  if (length > remove_tree_path_capacity - 1) return true;
  // Each call has its own walk: a console event's clean-up may run beside the main one.
  tree_walk* walk = static_cast<tree_walk*>(malloc(sizeof(tree_walk)));
  if (!walk) return true;
  wmemcpy(walk->path, root, length + 1);
  walk->min_path_length = min_path_length;
  bool left = remove_below(walk, length, 0);
  free(walk);
  return left;
}
