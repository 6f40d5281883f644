// The executable-entry example: an ordinary console program, built and run as any other, that
// the launcher starts as it is. It prints its arguments, the folder it runs from and the file
// beside it, then counts the lines of its standard input and exits with that number. Nothing
// in it knows about the launcher, except that it shows the variable a packed program sees.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

static void print_wide(const char* label, const wchar_t* text) {
  char utf8[8192];
  int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, nullptr, nullptr);
  printf("%s%s\n", label, n > 0 ? utf8 : "?");
}

int wmain(int argc, wchar_t** argv) {
  for (int i = 1; i < argc; ++i) {
    char label[32];
    snprintf(label, sizeof label, "arg %d: ", i);
    print_wide(label, argv[i]);
  }
  wchar_t folder[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, folder, MAX_PATH);
  while (length > 0 && folder[length - 1] != L'\\') --length;
  folder[length] = 0;
  print_wide("running from: ", folder);
  // Where the user's copy of the program is: beside it are the user's files, and starting it
  // again starts the program again.
  const wchar_t* launcher = _wgetenv(L"TAVREN_ONEFILE_EXECUTABLE");
  print_wide("started as: ", launcher ? launcher : L"(not packed)");

  wcscat(folder, L"data\\motd.txt");
  if (FILE* motd = _wfopen(folder, L"r")) {
    char line[256];
    while (fgets(line, sizeof line, motd)) printf("motd: %s", line);
    fclose(motd);
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
