#include "launcher/update/update_request.h"

#include <string.h>
#include <windows.h>

#include "launcher/command_line_quote.h"

namespace {

bool is_key(const wchar_t* line, size_t key_length, const wchar_t* key) {
  return wcslen(key) == key_length && wcsncmp(line, key, key_length) == 0;
}

bool parse_flag(const wchar_t* value, bool* flag) {
  if (wcscmp(value, L"yes") == 0 || wcscmp(value, L"1") == 0 || wcscmp(value, L"true") == 0) {
    *flag = true;
    return true;
  }
  if (wcscmp(value, L"no") == 0 || wcscmp(value, L"0") == 0 || wcscmp(value, L"false") == 0) {
    *flag = false;
    return true;
  }
  return false;
}

// A path the launcher could resolve against its own working folder would name a file the
// application never meant: only drive-rooted and UNC paths are taken.
bool absolute_path(const wchar_t* path) {
  return (path[0] && path[1] == L':' && path[2] == L'\\') || (path[0] == L'\\' && path[1] == L'\\');
}

// Quoting may double a value's length and adds a blank and two quotes.
bool append_quoted(wchar_t* arguments, const wchar_t* argument) {
  size_t length = wcslen(arguments);
  if (length + 2 * wcslen(argument) + 4 > child_command_line_capacity) return false;
  command_line_buffer<wchar_t> line = {arguments, child_command_line_capacity, length};
  command_line_append<wchar_t>(&line, L' ');
  append_argument(&line, argument);
  return true;
}

}  // namespace

bool parse_update_request(const char* text, size_t size, update_request* request, const char** why) {
  request->file[0] = 0;
  request->restart = false;
  request->allow_downgrade = false;
  request->arguments[0] = 0;
  if (size >= 3 && memcmp(text, "\xEF\xBB\xBF", 3) == 0) {
    text += 3;
    size -= 3;
  }
  // The request is small; its wide form gets a buffer of its own, one unit per byte at most.
  static wchar_t wide[update_request_size_max + 1];
  if (size > update_request_size_max) {
    *why = "the request is too long";
    return false;
  }
  int units = size ? MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, static_cast<int>(size), wide,
                                         static_cast<int>(update_request_size_max))
                   : 0;
  if (size && units <= 0) {
    *why = "the request is not UTF-8 text";
    return false;
  }
  wide[units] = 0;
  if (wmemchr(wide, 0, static_cast<size_t>(units))) {
    *why = "the request holds a zero character";
    return false;
  }
  for (wchar_t* line = wide; line < wide + units;) {
    wchar_t* end = wcschr(line, L'\n');
    wchar_t* next = end ? end + 1 : wide + units;
    if (!end) end = wide + units;
    *end = 0;
    if (end > line && end[-1] == L'\r') end[-1] = 0;
    if (line[0]) {
      wchar_t* equals = wcschr(line, L'=');
      if (!equals) {
        *why = "a line of the request has no '='";
        return false;
      }
      size_t key_length = static_cast<size_t>(equals - line);
      const wchar_t* value = equals + 1;
      if (is_key(line, key_length, L"file")) {
        if (request->file[0]) {
          *why = "the request names more than one file";
          return false;
        }
        if (!absolute_path(value) || wcslen(value) >= launcher_path_capacity) {
          *why = "the request's file is not a full path";
          return false;
        }
        wcscpy(request->file, value);
      } else if (is_key(line, key_length, L"restart")) {
        if (!parse_flag(value, &request->restart)) {
          *why = "restart is neither yes nor no";
          return false;
        }
      } else if (is_key(line, key_length, L"allow-downgrade")) {
        if (!parse_flag(value, &request->allow_downgrade)) {
          *why = "allow-downgrade is neither yes nor no";
          return false;
        }
      } else if (is_key(line, key_length, L"argument")) {
        if (!append_quoted(request->arguments, value)) {
          *why = "the restart's arguments are too long";
          return false;
        }
      } else {
        *why = "the request has an unknown key";
        return false;
      }
    }
    line = next;
  }
  if (!request->file[0]) {
    *why = "the request names no file";
    return false;
  }
  return true;
}
