// A main library for end-to-end tests: reports what it sees as UTF-8 "key=value" lines on
// standard output and returns the exit code it is told.
//   TAVREN_TEST_EXIT    exit code (decimal, or 0x... for hex); default 0
//   TAVREN_TEST_ACTION  "crash" (access violation), "sleep:<ms>", "hold:<path>" (keep the
//                       file open while sleeping TAVREN_TEST_HOLD_MS), "run:<command line>"
//                       (start a process, report its exit code as run_exit=), "window" (show
//                       a visible top-level window, reported as window=<handle>),
//                       "close_splash" (set the event TAVREN_ONEFILE_SPLASH_EVENT names,
//                       reported as splash_closed=1, or 0 without one), "payload_mapping"
//                       (where the pages of the process's executable's .payload section come
//                       from, as payload_mapped=file, copied, none: no such section, or
//                       unknown: the query failed)
//   TAVREN_TEST_WAIT    name of an event that the test sets: after the action the application
//                       reports waiting=1 and does not return before the event is set
//                       (released=1). released=0: no such event, or five minutes passed, so
//                       an application whose test died does not stay for ever. While it
//                       waits, a console control event is reported as ctrl_event=<number>.
//                       With TAVREN_TEST_CTRL_EXIT set it handles Ctrl+C and Ctrl+Break as a
//                       REPL does: it takes the event, goes on (interrupted=1) and ends with
//                       that code of its own accord.
//   TAVREN_TEST_READY   name of an event the application sets once it has reported
//   TAVREN_TEST_GATE    name of an event the application waits for (five minutes at most)
//                       before its action
//   TAVREN_TEST_SPAWN   a command line started before the action and left running (a
//                       grandchild that outlives the application); "{folder}" stands for the
//                       main library's folder. It inherits the handles and an environment in
//                       which each TAVREN_TEST_SPAWN_<X> has become TAVREN_TEST_<X> and the
//                       application's own TAVREN_TEST_<X> are gone. With TAVREN_TEST_SPAWN_READY
//                       the application goes on once the program has set that event (or ended).
//   TAVREN_TEST_TREE    set: reports tree_files=<count> of the files below the main library's
//                       folder, walked when the application runs, and tree_error=<code> for
//                       the first folder it could not list
//   TAVREN_TEST_COPY    "<name>|<destination>": once released from a wait, copies the file
//                       <name> of the application's own folder to <destination>
//   TAVREN_TEST_STARTUP set: reports what the process was started with (GetStartupInfoW) as
//                       startup_flags=<hex>, show_window=, position=<x>,<y>, size=<w>x<h>
//                       and title= (or "title unset")
// "update:<request>" writes <request>, each "|" a line break, to the file
// TAVREN_ONEFILE_UPDATE_REQUEST names (update_requested=1) and sets TAVREN_TEST_LEAKED in its
// own environment, unless an argument is "--updated" (the restarted new version). Every run
// reports the first line of the file TAVREN_ONEFILE_UPDATE_STATUS names as update_status=
// (<none> without one).
// In "run:", {launcher} stands for TAVREN_ONEFILE_EXECUTABLE and {folder} for the main
// library's folder. Built as report_app.exe too (an executable entry), where the main library
// is the executable.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>
// After windows.h, which it needs.
#include <psapi.h>

#include <string>
#include <vector>

static void put(const char* key, const std::wstring& value) {
  int bytes =
      WideCharToMultiByte(CP_UTF8, 0, value.c_str(), static_cast<int>(value.size()), nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, value.c_str(), static_cast<int>(value.size()), utf8.data(), bytes, nullptr, nullptr);
  printf("%s=%s\n", key, utf8.c_str());
}

static std::wstring env(const wchar_t* name, bool* present = nullptr) {
  static wchar_t value[32768];
  DWORD length = GetEnvironmentVariableW(name, value, 32768);
  if (present) *present = length > 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND;
  return std::wstring(value, length < 32768 ? length : 0);
}

static std::wstring expanded(std::wstring line, const std::wstring& folder) {
  for (auto [token, value] : {std::pair<std::wstring, std::wstring>{L"{launcher}", env(L"TAVREN_ONEFILE_EXECUTABLE")},
                              std::pair<std::wstring, std::wstring>{L"{folder}", folder}}) {
    for (size_t at = line.find(token); at != std::wstring::npos; at = line.find(token, at + value.size()))
      line.replace(at, token.size(), value);
  }
  return line;
}

