#include "tests/support/process_capture.h"

#include <stdio.h>
#include <wchar.h>
#include <windows.h>

#include <thread>

namespace {

void drain(HANDLE pipe, std::string* sink) {
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) sink->append(buffer, got);
}

}  // namespace

std::wstring environment_block(const run_options& options) {
  // This process's block with the changes applied; Wine and Windows both take it unsorted.
  std::vector<std::wstring> entries;
  wchar_t* block = GetEnvironmentStringsW();
  for (wchar_t* p = block; *p; p += wcslen(p) + 1) entries.emplace_back(p);
  FreeEnvironmentStringsW(block);
  auto name_of = [](const std::wstring& entry) {
    size_t eq = entry.find(L'=', 1);
    return entry.substr(0, eq);
  };
  auto drop = [&](const std::wstring& name) {
    for (size_t i = 0; i < entries.size();) {
      if (_wcsicmp(name_of(entries[i]).c_str(), name.c_str()) == 0) {
        entries.erase(entries.begin() + static_cast<long>(i));
      } else {
        ++i;
      }
    }
  };
  for (const auto& name : options.remove_env) drop(name);
  for (const auto& [name, value] : options.set_env) {
    drop(name);
    entries.push_back(name + L"=" + value);
  }
  std::wstring result;
  for (const auto& entry : entries) {
    result += entry;
    result.push_back(0);
  }
  result.push_back(0);
  return result;
}

captured_run run_captured(const std::wstring& application, const std::wstring& command_line,
                          const run_options& options) {
  captured_run result;
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE out_read = nullptr, out_write = nullptr, err_read = nullptr, err_write = nullptr;
  CreatePipe(&out_read, &out_write, &inherit, 0);
  CreatePipe(&err_read, &err_write, &inherit, 0);
  SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(err_read, HANDLE_FLAG_INHERIT, 0);
  HANDLE null_in =
      CreateFileW(options.input_file.empty() ? L"NUL" : options.input_file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);

  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  if (!options.no_std_handles) {
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = null_in;
    startup.hStdOutput = out_write;
    startup.hStdError = err_write;
  }
  startup.dwFlags |= options.startup_flags;
  startup.wShowWindow = options.show_window;
  startup.dwX = options.x;
  startup.dwY = options.y;
  startup.dwXSize = options.width;
  startup.dwYSize = options.height;
  std::wstring title = options.title;
  if (!title.empty()) startup.lpTitle = title.data();
  std::wstring env = environment_block(options);
  std::wstring line = command_line;
  PROCESS_INFORMATION process = {};
  BOOL started = create_test_process(
      application.c_str(), line.data(), TRUE, CREATE_UNICODE_ENVIRONMENT, env.data(),
      options.current_directory.empty() ? nullptr : options.current_directory.c_str(), &startup, &process);
  CloseHandle(out_write);
  CloseHandle(err_write);
  CloseHandle(null_in);
  if (!started) {
    result.exit_code = 0xFFFFFFFF;
    result.err = "CreateProcessW failed: " + std::to_string(GetLastError());
    CloseHandle(out_read);
    CloseHandle(err_read);
    return result;
  }
  std::thread out_thread(drain, out_read, &result.out);
  std::thread err_thread(drain, err_read, &result.err);
  if (WaitForSingleObject(process.hProcess, options.timeout_ms) != WAIT_OBJECT_0) {
    result.timed_out = true;
    TerminateProcess(process.hProcess, 0xDEAD);
    WaitForSingleObject(process.hProcess, INFINITE);
  }
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  result.exit_code = code;
  out_thread.join();
  err_thread.join();
  CloseHandle(out_read);
  CloseHandle(err_read);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return result;
}

std::wstring test_binary_directory() {
  wchar_t path[4096];
  DWORD length = GetModuleFileNameW(nullptr, path, 4096);
  std::wstring result(path, length);
  return result.substr(0, result.rfind(L'\\'));
}

std::wstring beside_test_binary(const std::wstring& name) { return test_binary_directory() + L"\\" + name; }

std::wstring quote_argument(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) return argument;
  std::wstring quoted = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    quoted.push_back(c);
    backslashes = 0;
  }
  quoted.append(2 * backslashes, L'\\');
  quoted.push_back(L'"');
  return quoted;
}

BOOL create_test_process(const wchar_t* application, wchar_t* command_line, BOOL inherit_handles, DWORD flags,
                         void* environment, const wchar_t* current_directory, STARTUPINFOW* startup,
                         PROCESS_INFORMATION* process) {
  // CreateProcessW may write into the command line; every try gets it as the caller gave it.
  const std::wstring line = command_line ? command_line : L"";
  for (int attempt = 1;; ++attempt) {
    if (command_line) wcscpy(command_line, line.c_str());
    if (CreateProcessW(application, command_line, nullptr, nullptr, inherit_handles, flags, environment,
                       current_directory, startup, process))
      return TRUE;
    const DWORD error = GetLastError();
    if (error != ERROR_INTERNAL_ERROR || attempt == 3) {
      SetLastError(error);
      return FALSE;
    }
    fprintf(stderr, "wine-start-failure: CreateProcessW error 1359 for %ls, starting it again\n",
            application ? application : line.c_str());
  }
}
