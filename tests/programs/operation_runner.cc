// operation_runner <operation> <args...>: runs one operation of the paths and diagnostics code in a
// process of its own, windowed like the launcher, so a test can see an abort or exit(2)
// together with the exact bytes on the standard streams. The runner's own results go straight
// to the standard output handle as UTF-8, past the C runtime's text-mode translation, so
// they never mix with what the operation itself prints through the runtime.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include <string>

#include "base/diagnostics.h"
#include "paths/environment.h"
#include "paths/module_path.h"
#include "paths/path_spec.h"

namespace {

void write_raw(const std::string& bytes) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

std::string utf8(const wchar_t* text) {
  int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string result(size > 0 ? size - 1 : 0, '\0');
  if (size > 1) WideCharToMultiByte(CP_UTF8, 0, text, -1, result.data(), size, nullptr, nullptr);
  return result;
}

// The operations take 8-bit names and texts; tests pass plain ASCII, so each unit is a byte.
std::string narrow(const wchar_t* text) {
  std::string result;
  for (; *text; ++text) result.push_back(static_cast<char>(*text));
  return result;
}

unsigned long number(const wchar_t* text) { return wcstoul(text, nullptr, 0); }

// A buffer of exactly `capacity` units, so a write past it is the operation's fault.
wchar_t* exact_buffer(const wchar_t* initial, unsigned long capacity) {
  wchar_t* buffer = static_cast<wchar_t*>(calloc(capacity ? capacity : 1, sizeof(wchar_t)));
  if (!buffer || wcslen(initial) >= capacity) {
    write_raw("operation_runner: initial text does not fit\n");
    exit(90);
  }
  wcscpy(buffer, initial);
  return buffer;
}

int run(int argc, wchar_t** argv) {
  if (argc < 2) return 91;
  const std::wstring op = argv[1];
  auto arg = [&](int i) -> const wchar_t* {
    if (i + 2 >= argc) {
      write_raw("operation_runner: missing argument\n");
      exit(92);
    }
    return argv[i + 2];
  };

  if (op == L"system_error") {
    print_system_error("Error, couldn't launch child", static_cast<uint32_t>(number(arg(0))));
    return 0;
  }
  if (op == L"expand_spec_failed") fatal_expand_spec(arg(0));
  if (op == L"open_for_writing_failed") fatal_open_for_writing(arg(0));
  if (op == L"unpack_write_failed") {
    DWORD code = static_cast<DWORD>(number(arg(0)));
    SetLastError(code);
    fatal_unpack_write();
  }
  if (op == L"plain") fatal_plain(narrow(arg(0)).c_str());

  if (op == L"widen_append") {
    unsigned long capacity = number(arg(2));
    wchar_t* buffer = exact_buffer(arg(0), capacity);
    widen_append(buffer, narrow(arg(1)).c_str(), capacity);
    write_raw(utf8(buffer));
    return 0;
  }
  if (op == L"env_get") {
    wchar_t* value = env_get(narrow(arg(0)).c_str());
    write_raw(value ? utf8(value) : std::string("(null)"));
    return 0;
  }
  if (op == L"expand") {
    unsigned long capacity = number(arg(1));
    wchar_t* buffer = exact_buffer(L"", capacity);
    bool expanded = expand_path_spec(buffer, arg(0), capacity);
    write_raw((expanded ? "true " : "false ") + utf8(buffer));
    return 0;
  }
  if (op == L"normalise") {
    unsigned long capacity = number(arg(1));
    wchar_t* buffer = exact_buffer(arg(0), capacity);
    normalise_module_path(buffer, static_cast<uint32_t>(capacity));
    write_raw(utf8(buffer));
    return 0;
  }
  write_raw("operation_runner: unknown operation\n");
  return 93;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) { return run(__argc, __wargv); }
