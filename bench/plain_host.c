/* The baseline for start-up: a plain exe that loads a main library and calls run_code,
   with nothing unpacked and no second process. */
#include <windows.h>
#include <wchar.h>

typedef int (*run_code_fn)(int, wchar_t**, const wchar_t*);

int WINAPI wWinMain(HINSTANCE a, HINSTANCE b, PWSTR c, int d) {
  (void)a;
  (void)b;
  (void)c;
  (void)d;
  if (__argc < 2) return 90;
  HMODULE library = LoadLibraryExW(__wargv[1], NULL, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (!library) return 91;
  run_code_fn run_code = (run_code_fn)(void*)GetProcAddress(library, "run_code");
  if (!run_code) return 92;
  return run_code(__argc, __wargv, __wargv[1]);
}
