// Keeps a file of a running launcher's target folder open after the application has ended,
// the way a background process that the application started would.
//   file_holder spawn <relative path> <release>  starts a detached holder and returns 0 once
//                                                it holds <target folder>\<relative path>, 1 if not
//   file_holder hold <full path> <release> <ready event name>
// The holder lets go when the test sets the named event <release> (or after five minutes, so
// a holder whose test died does not stay for ever).
// The target folder is rebuilt from the identity values that the launcher passes down, so
// the holder needs no help from the application.
#include <windows.h>

#include <string>

static std::wstring variable(const wchar_t* name) {
  static wchar_t value[32768];
  DWORD length = GetEnvironmentVariableW(name, value, 32768);
  return length < 32768 ? std::wstring(value, length) : std::wstring();
}

static int hold(const wchar_t* path, const wchar_t* release_name, const wchar_t* event_name) {
  HANDLE release = OpenEventW(SYNCHRONIZE, FALSE, release_name);
  if (!release) return 1;
  // No sharing at all: nobody may delete, rename or even read it while this runs.
  HANDLE file = CreateFileW(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, event_name);
  if (ready) SetEvent(ready);
  WaitForSingleObject(release, 5 * 60 * 1000);
  CloseHandle(file);
  CloseHandle(release);
  return 0;
}

static int spawn(const wchar_t* relative, const wchar_t* release) {
  std::wstring temp = variable(L"TMP");
  if (!temp.empty() && temp.back() == L'\\') temp.pop_back();
  std::wstring path = temp + L"\\onefile_" + variable(L"TAVREN_ONEFILE_PARENT") + L"_" +
                      variable(L"TAVREN_ONEFILE_TIME_US") + L"_" + variable(L"TAVREN_ONEFILE_RANDOM") + L"\\" +
                      relative;
  std::wstring event_name = L"tavren_file_holder_" + std::to_wstring(GetCurrentProcessId());
  HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, event_name.c_str());
  wchar_t self[4096];
  GetModuleFileNameW(nullptr, self, 4096);
  std::wstring line = L"file_holder hold \"" + path + L"\" " + release + L" " + event_name;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  // Nothing inherited: the holder must not keep the caller's pipes open.
  if (!CreateProcessW(self, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) return 1;
  HANDLE waits[2] = {ready, process.hProcess};
  DWORD woke = WaitForMultipleObjects(2, waits, FALSE, 10000);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return woke == WAIT_OBJECT_0 ? 0 : 1;
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  int argc = __argc;
  wchar_t** argv = __wargv;
  if (argc == 4 && wcscmp(argv[1], L"spawn") == 0) return spawn(argv[2], argv[3]);
  if (argc == 5 && wcscmp(argv[1], L"hold") == 0) return hold(argv[2], argv[3], argv[4]);
  return 2;
}
