#include "tests/support/launcher_e2e_support.h"

#include <gtest/gtest.h>

#include <sddl.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <atomic>

scratch_folder::scratch_folder() {
  static std::atomic<unsigned> counter{0};
  wchar_t temp[MAX_PATH + 1];
  DWORD length = GetTempPathW(MAX_PATH + 1, temp);
  std::wstring base(temp, length);
  if (!base.empty() && base.back() == L'\\') base.pop_back();
  for (;;) {
    path_ = base + L"\\tavren_e2e_" + std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(GetTickCount()) +
            L"_" + std::to_wstring(counter++);
    if (CreateDirectoryW(path_.c_str(), nullptr)) break;
  }
}

scratch_folder::~scratch_folder() { remove_tree(path_); }

std::string narrow(const std::wstring& text) {
  int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string result(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), bytes, nullptr, nullptr);
  return result;
}

std::wstring widen(const std::string& text) {
  int units = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring result(static_cast<size_t>(units), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), units);
  return result;
}

run_options launch_options(const std::wstring& temp) {
  run_options options;
  options.set_env = {{L"TMP", temp}, {L"TEMP", temp}};
  // A cached launcher installs below the scratch folder too, never in the prefix's own cache.
  if (e2e_cached_executable_entry()) options.set_env.push_back({L"LOCALAPPDATA", temp});
  options.remove_env = {L"TAVREN_ONEFILE_PARENT", L"TAVREN_ONEFILE_START",     L"TAVREN_ONEFILE_TIME_US",
                        L"TAVREN_ONEFILE_RANDOM", L"TAVREN_ONEFILE_DIRECTORY", L"TAVREN_ORIGINAL_ARGV0",
                        L"TAVREN_TEST_EXIT",      L"TAVREN_TEST_ACTION",       L"TAVREN_TEST_HOLD_MS",
                        L"TAVREN_TEST_WAIT",      L"TAVREN_TEST_SPAWN"};
  return options;
}

std::vector<report> parse_reports(const std::string& out) {
  std::vector<report> reports;
  size_t start = 0;
  while (start < out.size()) {
    size_t end = out.find('\n', start);
    if (end == std::string::npos) end = out.size();
    std::string line = out.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t eq = line.find('=');
    std::string key, value;
    if (eq != std::string::npos) {
      key = line.substr(0, eq);
      value = line.substr(eq + 1);
    } else if (line.size() > 6 && line.compare(line.size() - 6, 6, " unset") == 0) {
      key = line.substr(0, line.size() - 6);
      value = unset_value;
    } else {
      continue;
    }
    if (key == "argc" || reports.empty()) reports.emplace_back();
    reports.back()[key] = value;
  }
  return reports;
}

std::string value_of(const report& r, const std::string& key) {
  auto found = r.find(key);
  return found == r.end() ? "<missing>" : found->second;
}

