#include "launcher/child_command_line.h"

#include <stdlib.h>
#include <windows.h>
#include <shellapi.h>

#include "launcher/command_line_quote.h"
#include "base/diagnostics.h"
#include "paths/shell_calls.h"

void fill_own_path_for_launch() {
  if (g_own_path_for_launch[0] != 0) return;
  if (GetModuleFileNameW(nullptr, g_own_path_for_launch, launch_path_capacity) == 0) abort();
}

void build_child_command_line() {
  int count = 0;
  wchar_t** arguments = shell_command_line_to_argv(GetCommandLineW(), &count);
  if (!arguments) {
    DWORD code = GetLastError();
    print_system_error("Error, couldn't launch child", code);
    exit(2);
  }
  g_child_command_line[0] = 0;
  fill_own_path_for_launch();
  // The typed program name reaches the application through TAVREN_ORIGINAL_ARGV0 instead.
  arguments[0] = g_own_path_for_launch;
  if (count <= 0) return;

  command_line_buffer<wchar_t> line{g_child_command_line, child_command_line_capacity, 0};
  for (int i = 0; i < count; ++i) {
    if (i > 0) command_line_append<wchar_t>(&line, L' ');
    append_argument(&line, arguments[i]);
  }
  // The vector stays allocated: arguments[0] points into static storage anyway.
}
