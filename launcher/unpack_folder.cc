#include "launcher/unpack_folder.h"

#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

#include "base/diagnostics.h"
#include "base/wide_buffer.h"
#include "launcher/child_command_line.h"
#include "launcher/own_folder.h"
#include "payload/payload.h"
#include "paths/environment.h"
#include "paths/path_spec.h"

namespace {

const wchar_t* g_packed_spec = nullptr;

// A drive's "X:\" or a share's "\\server\..."; a relative path would move with the current
// folder, which the parent and its child, or two starts, need not share.
bool is_absolute_path(const wchar_t* path) {
  bool drive = ((path[0] | 0x20) >= L'a' && (path[0] | 0x20) <= L'z') && path[1] == L':' && path[2] == L'\\';
  return drive || (path[0] == L'\\' && path[1] == L'\\' && path[2] && path[2] != L'\\');
}

// Makes `folder` absolute and drops trailing separators; false when it does not fit.
bool make_absolute(wchar_t* folder, size_t capacity) {
  wchar_t absolute[launcher_path_capacity];
  DWORD length = GetFullPathNameW(folder, launcher_path_capacity, absolute, nullptr);
  if (length < 1 || length > launcher_path_capacity - 1 || length + 1 > capacity) return false;
  while (length > 3 && absolute[length - 1] == L'\\') absolute[--length] = 0;
  wbuf_copy(folder, capacity, absolute);
  return true;
}

}  // namespace

void set_packed_unpack_dir(const wchar_t* spec) { g_packed_spec = spec && spec[0] ? spec : nullptr; }

bool chosen_unpack_folder(wchar_t* folder, size_t capacity, folder_access access) {
  wchar_t* variable = access == folder_access_user ? env_get(UNPACK_DIR_VARIABLE) : nullptr;
  if (variable) {
    if (!is_absolute_path(variable) || wcslen(variable) + 1 > capacity)
      fatal_bad_variable(UNPACK_DIR_VARIABLE, variable);
    wbuf_copy(folder, capacity, variable);
    if (!make_absolute(folder, capacity)) fatal_bad_variable(UNPACK_DIR_VARIABLE, variable);
    free(variable);
    return true;
  }
  if (!g_packed_spec) return false;
  // The child is started by the launcher's own path, whatever the parent's argv[0] was: both
  // read {PROGRAM} from it, so both name the same folder.
  fill_own_path_for_launch();
  set_path_spec_program(g_own_path_for_launch);
  if (!expand_path_spec(folder, g_packed_spec, capacity) || !is_absolute_path(folder) ||
      !make_absolute(folder, capacity)) {
    fatal_expand_packed_spec(g_packed_spec);
  }
  return true;
}

bool shared_unpack_folder(wchar_t* folder, size_t capacity, const wchar_t* fallback, bool make) {
  folder_access access = process_folder_access();
  if (!chosen_unpack_folder(folder, capacity, access)) {
    // The user's own temporary or application data folder is theirs alone, unless this
    // launcher runs elevated: then the same user without elevation is the other account.
    if (access == folder_access_user) return false;
    if (!expand_path_spec(folder, fallback, capacity) || !make_absolute(folder, capacity)) fatal_expand_spec(fallback);
  }
  enter_own_folder(folder, capacity, access, make);
  return true;
}
