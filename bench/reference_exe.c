/* The tiny application as an executable entry: a windowed program that returns at once, as
   the tiny main library's run_code does. */
#include <windows.h>

int WINAPI wWinMain(HINSTANCE a, HINSTANCE b, PWSTR c, int d) {
  (void)a;
  (void)b;
  (void)c;
  (void)d;
  return 0;
}
