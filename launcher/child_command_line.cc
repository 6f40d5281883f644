#include "launcher/child_command_line.h"

#include <stdlib.h>
#include <windows.h>

#include "launcher/command_line_quote.h"

void fill_own_path_for_launch() {
  if (g_own_path_for_launch[0] != 0) return;
  if (GetModuleFileNameW(nullptr, g_own_path_for_launch, launch_path_capacity) == 0) abort();
}

static bool is_blank(wchar_t c) { return c == L' ' || c == L'\t'; }

// The program name knows no escapes: a quoted one ends at the next quote. Copies it to `name`
// when given; returns where it ends.
static const wchar_t* skip_program_name(const wchar_t* s, wchar_t* name) {
  wchar_t* d = name;
  if (*s == L'"') {
    for (++s; *s && *s != L'"'; ++s)
      if (d) *d++ = *s;
    if (*s) ++s;
  } else {
    for (; *s && !is_blank(*s); ++s)
      if (d) *d++ = *s;
  }
  if (d) *d = 0;
  return s;
}

const wchar_t* after_program_name(const wchar_t* line) { return skip_program_name(line, nullptr); }

void split_command_line(const wchar_t* line, wchar_t* scratch, take_argument_fn take, void* context) {
  const wchar_t* s = skip_program_name(line, scratch);
  wchar_t* d = scratch;
  take(context, 0, scratch);
  for (int index = 1;; ++index) {
    while (is_blank(*s)) ++s;
    if (!*s) return;
    d = scratch;
    bool quoted = false;
    while (*s && (quoted || !is_blank(*s))) {
      if (*s == L'\\') {
        size_t count = 0;
        while (*s == L'\\') ++count, ++s;
        // Before a quote, backslashes come in escaping pairs; elsewhere they are plain.
        size_t kept = *s == L'"' ? count / 2 : count;
        for (size_t k = 0; k < kept; ++k) *d++ = L'\\';
        if (*s == L'"' && count % 2 == 1) *d++ = *s++;
      } else if (*s == L'"') {
        ++s;
        if (quoted && *s == L'"') {
          *d++ = *s++;  // a doubled quote inside quotes is one quote, and ends them
          quoted = false;
        } else {
          quoted = !quoted;
        }
      } else {
        *d++ = *s++;
      }
    }
    *d = 0;
    take(context, index, scratch);
  }
}

// One argument at a time while the line is split: no larger than the line itself.
static wchar_t argument_scratch[child_command_line_capacity];

static void append_child_argument(void* context, int index, const wchar_t* argument) {
  auto* line = static_cast<command_line_buffer<wchar_t>*>(context);
  if (index > 0) command_line_append<wchar_t>(line, L' ');
  // The typed program name reaches the application through TAVREN_ORIGINAL_ARGV0 instead.
  append_argument(line, index == 0 ? g_own_path_for_launch : argument);
}

// Split here rather than by Shell32: loading it and what it pulls in costs the parent tens
// of milliseconds under Wine, more than the whole rest of its start.
void build_child_command_line() {
  const wchar_t* own_line = GetCommandLineW();
  if (wcslen(own_line) > child_command_line_capacity - 1) abort();
  g_child_command_line[0] = 0;
  fill_own_path_for_launch();
  command_line_buffer<wchar_t> line{g_child_command_line, child_command_line_capacity, 0};
  split_command_line(own_line, argument_scratch, append_child_argument, &line);
}
