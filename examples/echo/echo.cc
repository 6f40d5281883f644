// The command-line example, packed with --console: echoes its arguments, then numbers the lines
// of its standard input until the input ends (Ctrl+Z and Enter at a console). It exits with
// the number of lines read, so a shell's exit code shows what the tool saw.
#include <stdio.h>
#include <string.h>
#include <windows.h>

static void print_wide(const char* label, const wchar_t* text) {
  char utf8[8192];
  int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, nullptr, nullptr);
  printf("%s%s\n", label, n > 0 ? utf8 : "?");
}

extern "C" __declspec(dllexport) int run_code(int argc, wchar_t** argv, const wchar_t*) {
  for (int i = 1; i < argc; ++i) {
    char label[32];
    snprintf(label, sizeof label, "arg %d: ", i);
    print_wide(label, argv[i]);
  }
  fflush(stdout);
  int lines = 0;
  char line[4096];
  while (fgets(line, sizeof line, stdin)) {
    printf("line %d: %s", ++lines, line);
    if (line[strlen(line) - 1] != '\n') printf("\n");
    fflush(stdout);
  }
  return lines;
}
