// Whether a folder is one this user's launcher made private: what lets a start trust files
// it did not write in this run.
#pragma once

#include <windows.h>

/// True if `folder` (not a link) is owned by the token's default owner (what a new object of
/// this process gets) or by the user, unless that default owner is the Administrators group
/// (an elevated administrator), and its access list holds no entry passed down from a parent
/// and only allows access to that user, the system account and, inside an AppContainer, the
/// container: what create_private_folder gives. False for anything else, and when the folder
/// or its security information cannot be read.
bool folder_has_private_access(const wchar_t* folder);
