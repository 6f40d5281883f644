#include "base/diagnostics.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

void print_system_error(const char* message, uint32_t error_code) {
  char* text = nullptr;
  DWORD length =
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                     nullptr, error_code, 0x409, reinterpret_cast<LPSTR>(&text), 0, nullptr);
  static char empty[] = "";
  if (length == 0 || !text) {
    text = empty;
  } else {
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n')) text[--length] = 0;
  }
  // The process ends right after; the system's buffer is left to it.
  fprintf(stderr, "%s ([Error %ld] %s)\n", message, static_cast<long>(static_cast<int32_t>(error_code)), text);
}

// The runtime's own "%ls" conversion stops at the first character it cannot represent and
// prints a shorter path that looks right. Here every unit the C locale maps to one byte (up to
// U+00FF) gives that byte, as the runtime would, and anything else one '?': the reader sees
// where the path had a character the stream cannot show.
static const char* narrow_for_message(const wchar_t* text) {
  size_t length = wcslen(text);
  char* narrow = static_cast<char*>(malloc(length + 1));
  if (!narrow) return "?";
  size_t n = 0;
  for (size_t i = 0; i < length; ++i) {
    wchar_t unit = text[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < length && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) ++i;
    narrow[n++] = unit <= 0xFF ? static_cast<char>(unit) : '?';
  }
  narrow[n] = 0;
  return narrow;  // the process ends right after the message
}

void fatal_expand_spec(const wchar_t* spec) {
  fprintf(stderr, "Error, couldn't runtime expand spec '%s'.\n", narrow_for_message(spec));
  abort();
}

void fatal_expand_packed_spec(const wchar_t* spec) {
  fprintf(stderr, "Error, couldn't runtime expand spec '%s'.\n", narrow_for_message(spec));
  exit(2);
}

void fatal_foreign_folder(const wchar_t* path) {
  fprintf(stderr, "Error, refused to unpack below '%s': another account could change it.\n", narrow_for_message(path));
  exit(2);
}

void fatal_open_for_writing(const wchar_t* path) {
  fprintf(stderr, "Error, failed to open '%s' for writing.\n", narrow_for_message(path));
  exit(2);
}

void fatal_create_folder(const wchar_t* path, uint32_t error_code) {
  const char* narrow = narrow_for_message(path);
  size_t size = strlen(narrow) + 64;
  char* message = static_cast<char*>(malloc(size));
  if (!message) abort();
  snprintf(message, size, "Error, failed to create folder '%s'.", narrow);
  print_system_error(message, error_code);
  exit(2);
}

void fatal_bad_variable(const char* name, const wchar_t* value) {
  fprintf(stderr, "Error, %s must be an absolute folder path, not '%s'.\n", name, narrow_for_message(value));
  exit(2);
}

void fatal_unpack_write() {
  DWORD code = GetLastError();
  print_system_error("Error, couldn't unpack file to target path.", code);
  exit(2);
}

void fatal_plain(const char* message) {
  puts(message);
  exit(2);
}