// Starts `line` with the next generation's TAVREN_TEST_ variables (see above); returns the
// process (null if it did not start) and the event it is to set, if any.
static HANDLE spawn(std::wstring line, const std::wstring& folder, HANDLE* ready) {
  for (size_t at; (at = line.find(L"{folder}")) != std::wstring::npos;) line.replace(at, 8, folder);
  const std::wstring prefix = L"TAVREN_TEST_", next = L"TAVREN_TEST_SPAWN_";
  std::vector<std::pair<std::wstring, std::wstring>> own;
  wchar_t* block = GetEnvironmentStringsW();
  for (const wchar_t* at = block; *at; at += wcslen(at) + 1) {
    std::wstring entry = at;
    size_t eq = entry.find(L'=', 1);
    if (eq != std::wstring::npos && entry.compare(0, prefix.size(), prefix) == 0)
      own.push_back({entry.substr(0, eq), entry.substr(eq + 1)});
  }
  FreeEnvironmentStringsW(block);
  for (const auto& [name, value] : own) SetEnvironmentVariableW(name.c_str(), nullptr);
  std::vector<std::wstring> given;
  for (const auto& [name, value] : own) {
    if (name.compare(0, next.size(), next) != 0) continue;
    given.push_back(prefix + name.substr(next.size()));
    SetEnvironmentVariableW(given.back().c_str(), value.c_str());
  }
  std::wstring ready_name = env(L"TAVREN_TEST_READY");
  *ready = ready_name.empty() ? nullptr : OpenEventW(SYNCHRONIZE, FALSE, ready_name.c_str());
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  bool started = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
  for (const auto& name : given) SetEnvironmentVariableW(name.c_str(), nullptr);
  for (const auto& [name, value] : own) SetEnvironmentVariableW(name.c_str(), value.c_str());
  if (!started) return nullptr;
  CloseHandle(process.hThread);
  return process.hProcess;
}

// Set by the handler when the application takes an interrupt; null unless it does.
static HANDLE g_interrupted = nullptr;

static BOOL WINAPI report_control_event(DWORD event) {
  printf("ctrl_event=%lu\n", event);
  fflush(stdout);
  if (g_interrupted && (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT)) {
    SetEvent(g_interrupted);
    return TRUE;
  }
  return FALSE;  // the system's own handling goes on, as if nobody had looked
}

// Returns whether the test released the application; an interrupt it took ends the wait too.
static bool wait_for_release(const std::wstring& name) {
  HANDLE release = OpenEventW(SYNCHRONIZE, FALSE, name.c_str());
  if (!env(L"TAVREN_TEST_CTRL_EXIT").empty()) g_interrupted = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(report_control_event, TRUE);
  put("waiting", L"1");
  fflush(stdout);
  HANDLE waits[2] = {release, g_interrupted};
  DWORD woke = release ? WaitForMultipleObjects(g_interrupted ? 2 : 1, waits, FALSE, 5 * 60 * 1000) : WAIT_FAILED;
  bool released = woke == WAIT_OBJECT_0;
  if (woke == WAIT_OBJECT_0 + 1) put("interrupted", L"1");
  put("released", released ? L"1" : L"0");
  fflush(stdout);
  if (release) CloseHandle(release);
  return released;
}

static bool write_utf8(const std::wstring& path, const std::wstring& text) {
  int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), utf8.data(), bytes, nullptr, nullptr);
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  bool ok = WriteFile(file, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
  CloseHandle(file);
  return ok;
}

static std::wstring update_status() {
  std::wstring path = env(L"TAVREN_ONEFILE_UPDATE_STATUS");
  HANDLE file = path.empty() ? INVALID_HANDLE_VALUE
                             : CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return L"<none>";
  char text[4096];
  DWORD got = 0;
  ReadFile(file, text, sizeof text - 1, &got, nullptr);
  CloseHandle(file);
  std::string line(text, got);
  line = line.substr(0, line.find('\n'));
  wchar_t wide[4096];
  int units = MultiByteToWideChar(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), wide, 4096);
  return std::wstring(wide, units > 0 ? units : 0);
}

static DWORD g_tree_error = 0;

