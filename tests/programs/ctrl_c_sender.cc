// Sends a launcher a real Ctrl+C: owns a console of its own, starts the launcher on it in
// its own process group, waits until the application waits (report_app with TAVREN_TEST_WAIT,
// which reports every console event it gets), raises the event for the whole console and
// reports what became of the launcher as key=value lines. application_saw_event tells a hung
// launcher (1) from an event that never reached the application (0); sender_saw_event tells
// whether the console got it at all. launcher_on_console tells whether the launcher is attached
// to the console at all: a windowed program is not, as Windows starts it; then nothing is sent.
//   ctrl_c_sender <launcher> <temp folder the launcher unpacks into> <output file>
// Exit code 0 when it could report; 10 without a console; 11 when the launcher did not start.
#include <stdio.h>
#include <windows.h>

#include <string>

static volatile LONG g_saw_ctrl_c = 0;

static BOOL WINAPI ignore_event(DWORD event) {
  if (event == CTRL_C_EVENT) InterlockedExchange(&g_saw_ctrl_c, 1);
  return TRUE;
}

static std::string file_text(const wchar_t* path) {
  std::string text;
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return text;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
  CloseHandle(file);
  return text;
}

static bool folder_has_target(const std::wstring& folder, DWORD pid) {
  WIN32_FIND_DATAW found;
  std::wstring pattern = folder + L"\\onefile_" + std::to_wstring(pid) + L"_*";
  HANDLE search = FindFirstFileW(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  return true;
}

extern "C" int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  if (__argc < 4) return 12;
  const wchar_t* launcher = __wargv[1];
  std::wstring folder = __wargv[2];
  const wchar_t* output_path = __wargv[3];

  FreeConsole();
  if (!AllocConsole()) return 10;
  // The sender itself stays; only the launcher and its application are to get the event.
  SetConsoleCtrlHandler(ignore_event, TRUE);

  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE output = CreateFileW(output_path, FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                              CREATE_ALWAYS, 0, nullptr);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = output;
  startup.hStdError = output;
  std::wstring line = L"launcher";
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(launcher, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process))
    return 11;
  CloseHandle(output);

  // Running means: the application waits, its console event handler in place.
  DWORD start = GetTickCount();
  bool running = false;
  for (;;) {
    if (file_text(output_path).find("waiting=1") != std::string::npos) {
      running = true;
      break;
    }
    if (WaitForSingleObject(process.hProcess, 20) == WAIT_OBJECT_0) break;
  }
  DWORD ready_ms = GetTickCount() - start;
  DWORD attached[64];
  DWORD attached_count = GetConsoleProcessList(attached, 64);
  bool on_console = false;
  for (DWORD i = 0; i < attached_count && i < 64; ++i) on_console = on_console || attached[i] == process.dwProcessId;
  BOOL sent = running && on_console && GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
  DWORD sent_at = GetTickCount();
  // A launcher that hangs is ended by the test's own bound, in CTest.
  bool ended = WaitForSingleObject(process.hProcess, sent ? INFINITE : 0) == WAIT_OBJECT_0;
  DWORD elapsed = GetTickCount() - sent_at;
  if (!ended) {
    TerminateProcess(process.hProcess, 0xDEAD);
    WaitForSingleObject(process.hProcess, INFINITE);
  }
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  // Give a clean-up on another thread no chance to be missed: the folder test comes last.
  bool saw_event = file_text(output_path).find("ctrl_event=0") != std::string::npos;
  printf(
      "running=%d\nsent=%d\nended=%d\nexit=0x%lX\nelapsed_ms=%lu\nfolder_left=%d\napplication_saw_event=%d\nready_ms=%"
      "lu\nsender_saw_event=%d\nlauncher_on_console=%d\n",
      running ? 1 : 0, sent ? 1 : 0, ended ? 1 : 0, code, elapsed,
      folder_has_target(folder, process.dwProcessId) ? 1 : 0, saw_event ? 1 : 0, ready_ms,
      static_cast<int>(g_saw_ctrl_c), on_console ? 1 : 0);
  fflush(stdout);
  return 0;
}
