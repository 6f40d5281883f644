#include "launcher/diagnostics.h"

#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

void print_system_error(const char* message, uint32_t error_code) {
  char* text = nullptr;
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                    FORMAT_MESSAGE_ALLOCATE_BUFFER,
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

void fatal_expand_spec(const wchar_t* spec) {
  fprintf(stderr, "Error, couldn't runtime expand spec '%ls'.\n", spec);
  abort();
}

void fatal_open_for_writing(const wchar_t* path) {
  fprintf(stderr, "Error, failed to open '%ls' for writing.\n", path);
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