static int count_files_below(const std::wstring& folder) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    if (!g_tree_error) g_tree_error = GetLastError();
    return 0;
  }
  int count = 0;
  do {
    std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    count += (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? count_files_below(folder + L"\\" + name) : 1;
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return count;
}

// See "payload_mapping" above. A page read from a mapping of the file counts as shared; a page
// the loader copied into private memory does not (Wine reads the page's kind from the kernel).
static const wchar_t* payload_mapping() {
  auto* base = reinterpret_cast<const unsigned char*>(GetModuleHandleW(nullptr));
  auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
  const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
  for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
    if (memcmp(section->Name, ".payload", 8) != 0) continue;
    for (DWORD at = 0; at < section->Misc.VirtualSize; at += 4096) {
      const volatile unsigned char* page = base + section->VirtualAddress + at;
      (void)*page;  // resident, so the query sees where it came from
      PSAPI_WORKING_SET_EX_INFORMATION info = {};
      info.VirtualAddress = const_cast<unsigned char*>(page);
      if (!K32QueryWorkingSetEx(GetCurrentProcess(), &info, sizeof info)) return L"unknown";
      if (!info.VirtualAttributes.Valid || !info.VirtualAttributes.Shared) return L"copied";
    }
    return L"file";
  }
  return L"none";
}

