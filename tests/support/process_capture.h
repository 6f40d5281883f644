// Test support: run a Windows program as a separate process and capture what it does.
#pragma once

#include <stdint.h>
#include <windows.h>

#include <string>
#include <vector>

struct captured_run {
  uint32_t exit_code = 0;  ///< the full 32-bit code from GetExitCodeProcess
  std::string out;         ///< every byte written to standard output
  std::string err;         ///< every byte written to standard error
  bool timed_out = false;
};

struct run_options {
  /// Variables to set (name, value) or remove (name, nullopt-like empty marker) in the child.
  std::vector<std::pair<std::wstring, std::wstring>> set_env;
  std::vector<std::wstring> remove_env;
  std::wstring current_directory;  ///< empty: the test's own
  uint32_t timeout_ms = INFINITE;  // a hung test is ended by CTest's own bound
  bool no_std_handles = false;  ///< start the child without standard handles
  std::wstring input_file;      ///< standard input read from this file; empty: NUL
  /// What a shortcut would give: flags added to the startup information's, with the fields
  /// they stand for.
  DWORD startup_flags = 0;
  WORD show_window = 0;
  DWORD x = 0, y = 0, width = 0, height = 0;
  std::wstring title;  ///< empty: none given
};

/// This process's environment block with the options' changes, for CreateProcessW with
/// CREATE_UNICODE_ENVIRONMENT.
std::wstring environment_block(const run_options& options);

/// Starts `application` with the complete command line `command_line` (argv[0] included),
/// collects its standard output and error through pipes, and waits for it to end.
captured_run run_captured(const std::wstring& application, const std::wstring& command_line,
                          const run_options& options = {});

/// CreateProcessW for a test's own programs. Under load Wine now and then cannot start a
/// process at all (error 1359: the new process died before it reported its start, so none of
/// its code ran); such a start is tried again, up to three times in all, each failed try noted
/// on the test's standard error ("wine-start-failure: ..."). Any other failure, or a third
/// 1359, is returned as CreateProcessW returned it, last error included.
BOOL create_test_process(const wchar_t* application, wchar_t* command_line, BOOL inherit_handles, DWORD flags,
                         void* environment, const wchar_t* current_directory, STARTUPINFOW* startup,
                         PROCESS_INFORMATION* process);

/// The directory that holds the running test executable, without a trailing backslash.
std::wstring test_binary_directory();

/// `path` with the test binary directory in front.
std::wstring beside_test_binary(const std::wstring& name);

/// Quotes one argument the way the system's splitter reads it back.
std::wstring quote_argument(const std::wstring& argument);
