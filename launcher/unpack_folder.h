// Where a launcher makes its folders: the temp folder (a cached launcher: the user's local
// application data) unless the packer wrote a template or an administrator set the variable.
#pragma once

#include <stddef.h>

#include "launcher/folder_trust.h"

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
/// fatal_expand_packed_spec (exit code 2) for a template that does not expand to an absolute path.
/// An elevated launcher (`access`) never reads the variable: it comes from the user's own
/// environment, which code of the user running without elevation can set.
bool chosen_unpack_folder(wchar_t* folder, size_t capacity, folder_access access = process_folder_access());

/// Writes into `folder` the folder under which this start makes its folders when it is not
/// the user's alone: the chosen unpack folder, or, for an elevated launcher, `fallback`
/// (a path template such as "{TEMP}") made absolute, followed by the user's own folder
/// there (enter_own_folder, with `make` as given); returns false, writing nothing, when the
/// caller's default applies as it is.
bool shared_unpack_folder(wchar_t* folder, size_t capacity, const wchar_t* fallback, bool make);
