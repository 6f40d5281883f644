// Test support: files and folders as the tests look at them.
#pragma once

#include <string>
#include <vector>

bool path_exists(const std::wstring& path);
bool is_directory(const std::wstring& path);
/// Removes a file or a whole tree; true if nothing is left at `path`.
bool remove_tree(const std::wstring& path);
/// Names (not paths) of the entries of `folder` whose names begin with `prefix`.
std::vector<std::wstring> folder_entries(const std::wstring& folder, const std::wstring& prefix = L"");
/// Every byte of the file; empty when it cannot be read.
std::vector<unsigned char> read_file_bytes(const std::wstring& path);

/// Makes `link` a Unix symbolic link to `target` (both Windows paths) by running ln: Wine
/// cannot make one itself. False when that fails or this is not Wine.
bool make_unix_link(const std::wstring& target, const std::wstring& link);
/// Removes the Unix symbolic link `link` itself (Wine would delete its target instead).
bool remove_unix_link(const std::wstring& link);
/// The major version of the Wine this runs under; 0 on Windows.
int wine_major_version();
/// Why the Wine server cannot see `file_on_mount`, a file on a file system the test's fixture
/// mounted, though this process lists it; null when both see it (or neither does: the fixture's
/// own skip says why). Wine's server opens every file for its processes, which look up names
/// themselves: a server that runs in a mount namespace copied before the fixture mounted (Wine 10
/// through scripts/wine10, outside the namespace scripts/run-tests shares mounts in) sees the
/// folder beneath the mount instead.
const char* fixture_mount_unseen(const std::wstring& file_on_mount);
