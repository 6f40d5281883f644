// A windowed application with an icon of its own, a version resource and a manifest that asks
// for administrator rights: what a launcher of it must look like. Run, it says so and ends.
#include <stdio.h>
#include <windows.h>

extern "C" int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  printf("looks_app ran\n");
  return 0;
}
