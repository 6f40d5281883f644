#include "base/diagnostics.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "base/system_library.h"

// A windowed launcher started from Explorer has no standard handles: what it prints goes
// nowhere, and the user sees only that nothing happened. There the text goes into a message
// box instead. User32 is bound only on this path, so a start that fails no report loads it.
namespace {

// The longest text a box shows: the message's own words around a path and the system's text.
constexpr size_t box_text_extra = 1024;

bool has_handle(DWORD which) {
  HANDLE handle = GetStdHandle(which);
  if (!handle || handle == INVALID_HANDLE_VALUE) return false;
  // A handle value inherited from a parent whose handles were never set names nothing.
  SetLastError(NO_ERROR);
  return GetFileType(handle) != FILE_TYPE_UNKNOWN || GetLastError() == NO_ERROR;
}

bool windowed_process() {
  auto* image = reinterpret_cast<const unsigned char*>(GetModuleHandleW(nullptr));
  auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image);
  auto* headers = reinterpret_cast<const IMAGE_NT_HEADERS*>(image + dos->e_lfanew);
  return headers->OptionalHeader.Subsystem == IMAGE_SUBSYSTEM_WINDOWS_GUI;
}

// The box goes only where someone can see it and close it: a launcher started by a service or
// a scheduled task without a visible desktop would otherwise wait for ever for a click.
bool box_can_be_seen(HMODULE user) {
  using station_fn = HWINSTA(WINAPI*)();
  using info_fn = BOOL(WINAPI*)(HANDLE, int, void*, DWORD, DWORD*);
  auto station = reinterpret_cast<station_fn>(reinterpret_cast<void*>(GetProcAddress(user, "GetProcessWindowStation")));
  auto info = reinterpret_cast<info_fn>(reinterpret_cast<void*>(GetProcAddress(user, "GetUserObjectInformationW")));
  if (!station || !info) return false;
  USEROBJECTFLAGS flags = {};
  DWORD needed = 0;
  HWINSTA current = station();
  return current && info(current, UOI_FLAGS, &flags, sizeof flags, &needed) && (flags.dwFlags & WSF_VISIBLE);
}

// The launcher's file name, which the user clicked, as the box's title.
void own_file_name(wchar_t* name, size_t capacity) {
  wchar_t path[MAX_PATH + 1];
  DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH + 1);
  const wchar_t* base = path;
  if (length == 0 || length > MAX_PATH) {
    base = L"";
  } else {
    for (const wchar_t* at = path; *at; ++at)
      if (*at == L'\\' || *at == L'/') base = at + 1;
  }
  name[0] = 0;
  wcsncat(name, base, capacity - 1);
}

// Whether the report for stream `which` goes to a box: a windowed process without that handle.
bool report_in_box(DWORD which) { return !has_handle(which) && windowed_process(); }

// Shows `text` in a modal box that names the launcher; returns once the user closed it.
void show_box(const wchar_t* text) {
  HMODULE user = load_system_library(L"user32.dll");
  if (!user) return;
  using box_fn = int(WINAPI*)(HWND, const wchar_t*, const wchar_t*, UINT);
  auto box = reinterpret_cast<box_fn>(reinterpret_cast<void*>(GetProcAddress(user, "MessageBoxW")));
  if (!box || !box_can_be_seen(user)) return;
  wchar_t title[MAX_PATH + 1];
  own_file_name(title, MAX_PATH + 1);
  // Above a splash, which stays on top until the launcher ends.
  box(nullptr, text, title, MB_OK | MB_ICONERROR | MB_TOPMOST | MB_SETFOREGROUND);
}

// A box's text put together from pieces: 8-bit ones (the messages, all ASCII) and wide ones
// (paths and variable values, shown as they are, in whatever script).
struct box_text {
  wchar_t* text;
  size_t capacity, length;
};

void box_start(box_text& box, size_t wide_units) {
  box.capacity = wide_units + box_text_extra;
  box.text = static_cast<wchar_t*>(malloc(box.capacity * sizeof(wchar_t)));
  box.length = 0;
  if (box.text) box.text[0] = 0;
}

void box_add(box_text& box, const char* narrow) {
  for (; box.text && *narrow && box.length + 1 < box.capacity; ++narrow)
    box.text[box.length++] = static_cast<unsigned char>(*narrow);
  if (box.text) box.text[box.length] = 0;
}

void box_add(box_text& box, const wchar_t* wide) {
  for (; box.text && *wide && box.length + 1 < box.capacity; ++wide) box.text[box.length++] = *wide;
  if (box.text) box.text[box.length] = 0;
}

