// The demo application: a main library that greets, shows what the launcher handed it and
// reads one of its own data files from the folder it was unpacked into.
#include <stdio.h>
#include <windows.h>

static void print_wide(const char* label, const wchar_t* text) {
  char utf8[8192];
  int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, nullptr, nullptr);
  printf("%s%s\n", label, n > 0 ? utf8 : "?");
}

extern "C" __declspec(dllexport) int run_code(int argc, wchar_t** argv, const wchar_t* main_library) {
  printf("Hello from a packed application!\n");
  for (int i = 0; i < argc; ++i) {
    char label[32];
    snprintf(label, sizeof label, "  argv[%d] = ", i);
    print_wide(label, argv[i]);
  }

  // Data files sit beside the main library, in the folder the launcher unpacked.
  wchar_t path[4096];
  wcsncpy(path, main_library, 4095);
  path[4095] = 0;
  if (wchar_t* slash = wcsrchr(path, L'\\')) slash[1] = 0;
  wcsncat(path, L"data\\text\\greeting.txt", 4095 - wcslen(path));
  if (FILE* file = _wfopen(path, L"rb")) {
    char line[256];
    while (fgets(line, sizeof line, file)) printf("  data file says: %s", line);
    fclose(file);
  } else {
    print_wide("  cannot read ", path);
  }

  wchar_t value[4096];
  if (GetEnvironmentVariableW(L"TAVREN_ONEFILE_DIRECTORY", value, 4096)) print_wide("  launcher folder: ", value);
  if (GetEnvironmentVariableW(L"TAVREN_ORIGINAL_ARGV0", value, 4096)) print_wide("  started as:      ", value);
  print_wide("  unpacked to:     ", main_library);
  fflush(stdout);
  return argc - 1;  // the number of arguments, so the exit code shows they arrived
}
