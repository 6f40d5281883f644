// Below an unpack folder that other accounts may share, a start's folders go into a folder of
// the user's own, and nothing another account could change stands on the way to it: otherwise
// whoever made a level of that path first could later turn it into a link to a tree of their
// own, and the application's loads by path (plug-ins by bare name, delayed imports) would come
// from there.
#pragma once

#include <stddef.h>

#include "launcher/folder_trust.h"

/// Units of the own folder's name: the user's SID text and ".elevated".
constexpr size_t own_folder_name_capacity = sid_text_capacity + 16;

/// Writes the name of this user's own folder for `access` into `name`: the user's SID as
/// text, with ".elevated" for an elevated launcher, whose folders admit others than the
/// user's without elevation. False when the token cannot be read.
bool own_folder_name(folder_access access, wchar_t (&name)[own_folder_name_capacity]);

/// Appends "\<own folder name>" to `root` (an absolute folder without a trailing separator,
/// `capacity` units) and, with `make`, makes that folder private for `access` as
/// create_private_folder does, or takes the one already there, and holds it open, sharing no
/// delete access, until the process ends. Then every level of the path is checked: the own
/// folder must be no link and one create_private_folder made for `access` (another account's,
/// or one with another access list, is never used), the path by name must lead to the folder
/// held, and a link on the way to it must be one that only its own user or administrators can
/// change (link_owner_is_trusted). Ends the process with exit code 2 and a message naming the
/// folder otherwise; without `make`, only appends (the child of a run whose parent did all this).
void enter_own_folder(wchar_t* root, size_t capacity, folder_access access, bool make);
