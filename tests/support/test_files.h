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
/// Why a file system the test's fixture mounted is not seen by this Wine's file calls, or null
/// when it is. scripts/wine10 runs Wine 10 in a mount namespace of its own, made when its server
/// started, before the fixture mounted: the server, which opens files for every process, never
/// sees the mount. The Wine 8 pass runs the same test for real.
const char* fixture_mounts_unseen();
