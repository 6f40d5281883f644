// Stands in for osslsigncode in the Windows packer's test: prints each argument on a line of
// its own (UTF-8) and fails with exit code 3.
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
  _setmode(_fileno(stdout), _O_BINARY);
  for (int i = 1; i < argc; ++i) {
    char text[4096];
    int n = WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, text, sizeof text, nullptr, nullptr);
    if (n > 0) printf("%s\n", text);
  }
  return 3;
}
