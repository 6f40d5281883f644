// Where a launcher makes its folders: the temp folder (a cached launcher: the user's local
// application data) unless the packer wrote a template or an administrator set the variable.
#pragma once

#include <stddef.h>

/// The variable that names the unpack folder on a machine, over what the launcher carries.
#define UNPACK_DIR_VARIABLE "TAVREN_ONEFILE_UNPACK_DIR"

/// Sets the template the packer wrote into the descriptor; null or empty: none.
void set_packed_unpack_dir(const wchar_t* spec);

/// Writes into `folder` (capacity units) the absolute folder, without a trailing separator,
/// under which this launcher makes its folders, and returns true; returns false, writing
/// nothing, when neither source names one (the caller's default applies). TAVREN_ONEFILE_UNPACK_DIR,
/// when set and not empty, wins: a plain absolute path (a drive's "X:\..." or a share's
/// "\\server\share\..."), taken as it is, never expanded, as it comes from an environment the
/// launcher cannot trust to hold a template of its making. Otherwise the packed template is
/// expanded with {PROGRAM} standing for the launcher's own path. Ends the process with exit
/// code 2 and a message for a variable that is no absolute path or does not fit, and as
/// fatal_expand_spec for a template that does not expand.
bool chosen_unpack_folder(wchar_t* folder, size_t capacity);
