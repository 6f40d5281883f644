// The target folder as this run's own: made by this run, and closed to everyone else.
#pragma once

#include <windows.h>

#include "launcher/folder_trust.h"

/// Names create_private_folder tries before claim_private_folder gives up.
constexpr int private_folder_name_attempts = 16;

/// Bytes of the access list create_private_folder builds: three entries of one SID each.
constexpr DWORD private_folder_acl_capacity = 512;

/// The security descriptor create_private_folder gives a folder, with everything it points to.
struct private_descriptor {
  SECURITY_DESCRIPTOR descriptor;
  alignas(8) unsigned char acl[private_folder_acl_capacity], label[private_folder_acl_capacity];
  alignas(8) unsigned char user[256], system[SECURITY_MAX_SID_SIZE], administrators[SECURITY_MAX_SID_SIZE],
      high_label[SECURITY_MAX_SID_SIZE];
  DWORD user_size = 0;
};

/// Fills `out` as create_private_folder describes for `access`; returns ERROR_SUCCESS or the
/// system error. Tests give `access` to see what an elevated launcher would build.
DWORD build_private_descriptor(private_descriptor& out, folder_access access = process_folder_access());

/// Creates the folder `path` with an access list of its own (not merged with the parent's)
/// that grants full access to the current user, the system account and, inside an
/// AppContainer, that container; folders and files below inherit it. For
/// folder_access_elevated it grants the Administrators group and the system account instead,
/// is owned by the Administrators group and carries a high mandatory label that passes down,
/// so code of the same user without elevation can neither change it nor add to it. Fails
/// when anything is already at `path`. Returns ERROR_SUCCESS or the system error
/// (ERROR_ALREADY_EXISTS when the name is taken). With `held`, the folder is made and opened
/// in one step and the handle (which may also read the folder's security information) shares
/// no delete access and is stored there: nobody can rename or remove the folder until it is
/// closed (null on failure).
DWORD create_private_folder(const wchar_t* path, HANDLE* held = nullptr,
                            folder_access access = process_folder_access());

/// Makes `directory` (a buffer of `capacity` units) a new private folder. While its name is
/// taken, `next_name` writes a fresh one into it (false: no other name) and that is tried;
/// a folder that was already there is never used. Folders above it are created as needed.
/// Returns ERROR_SUCCESS with `directory` naming the folder made, ERROR_ALREADY_EXISTS when
/// every name tried was taken, or the system error of the last attempt.
/// `held` as for create_private_folder.
DWORD claim_private_folder(wchar_t* directory, size_t capacity, bool (*next_name)(wchar_t* directory, size_t capacity),
                           HANDLE* held = nullptr);

/// Makes `directory` a new private folder as claim_private_folder does, or ends the run with
/// exit code 2 and a message naming it: every name taken, the folder above missing and not
/// creatable, Advapi32 not at hand. A run never goes on in a folder it did not make private.
void claim_private_folder_or_exit(wchar_t* directory, size_t capacity,
                                  bool (*next_name)(wchar_t* directory, size_t capacity), HANDLE* held = nullptr);
