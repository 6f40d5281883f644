// Removing what lies below a folder with the plain file calls, which take paths of any
// length, where the shell's deleter cannot go.
#pragma once

#include <stddef.h>

/// The longest path the walk builds, terminator included: the file calls' own limit.
constexpr size_t remove_tree_path_capacity = 32768;
/// Deeper than any payload can reach (a name holds at most 1,023 units); a deeper tree that
/// the application made counts as left over.
constexpr int remove_tree_depth_limit = 4096;

/// Removes every file, folder and link below the folder `root` whose full path is at least
/// `min_path_length` units long, contents before their folder, clearing read-only first.
/// Links are removed, never followed; `root` itself stays. Returns true if such an entry is
/// still there, or may be: one that could not be removed, one past the depth limit or the
/// path capacity, or no memory for the walk. Its stack use per level is small and fixed, so
/// it may run on a thread with a small stack, such as a console control handler's.
bool remove_tree_below(const wchar_t* root, size_t min_path_length);