// " ([Error <code>] <system text>)", as the stream's report has it, with the system's text in
// its own characters.
void box_add_system_error(box_text& box, uint32_t error_code) {
  wchar_t digits[16];
  box_add(box, " ([Error ");
  box_add(box, _ltow(static_cast<long>(static_cast<int32_t>(error_code)), digits, 10));
  box_add(box, "] ");
  wchar_t* text = nullptr;
  DWORD length =
      FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                     nullptr, error_code, 0x409, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
  if (length != 0 && text) {
    while (length > 0 && (text[length - 1] == L'\r' || text[length - 1] == L'\n')) text[--length] = 0;
    box_add(box, text);
  }
  box_add(box, ")");
}

void box_show(box_text& box) {
  if (box.text) show_box(box.text);
}

// The system's text for the stream, stripped of its trailing line break.
const char* system_text(uint32_t error_code) {
  char* text = nullptr;
  DWORD length =
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                     nullptr, error_code, 0x409, reinterpret_cast<LPSTR>(&text), 0, nullptr);
  static char empty[] = "";
  if (length == 0 || !text) return empty;
  while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n')) text[--length] = 0;
  // The process ends right after; the system's buffer is left to it.
  return text;
}

// The runtime's own "%ls" conversion stops at the first character it cannot represent and
// prints a shorter path that looks right. Here every unit the C locale maps to one byte (up to
// U+00FF) gives that byte, as the runtime would, and anything else one '?': the reader sees
// where the path had a character the stream cannot show.
const char* narrow_for_message(const wchar_t* text) {
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

// "<before>'<path>'<after>" on standard error, or in a box.
void report_quoted(const char* before, const wchar_t* path, const char* after) {
  if (report_in_box(STD_ERROR_HANDLE)) {
    box_text box;
    box_start(box, wcslen(path));
    box_add(box, before);
    box_add(box, "'");
    box_add(box, path);
    box_add(box, "'");
    box_add(box, after);
    return box_show(box);
  }
  fprintf(stderr, "%s'%s'%s\n", before, narrow_for_message(path), after);
}

}  // namespace

void print_system_error(const char* message, uint32_t error_code) {
  if (report_in_box(STD_ERROR_HANDLE)) {
    box_text box;
    box_start(box, 0);
    box_add(box, message);
    box_add_system_error(box, error_code);
    return box_show(box);
  }
  fprintf(stderr, "%s ([Error %ld] %s)\n", message, static_cast<long>(static_cast<int32_t>(error_code)),
          system_text(error_code));
}

void fatal_expand_spec(const wchar_t* spec) {
  report_quoted("Error, couldn't runtime expand spec ", spec, ".");
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
  report_quoted("Error, failed to open ", path, " for writing.");
  exit(2);
}

void fatal_create_folder(const wchar_t* path, uint32_t error_code) {
  if (report_in_box(STD_ERROR_HANDLE)) {
    box_text box;
    box_start(box, wcslen(path));
    box_add(box, "Error, failed to create folder '");
    box_add(box, path);
    box_add(box, "'.");
    box_add_system_error(box, error_code);
    box_show(box);
    exit(2);
  }
  const char* narrow = narrow_for_message(path);
  size_t size = strlen(narrow) + 64;
  char* message = static_cast<char*>(malloc(size));
  if (!message) abort();
  snprintf(message, size, "Error, failed to create folder '%s'.", narrow);
  print_system_error(message, error_code);
  exit(2);
}

void fatal_bad_variable(const char* name, const wchar_t* value) {
  if (report_in_box(STD_ERROR_HANDLE)) {
    box_text box;
    box_start(box, wcslen(value));
    box_add(box, "Error, ");
    box_add(box, name);
    box_add(box, " must be an absolute folder path, not '");
    box_add(box, value);
    box_add(box, "'.");
    box_show(box);
    exit(2);
  }
  fprintf(stderr, "Error, %s must be an absolute folder path, not '%s'.\n", name, narrow_for_message(value));
  exit(2);
}

void fatal_unpack_write() {
  DWORD code = GetLastError();
  print_system_error("Error, couldn't unpack file to target path.", code);
  exit(2);
}

void fatal_plain(const char* message) {
  if (report_in_box(STD_OUTPUT_HANDLE)) {
    box_text box;
    box_start(box, 0);
    box_add(box, message);
    box_show(box);
  } else {
    puts(message);
  }
  exit(2);
}