target_name parse_target_name(const std::wstring& name) {
  target_name parts;
  const std::wstring prefix = L"onefile_";
  if (name.compare(0, prefix.size(), prefix) != 0) return parts;
  std::wstring rest = name.substr(prefix.size());
  size_t first = rest.find(L'_');
  if (first == std::wstring::npos || first == 0) return parts;
  parts.pid = rest.substr(0, first);
  // The random text may hold '_' itself, so the time is the next 6 units, not a split.
  if (rest.size() != first + 1 + 6 + 1 + 11) return parts;
  parts.time_us = rest.substr(first + 1, 6);
  if (rest[first + 7] != L'_') return parts;
  parts.random = rest.substr(first + 8);
  for (wchar_t c : parts.pid)
    if (c < L'0' || c > L'9') return parts;
  for (wchar_t c : parts.time_us)
    if (c < L'0' || c > L'9') return parts;
  for (wchar_t c : parts.random) {
    bool url_safe =
        (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9') || c == L'-' || c == L'_';
    if (!url_safe) return parts;
  }
  parts.ok = true;
  return parts;
}

started_process::started_process(const std::wstring& application, const std::wstring& command_line,
                                 const run_options& options) {
  static std::atomic<unsigned> counter{0};
  wchar_t temp[MAX_PATH + 1];
  DWORD length = GetTempPathW(MAX_PATH + 1, temp);
  output_path_ = std::wstring(temp, length) + L"tavren_e2e_out_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                 std::to_wstring(counter++) + L".txt";
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE output =
      CreateFileW(output_path_.c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit, CREATE_ALWAYS, 0, nullptr);
  HANDLE input =
      CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = output;
  startup.hStdError = output;
  std::wstring env = environment_block(options);
  std::wstring line = command_line;
  PROCESS_INFORMATION info = {};
  if (create_test_process(application.c_str(), line.data(), TRUE, CREATE_UNICODE_ENVIRONMENT, env.data(),
                          options.current_directory.empty() ? nullptr : options.current_directory.c_str(), &startup,
                          &info)) {
    CloseHandle(info.hThread);
    process_ = info.hProcess;
    pid_ = info.dwProcessId;
  }
  CloseHandle(output);
  CloseHandle(input);
}

started_process::~started_process() {
  if (process_) {
    TerminateProcess(process_, 0xDEAD);
    WaitForSingleObject(process_, 5000);
    CloseHandle(process_);
  }
  DeleteFileW(output_path_.c_str());
}

captured_run started_process::finish(DWORD timeout_ms) {
  captured_run result;
  if (!process_) {
    result.exit_code = 0xFFFFFFFF;
    return result;
  }
  if (WaitForSingleObject(process_, timeout_ms) != WAIT_OBJECT_0) {
    result.timed_out = true;
    TerminateProcess(process_, 0xDEAD);
    WaitForSingleObject(process_, INFINITE);
  }
  DWORD code = 0;
  GetExitCodeProcess(process_, &code);
  result.exit_code = code;
  CloseHandle(process_);
  process_ = nullptr;
  HANDLE file = CreateFileW(output_path_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) result.out.append(buffer, got);
    CloseHandle(file);
  }
  return result;
}

std::wstring wait_for_target(const std::wstring& folder, DWORD pid, const std::wstring& file, DWORD timeout_ms) {
  std::wstring prefix = L"onefile_" + std::to_wstring(pid) + L"_";
  DWORD start = GetTickCount();
  do {
    for (const auto& name : folder_entries(folder, prefix)) {
      if (path_exists(folder + L"\\" + name + L"\\" + file)) return name;
    }
    Sleep(20);
  } while (GetTickCount() - start < timeout_ms);
  return L"";
}

release_event::release_event() {
  static std::atomic<unsigned> counter{0};
  name_ = L"tavren_release_" + std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(counter++);
  event_ = CreateEventW(nullptr, TRUE, FALSE, name_.c_str());
}

release_event::~release_event() {
  if (!event_) return;
  SetEvent(event_);
  CloseHandle(event_);
}

void release_event::set() const { SetEvent(event_); }

// When a process was created, or 0 when that is not known: it ended, or it is not ours, or it
// is still starting (Wine then answers with a time still to come).
static ULONGLONG created_at(DWORD pid) {
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (!process) return 0;
  FILETIME created, exited, kernel, user, now;
  ULONGLONG at = GetProcessTimes(process, &created, &exited, &kernel, &user)
                     ? (ULONGLONG{created.dwHighDateTime} << 32 | created.dwLowDateTime)
                     : 0;
  CloseHandle(process);
  GetSystemTimeAsFileTime(&now);
  return at <= (ULONGLONG{now.dwHighDateTime} << 32 | now.dwLowDateTime) ? at : 0;
}

DWORD child_of(DWORD parent, DWORD timeout_ms, const wchar_t* image) {
  // A process keeps its parent's id after the parent ends, and Wine hands ids out again soon:
  // an orphan of an earlier test can name a new process as its parent. A process known to be
  // older than the parent is not its child.
  DWORD start = GetTickCount();
  do {
    const ULONGLONG parent_born = created_at(parent);
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    DWORD found = 0;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && !found; more = Process32NextW(snapshot, &entry)) {
      if (entry.th32ParentProcessID != parent || entry.th32ProcessID == parent ||
          (image && _wcsicmp(entry.szExeFile, image) != 0))
        continue;
      const ULONGLONG born = parent_born ? created_at(entry.th32ProcessID) : 0;
      if (!born || born >= parent_born) found = entry.th32ProcessID;
    }
    CloseHandle(snapshot);
    if (found) return found;
    Sleep(20);
  } while (GetTickCount() - start < timeout_ms);
  return 0;
}

