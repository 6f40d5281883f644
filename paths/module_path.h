// The normal form of an executable's path, so that two spellings of one file compare equal
// with an exact comparison: final path through links, no extended-length prefix where a
// plain form exists, every directory in its short (8.3) form, the file name long.
#pragma once

#include <stdint.h>
#include <wchar.h>
#include <windows.h>

/// resolve_final_path, then shorten_directory_part, in place. Aborts on results that do not fit.
void normalise_module_path(wchar_t* path, uint32_t capacity);

/// Replaces the path by the final path the file system reports for the file it names, with
/// "\\?\C:\" reduced to "C:\" and "\\?\UNC\" to "\\". A file that cannot be opened, or a
/// failed final-path call, leaves the path as it was. Aborts if the final path needs
/// `capacity` units or more.
void resolve_final_path(wchar_t* path, uint32_t capacity);

/// Drops the extended-length prefix where a plain spelling exists, in place: "\\?\C:\..." becomes
/// "C:\...", "\\?\UNC\server\..." becomes "\\server\...". Any other path stays as it is.
void strip_extended_prefix(wchar_t* path);

/// Replaces the directory part (everything before the last backslash; the whole path when
/// there is none) by its short form, keeping the last component. A directory that cannot be
/// shortened stays unchanged. Aborts if the result does not fit or memory runs out.
void shorten_directory_part(wchar_t* path, uint32_t capacity);