extern "C" __declspec(dllexport) int run_code(int argc, wchar_t** argv, const wchar_t* main_library) {
  put("argc", std::to_wstring(argc));
  for (int i = 0; i < argc; ++i) put(("argv" + std::to_string(i)).c_str(), argv[i]);
  put("main_library", main_library);
  wchar_t buffer[4096];
  HMODULE self = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&run_code), &self);
  GetModuleFileNameW(self, buffer, 4096);
  put("module", buffer);
  std::wstring folder = main_library;
  folder.resize(folder.rfind(L'\\'));
  GetCurrentDirectoryW(4096, buffer);
  put("cwd", buffer);
  put("command_line", GetCommandLineW());
  put("pid", std::to_wstring(GetCurrentProcessId()));
  const wchar_t* names[] = {L"TAVREN_ONEFILE_PARENT",    L"TAVREN_ONEFILE_START",     L"TAVREN_ONEFILE_TIME_US",
                            L"TAVREN_ONEFILE_RANDOM",    L"TAVREN_ONEFILE_DIRECTORY", L"TAVREN_ORIGINAL_ARGV0",
                            L"TAVREN_ONEFILE_EXECUTABLE", L"TAVREN_TEST_LEAKED"};
  for (const wchar_t* name : names) {
    bool present = false;
    std::wstring value = env(name, &present);
    std::string key(name, name + wcslen(name));
    if (present)
      put(key.c_str(), value);
    else
      printf("%s unset\n", key.c_str());
  }
  bool startup_asked = false;
  env(L"TAVREN_TEST_STARTUP", &startup_asked);
  if (startup_asked) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    GetStartupInfoW(&startup);
    printf("startup_flags=0x%lx\nshow_window=%u\nposition=%lu,%lu\nsize=%lux%lu\n", startup.dwFlags,
           startup.wShowWindow, startup.dwX, startup.dwY, startup.dwXSize, startup.dwYSize);
    if (startup.lpTitle)
      put("title", startup.lpTitle);
    else
      printf("title unset\n");
  }
  put("update_status", update_status());
  bool tree = false;
  env(L"TAVREN_TEST_TREE", &tree);
  if (tree) {
    std::wstring folder = main_library;
    put("tree_files", std::to_wstring(count_files_below(folder.substr(0, folder.rfind(L'\\')))));
    if (g_tree_error) put("tree_error", std::to_wstring(g_tree_error));
  }
  fflush(stdout);
  std::wstring ready = env(L"TAVREN_TEST_READY");
  if (HANDLE event = ready.empty() ? nullptr : OpenEventW(EVENT_MODIFY_STATE, FALSE, ready.c_str())) {
    SetEvent(event);
    CloseHandle(event);
  }

  std::wstring line = env(L"TAVREN_TEST_SPAWN");
  if (!line.empty()) {
    HANDLE spawned_ready = nullptr;
    HANDLE process = spawn(line, folder, &spawned_ready);
    put("spawned", process ? std::to_wstring(GetProcessId(process)) : L"failed");
    fflush(stdout);
    if (process && spawned_ready) {
      HANDLE either[2] = {spawned_ready, process};
      WaitForMultipleObjects(2, either, FALSE, 5 * 60 * 1000);
    }
    if (spawned_ready) CloseHandle(spawned_ready);
    if (process) CloseHandle(process);
  }

  std::wstring gate_name = env(L"TAVREN_TEST_GATE");
  if (HANDLE gate = gate_name.empty() ? nullptr : OpenEventW(SYNCHRONIZE, FALSE, gate_name.c_str())) {
    WaitForSingleObject(gate, 5 * 60 * 1000);
    CloseHandle(gate);
  }
  std::wstring action = env(L"TAVREN_TEST_ACTION");
  if (action == L"crash") {
    *static_cast<volatile int*>(nullptr) = 1;
  } else if (action.rfind(L"sleep:", 0) == 0) {
    Sleep(static_cast<DWORD>(_wtoi(action.c_str() + 6)));
  } else if (action.rfind(L"hold:", 0) == 0) {
    HANDLE held = CreateFileW(action.c_str() + 5, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    put("held", held == INVALID_HANDLE_VALUE ? L"no" : L"yes");
    fflush(stdout);
    Sleep(static_cast<DWORD>(_wtoi(env(L"TAVREN_TEST_HOLD_MS").c_str())));
  } else if (action == L"window") {
    // Bound here, so every other run of the application loads no windowing library.
    auto create = reinterpret_cast<decltype(&CreateWindowExW)>(
        reinterpret_cast<void*>(GetProcAddress(LoadLibraryW(L"user32.dll"), "CreateWindowExW")));
    HWND window = create(0, L"STATIC", L"report_app", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200, 120, nullptr,
                         nullptr, nullptr, nullptr);
    put("window", std::to_wstring(reinterpret_cast<uintptr_t>(window)));
    fflush(stdout);
  } else if (action == L"close_splash") {
    HANDLE splash = OpenEventW(EVENT_MODIFY_STATE, FALSE, env(L"TAVREN_ONEFILE_SPLASH_EVENT").c_str());
    put("splash_closed", splash && SetEvent(splash) ? L"1" : L"0");
    fflush(stdout);
    if (splash) CloseHandle(splash);
  } else if (action == L"move_folder") {
    // As whoever may delete entries of the folder above would: take the folder away whole.
    DWORD error = MoveFileExW(folder.c_str(), (folder + L"-moved").c_str(), 0) ? 0 : GetLastError();
    put("move_error", std::to_wstring(error));
    fflush(stdout);
  } else if (action == L"payload_mapping") {
    put("payload_mapped", payload_mapping());
    fflush(stdout);
  } else if (action.rfind(L"update:", 0) == 0) {
    bool again = false;
    for (int i = 1; i < argc; ++i) again = again || wcscmp(argv[i], L"--updated") == 0;
    if (!again) {
      std::wstring request = action.substr(7);
      for (auto& unit : request)
        if (unit == L'|') unit = L'\n';
      put("update_requested", write_utf8(env(L"TAVREN_ONEFILE_UPDATE_REQUEST"), request) ? L"1" : L"0");
      SetEnvironmentVariableW(L"TAVREN_TEST_LEAKED", L"1");
      fflush(stdout);
    }
  } else if (action.rfind(L"run:", 0) == 0) {
    std::wstring line = expanded(action.substr(4), folder);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    SetEnvironmentVariableW(L"TAVREN_TEST_ACTION", nullptr);
    if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
      WaitForSingleObject(process.hProcess, INFINITE);
      DWORD code = 0;
      GetExitCodeProcess(process.hProcess, &code);
      put("run_exit", std::to_wstring(code));
    } else {
      put("run_exit", L"failed");
    }
    fflush(stdout);
  }
  bool wait = false;
  std::wstring release = env(L"TAVREN_TEST_WAIT", &wait);
  if (wait && wait_for_release(release)) {
    std::wstring copy = env(L"TAVREN_TEST_COPY");
    size_t bar = copy.find(L'|');
    if (bar != std::wstring::npos)
      put("copied",
          CopyFileW((folder + L"\\" + copy.substr(0, bar)).c_str(), copy.substr(bar + 1).c_str(), FALSE) ? L"1" : L"0");
    fflush(stdout);
  }
  if (g_interrupted && WaitForSingleObject(g_interrupted, 0) == WAIT_OBJECT_0)
    return static_cast<int>(wcstoul(env(L"TAVREN_TEST_CTRL_EXIT").c_str(), nullptr, 0));
  return static_cast<int>(wcstoul(env(L"TAVREN_TEST_EXIT").c_str(), nullptr, 0));
}

#ifdef REPORT_APP_EXECUTABLE
// The executable entry: its own path stands where the library's would.
int wmain(int argc, wchar_t** argv) {
  wchar_t self[4096];
  GetModuleFileNameW(nullptr, self, 4096);
  return run_code(argc, argv, self);
}
#endif
