// Removing a folder and everything below it through handles, so that no link is ever
// followed: neither one the application made nor one swapped in while the walk runs.
#pragma once

#include <stddef.h>

/// Units of the longest path the walk builds, terminator included: the file calls' limit.
constexpr size_t remove_tree_path_capacity = 32768;
/// Levels below the root the walk enters: deeper than any payload can reach (a name holds at
/// most 1,023 units); a deeper tree that the application made is left in place.
constexpr int remove_tree_depth_limit = 4096;
/// Entries an all-or-nothing removal holds open at once; a larger tree is checked entry by
/// entry instead (see removal_all_or_nothing).
constexpr size_t remove_tree_hold_capacity = 65536;

enum tree_removal_mode {
  /// Deletes every entry it can; what it cannot open or delete stays.
  removal_what_can_go,
  /// First opens every entry for exclusive use, so a file that any process has open or has
  /// loaded refuses, and so does a folder that is a process's current folder; each file's
  /// deletion is then requested and withdrawn, so a file mapped without an open handle
  /// refuses too. If one refuses, nothing is deleted. Holds all those handles while it deletes. A tree with more
  /// entries than it can hold (hold_capacity, or the handles the system gives) is opened
  /// entry by entry and let go again; if none refuses, it is removed as removal_what_can_go
  /// would. Only there can a file opened between the two walks keep part of the tree.
  removal_all_or_nothing,
};

struct tree_removal_options {
  tree_removal_mode mode = removal_what_can_go;
  /// Leave the root alone unless its owner is the current user (or the token's default owner).
  bool only_if_owned_by_user = false;
  /// removal_all_or_nothing: entries held open at most.
  size_t hold_capacity = remove_tree_hold_capacity;
};

enum tree_removal_outcome {
  removal_gone,     ///< `root` is no longer there
  removal_left,     ///< some entries could not be deleted (or were links that Wine cannot remove)
  removal_refused,  ///< nothing deleted: an entry was in use, or the root is not the user's
};

/// Removes the folder `root` (an absolute path) and everything below it. Every entry is
/// opened without following a link, checked to be the entry its path names (a handle that
/// lands elsewhere, as a link opened under Wine does, is never used to delete), and deleted
/// through that handle, read-only entries included. A link is removed, never entered; the
/// root too may be one. A missing root counts as gone.
/// Uses path buffers and one listing per level from the heap; without memory the tree is
/// left. Its stack use per level is small and fixed, so it may run on a console control
/// handler's thread.
tree_removal_outcome remove_tree_through_handles(const wchar_t* root, const tree_removal_options& options);
