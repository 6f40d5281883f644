// Whether a folder is one this user's launcher made private: what lets a start trust files
// it did not write in this run.
#pragma once

#include <windows.h>

/// Whom a launcher's folders admit. An elevated launcher shares its user with code of the same
/// user running without elevation, which must not change what the elevated process loads: its
/// folders admit administrators and the system only.
enum folder_access { folder_access_user, folder_access_elevated };

/// folder_access_elevated when this process runs as an elevated administrator, whose new
/// objects the Administrators group owns (read once from the token's default owner);
/// folder_access_user otherwise, and when the token cannot be read.
folder_access process_folder_access();

/// True if `folder` (not a link) is one create_private_folder made for `access`: for the
/// user, owned by the token's default owner (what a new object of this process gets) or the
/// user, with an access list that only allows the user, the system account and, inside an
/// AppContainer, the container; elevated, owned by the Administrators group or the system,
/// with an access list that only allows those two. No entry may be passed down from a
/// parent. False for anything else, and when the folder or its security information cannot
/// be read.
bool folder_has_private_access(const wchar_t* folder, folder_access access = process_folder_access());

/// The same check through `folder`, a handle with READ_CONTROL and FILE_READ_ATTRIBUTES access.
bool folder_handle_has_private_access(HANDLE folder, folder_access access = process_folder_access());

/// True if the link (reparse point) open at `link` (READ_CONTROL) is owned by someone who
/// could change what stands at its place anyway: the system, the Administrators group and,
/// for a launcher not running elevated, the user and the token's default owner.
bool link_owner_is_trusted(HANDLE link, folder_access access = process_folder_access());

/// Characters of the longest SID text (S-1-<authority>-<15 sub-authorities>) and its terminator.
constexpr size_t sid_text_capacity = 192;

/// Writes the token user's SID as text ("S-1-5-21-...") into `text`; false when it cannot be read.
bool user_sid_text(wchar_t (&text)[sid_text_capacity]);