bool wait_for_module(DWORD pid, const wchar_t* module, DWORD timeout_ms) {
  DWORD start = GetTickCount();
  do {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, pid);
    if (snapshot != INVALID_HANDLE_VALUE) {
      MODULEENTRY32W entry = {};
      entry.dwSize = sizeof entry;
      for (BOOL more = Module32FirstW(snapshot, &entry); more; more = Module32NextW(snapshot, &entry)) {
        if (_wcsicmp(entry.szModule, module) == 0) {
          CloseHandle(snapshot);
          return true;
        }
      }
      CloseHandle(snapshot);
    }
    Sleep(20);
  } while (GetTickCount() - start < timeout_ms);
  return false;
}

std::wstring e2e_entry_run() {
  wchar_t entry[32] = {};
  DWORD length = GetEnvironmentVariableW(L"TAVREN_TEST_ENTRY", entry, 32);
  return length < 32 ? entry : L"";
}

bool e2e_executable_entry() { return e2e_entry_run() == L"executable" || e2e_cached_executable_entry(); }
bool e2e_cached_executable_entry() { return e2e_entry_run() == L"cached_executable"; }

std::wstring e2e_launcher_name(const wchar_t* name) {
  if (e2e_cached_executable_entry()) return L"cached_exe_" + std::wstring(name);
  if (e2e_executable_entry()) return L"exe_" + std::wstring(name);
  if (e2e_entry_run() == L"frames") return L"frames_" + std::wstring(name);
  wchar_t kind[2] = {};
  bool console = GetEnvironmentVariableW(L"TAVREN_TEST_CONSOLE", kind, 2) == 1 && kind[0] == L'1';
  return console ? L"console_" + std::wstring(name) : name;
}

std::wstring own_folder_name() {
  HANDLE token = nullptr;
  OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
  alignas(8) unsigned char info[256];
  DWORD size = 0;
  bool read = GetTokenInformation(token, TokenUser, info, sizeof info, &size);
  CloseHandle(token);
  wchar_t* text = nullptr;
  if (read) ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(info)->User.Sid, &text);
  std::wstring name = text ? text : L"<no SID>";
  LocalFree(text);
  return name;
}

bool debug_until_exit(const std::wstring& exe, std::wstring line, std::wstring environment,
                      const std::function<bool(DWORD event_code)>& kill_here) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;  // none: what it prints is not the test's
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, FALSE,
                      DEBUG_ONLY_THIS_PROCESS | CREATE_UNICODE_ENVIRONMENT, environment.data(), nullptr, &startup,
                      &process)) {
    ADD_FAILURE() << "cannot start " << narrow(exe) << " to debug it: error " << GetLastError();
    return false;
  }
  bool killed = false;
  for (bool running = true; running;) {
    DEBUG_EVENT event;
    if (!WaitForDebugEvent(&event, INFINITE)) {
      ADD_FAILURE() << "WaitForDebugEvent: error " << GetLastError();
      TerminateProcess(process.hProcess, 1);
      break;
    }
    DWORD handling = DBG_CONTINUE;
    switch (event.dwDebugEventCode) {
      case CREATE_PROCESS_DEBUG_EVENT: CloseHandle(event.u.CreateProcessInfo.hFile); break;
      case LOAD_DLL_DEBUG_EVENT: CloseHandle(event.u.LoadDll.hFile); break;
      case EXIT_PROCESS_DEBUG_EVENT: running = false; break;
      case EXCEPTION_DEBUG_EVENT:
        if (event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT)
          handling = DBG_EXCEPTION_NOT_HANDLED;
        break;
      case CREATE_THREAD_DEBUG_EVENT:
      case OUTPUT_DEBUG_STRING_EVENT:
        if (!killed && kill_here(event.dwDebugEventCode)) killed = TerminateProcess(process.hProcess, 1);
        break;
    }
    ContinueDebugEvent(event.dwProcessId, event.dwThreadId, handling);
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return killed;
}
