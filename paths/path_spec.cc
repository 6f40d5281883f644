#include "paths/path_spec.h"

#include <stdio.h>
#include <stdlib.h>
#include <windows.h>
#include <shlobj.h>

#include "paths/shell_calls.h"

#include "paths/build_texts.h"
#include "paths/environment.h"
#include "paths/path_spec_tokens.h"
#include "paths/run_identity.h"

namespace {

using token_kind = path_spec_token;

token_kind find_token(const wchar_t* name) { return find_path_spec_token(name, wcslen(name)); }

// The launcher's own path when it set one: what {PROGRAM} stands for instead of argv[0].
const wchar_t* g_program_path = nullptr;

// Appends a token's value at `out[*position]`; a value never gets truncated.
void append_value(wchar_t* out, size_t capacity, size_t* position, const wchar_t* value) {
  size_t length = wcslen(value);
  if (length + 1 > capacity - *position) abort();
  wmemcpy(out + *position, value, length);
  *position += length;
  out[*position] = 0;
}

void trim_trailing_backslashes(wchar_t* out, size_t* position) {
  while (*position > 0 && out[*position - 1] == L'\\') out[--*position] = 0;
}

// Expands one recognised token at out[*position]. Returns false for the soft failures.
bool expand_token(token_kind token, wchar_t* out, size_t capacity, size_t* position) {
  size_t room = capacity - *position;
  wchar_t* at = out + *position;
  wchar_t value[identity_value_capacity];

  switch (token) {
    case path_token_temp: {
      DWORD length = GetTempPathW(static_cast<DWORD>(room), at);
      // A folder that does not fit the room is a value that does not fit.
      if (length >= room) abort();
      at[length] = 0;
      *position += length;
      trim_trailing_backslashes(out, position);
      return true;
    }
    case path_token_program: {
      if (g_program_path) {
        append_value(out, capacity, position, g_program_path);
        return true;
      }
      if (!__wargv || !__wargv[0]) abort();
      append_value(out, capacity, position, __wargv[0]);
      return true;
    }
    case path_token_program_base:
    case path_token_program_dir: {
      if (!expand_path_spec(at, L"{PROGRAM}", room)) return false;
      size_t length = wcslen(at);
      if (token == path_token_program_base) {
        if (length >= 4 && _wcsicmp(at + length - 4, L".exe") == 0) length -= 4;
      } else if (wchar_t* separator = wcsrchr(at, L'\\')) {
        length = static_cast<size_t>(separator - at);
      }
      at[length] = 0;
      *position += length;
      return true;
    }
    case path_token_home:
    case path_token_cache_dir: {
      int folder = token == path_token_home ? CSIDL_PROFILE : CSIDL_LOCAL_APPDATA;
      if (shell_get_folder_path(nullptr, folder, nullptr, 0, value) != S_OK) return false;
      append_value(out, capacity, position, value);
      trim_trailing_backslashes(out, position);
      return true;
    }
    case path_token_pid: {
      if (wchar_t* parent = env_get("TAVREN_ONEFILE_PARENT")) {
        for (const wchar_t* c = parent; *c; ++c) {
          if (!iswctype(*c, _DIGIT)) abort();
        }
        append_value(out, capacity, position, parent);
        free(parent);
      } else {
        char number[128];
        snprintf(number, sizeof number, "%ld", static_cast<long>(GetCurrentProcessId()));
        widen_append(at, number, room);
        *position += wcslen(at);
      }
      return true;
    }
    case path_token_company: append_value(out, capacity, position, tavren_company_text); return true;
    case path_token_product: append_value(out, capacity, position, tavren_product_text); return true;
    case path_token_version:
    case path_token_file_version: append_value(out, capacity, position, tavren_file_version_text); return true;
    case path_token_product_version: append_value(out, capacity, position, tavren_product_version_text); return true;
    case path_token_random:
    case path_token_time_us:
    case path_token_time: {
      identity_token which = token == path_token_random    ? identity_random
                             : token == path_token_time_us ? identity_time_us
                                                           : identity_time;
      bool owned = false;
      const wchar_t* text = identity_text(which, value, &owned);
      append_value(out, capacity, position, text);
      if (owned) free(const_cast<wchar_t*>(text));
      return true;
    }
    case path_token_none: break;
  }
  return false;
}

}  // namespace

void set_path_spec_program(const wchar_t* path) { g_program_path = path; }

bool expand_path_spec(wchar_t* output, const wchar_t* spec, size_t capacity) {
  if (capacity == 0) return false;
  output[0] = 0;
  size_t position = 0;
  wchar_t name[path_spec_token_capacity];
  size_t name_length = 0;
  bool name_too_long = false;
  bool inside = false;

  for (const wchar_t* c = spec;; ++c) {
    if (*c == 0) {
      output[position] = 0;  // an open token is dropped without a trace
      return true;
    }
    if (*c == L'{') {
      inside = true;
      name_length = 0;
      name_too_long = false;
      continue;
    }
    if (inside && *c == L'}') {
      inside = false;
      name[name_length] = 0;
      token_kind token = name_too_long ? path_token_none : find_token(name);
      if (token == path_token_none) return false;
      if (!expand_token(token, output, capacity, &position)) return false;
      continue;
    }
    if (inside) {
      if (name_length + 1 < path_spec_token_capacity) {
        name[name_length++] = *c;
      } else {
        name_too_long = true;
      }
      continue;
    }
    // Outside a token, "}" is an ordinary character like any other.
    if (capacity - position < 2) return false;
    output[position++] = *c;
    output[position] = 0;
  }
}
