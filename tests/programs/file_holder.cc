// Keeps a file of a running launcher's target folder open after the application has ended,
// the way a background process that the application started would.
//   file_holder spawn <relative path> <release>  starts a detached holder and returns 0 once
//                                                it holds <target folder>\<relative path>, 1 if not
//   file_holder hold <full path> <release> <ready event name>
//   file_holder check <release> <relative path>...  waits for <release>, then returns how
//                                                many of the files, relative to its own
//                                                folder, it cannot read (a helper that the
//                                                application started from its folder)
//   file_holder orphan <launcher> <output file>   names itself in TAVREN_ONEFILE_PARENT, starts
//                                                <launcher> suspended with its output going
//                                                to <output file>, and returns the launcher's
//                                                process id (0 if it did not start): a parent
//                                                that has ended before its child decides its role
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

static int check(int count, wchar_t** relative, const wchar_t* release_name) {
  HANDLE release = OpenEventW(SYNCHRONIZE, FALSE, release_name);
  if (!release) return -1;
  WaitForSingleObject(release, 5 * 60 * 1000);
  CloseHandle(release);
  wchar_t self[4096];
  GetModuleFileNameW(nullptr, self, 4096);
  std::wstring folder = self;
  folder.resize(folder.rfind(L'\\') + 1);
  int missing = 0;
  for (int i = 0; i < count; ++i) {
    HANDLE file = CreateFileW((folder + relative[i]).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    char byte = 0;
    DWORD got = 0;
    if (file == INVALID_HANDLE_VALUE || !ReadFile(file, &byte, 1, &got, nullptr) || got != 1) ++missing;
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  }
  return missing;
}

static int orphan(const wchar_t* launcher, const wchar_t* output_path) {
  SetEnvironmentVariableW(L"TAVREN_ONEFILE_PARENT", std::to_wstring(GetCurrentProcessId()).c_str());
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE output = CreateFileW(output_path, FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                              CREATE_ALWAYS, 0, nullptr);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = output;
  startup.hStdError = output;
  std::wstring line = L"launcher";
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(launcher, line.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr, nullptr, &startup,
                      &process))
    return 0;
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(process.dwProcessId);
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  int argc = __argc;
  wchar_t** argv = __wargv;
  if (argc == 4 && wcscmp(argv[1], L"spawn") == 0) return spawn(argv[2], argv[3]);
  if (argc == 5 && wcscmp(argv[1], L"hold") == 0) return hold(argv[2], argv[3], argv[4]);
  if (argc >= 3 && wcscmp(argv[1], L"check") == 0) return check(argc - 3, argv + 3, argv[2]);
  if (argc == 4 && wcscmp(argv[1], L"orphan") == 0) return orphan(argv[2], argv[3]);
  return 2;
}
