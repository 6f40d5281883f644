// The tokens a path template may hold, as one table for the launcher that expands templates
// and the packer that checks them before it writes one into a launcher. Portable: no
// Windows headers, no allocation.
#pragma once

#include <stddef.h>

/// Token names in the order the launcher compares them (ASCII, matched without regard to case).
enum path_spec_token {
  path_token_temp,
  path_token_program,
  path_token_program_base,
  path_token_program_dir,
  path_token_pid,
  path_token_home,
  path_token_cache_dir,
  path_token_company,
  path_token_product,
  path_token_version,
  path_token_file_version,
  path_token_product_version,
  path_token_random,
  path_token_time_us,
  path_token_time,
  path_token_none,
};

inline const char* const path_spec_token_names[path_token_none] = {
    "TEMP",    "PROGRAM", "PROGRAM_BASE", "PROGRAM_DIR",     "PID",    "HOME",    "CACHE_DIR", "COMPANY",
    "PRODUCT", "VERSION", "FILE_VERSION", "PRODUCT_VERSION", "RANDOM", "TIME_US", "TIME",
};

/// The token called `name` (`length` units of any character type), or path_token_none.
template <typename Unit>
path_spec_token find_path_spec_token(const Unit* name, size_t length) {
  for (int i = 0; i < path_token_none; ++i) {
    const char* known = path_spec_token_names[i];
    size_t at = 0;
    for (; at < length && known[at]; ++at) {
      Unit c = name[at];
      if (c >= 'a' && c <= 'z') c = static_cast<Unit>(c - 'a' + 'A');
      if (c != static_cast<Unit>(known[at])) break;
    }
    if (at == length && known[at] == 0) return static_cast<path_spec_token>(i);
  }
  return path_token_none;
}

/// True for the tokens whose value changes from one start to the next.
inline bool path_spec_token_is_per_run(path_spec_token token) {
  return token == path_token_pid || token == path_token_random || token == path_token_time_us ||
         token == path_token_time;
}

/// True for the tokens whose value is an absolute folder or file path of the machine.
inline bool path_spec_token_is_folder(path_spec_token token) {
  return token == path_token_temp || token == path_token_program || token == path_token_program_base ||
         token == path_token_program_dir || token == path_token_home || token == path_token_cache_dir;
}

/// Why the folder template `spec` (zero-terminated UTF-8) cannot name the folder that run or
/// product folders are made under, or null when it can: empty, an unclosed or unknown token,
/// a text that would be relative to the current folder, or a token that changes with every start (each start would make
/// a folder of its own that no later start collects).
inline const char* unpack_dir_template_fault(const char* spec) {
  if (!spec[0]) return "is empty";
  bool drive =
      ((spec[0] >= 'A' && spec[0] <= 'Z') || (spec[0] >= 'a' && spec[0] <= 'z')) && spec[1] == ':' && spec[2] == '\\';
  if (spec[0] != '{' && !drive && !(spec[0] == '\\' && spec[1] == '\\'))
    return "is not an absolute path (start it with a token such as {TEMP}, a drive or a share)";
  if (spec[0] == '{') {
    // The build texts name folders, not places: "{PRODUCT}\files" would be relative.
    const char* close = spec + 1;
    while (*close && *close != '}') ++close;
    path_spec_token first = *close ? find_path_spec_token(spec + 1, static_cast<size_t>(close - spec - 1)) : path_token_none;
    if (first != path_token_none && !path_spec_token_is_folder(first))
      return "is not an absolute path (start it with {TEMP}, {CACHE_DIR}, {HOME}, {PROGRAM_DIR}, a drive or a share)";
  }
  for (const char* c = spec; *c; ++c) {
    if (*c != '{') continue;
    const char* close = c + 1;
    while (*close && *close != '}') ++close;
    if (!*close) return "has a '{' without its '}'";
    path_spec_token token = find_path_spec_token(c + 1, static_cast<size_t>(close - c - 1));
    if (token == path_token_none) return "names a token the launcher does not know";
    if (path_spec_token_is_per_run(token))
      return "names a token that changes with every start ({PID}, {RANDOM}, {TIME}, {TIME_US})";
    c = close;
  }
  return nullptr;
}
