// Support for end-to-end launcher tests: scratch folders that stand in for the user's
// temporary folder, launches that report their process id, and the report_app lines.
#pragma once

#include <stdint.h>
#include <windows.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tests/support/process_capture.h"
#include "tests/support/test_files.h"

/// A fresh, empty folder under the test's own temporary folder, removed with everything in
/// it when the object goes out of scope.
class scratch_folder {
 public:
  scratch_folder();
  ~scratch_folder();
  scratch_folder(const scratch_folder&) = delete;
  scratch_folder& operator=(const scratch_folder&) = delete;
  const std::wstring& path() const { return path_; }
  std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

 private:
  std::wstring path_;
};

std::string narrow(const std::wstring& text);  ///< UTF-8
std::wstring widen(const std::string& text);   ///< from UTF-8

/// Options that point TMP and TEMP at `temp` and clear what the test's own environment could
/// leak into a launcher: the TAVREN variables and the app's instructions.
run_options launch_options(const std::wstring& temp);

/// One report_app run: its key=value lines. "NAME unset" lines give the value unset_value.
using report = std::map<std::string, std::string>;
inline const std::string unset_value = "<unset>";
/// Splits captured output into reports, one per "argc=" line (nested runs print several).
std::vector<report> parse_reports(const std::string& out);
/// The value for `key`, or "<missing>" when the report lacks it.
std::string value_of(const report& r, const std::string& key);

/// The parts of a target folder name onefile_<pid>_<6 digits>_<11 of [A-Za-z0-9_-]>;
/// ok is false when the name does not have that form.
struct target_name {
  bool ok = false;
  std::wstring pid, time_us, random;
};
target_name parse_target_name(const std::wstring& name);

/// A launcher started without waiting: its id, and its standard output and error gathered
/// in a file until finish().
class started_process {
 public:
  started_process(const std::wstring& application, const std::wstring& command_line, const run_options& options);
  ~started_process();
  started_process(const started_process&) = delete;
  started_process& operator=(const started_process&) = delete;
  bool started() const { return process_ != nullptr; }
  DWORD pid() const { return pid_; }
  HANDLE handle() const { return process_; }
  /// Waits up to `timeout_ms` (then terminates it and reports timed_out) and returns the
  /// exit code and everything the process and its descendants wrote (stdout and stderr).
  captured_run finish(DWORD timeout_ms = INFINITE);

 private:
  HANDLE process_ = nullptr;
  DWORD pid_ = 0;
  std::wstring output_path_;
};

/// Polls until `folder` holds an entry named onefile_<pid>_... that contains `file`; returns
/// that entry's name, or an empty string after `timeout_ms`.
std::wstring wait_for_target(const std::wstring& folder, DWORD pid, const std::wstring& file, DWORD timeout_ms);

/// The full path of a test program in the test's own folder.
inline std::wstring test_program(const wchar_t* name) { return beside_test_binary(name); }

/// The name of this user's own folder below a shared unpack folder: the user's SID as text.
std::wstring own_folder_name();

/// True in a suite's executable-entry run (TAVREN_TEST_ENTRY=executable or cached_executable):
/// the launchers carry report_app.exe, a console program, where the others carry report_app.dll.
bool e2e_executable_entry();
/// True in the cached executable-entry run (TAVREN_TEST_ENTRY=cached_executable): the
/// launchers are cached ones (cached_exe_<name>) that install below the scratch folder.
bool e2e_cached_executable_entry();
/// The report application's file name in the launchers this run tests.
inline std::wstring e2e_report_main() { return e2e_executable_entry() ? L"report_app.exe" : L"report_app.dll"; }

/// The packed launcher `name` (like L"e2e_report_launcher.exe") of the kind this run tests:
/// the windowed one, with TAVREN_TEST_CONSOLE=1 the console one built from the same blob, and
/// with TAVREN_TEST_ENTRY=executable the one whose main file is report_app.exe (exe_<name>),
/// with TAVREN_TEST_ENTRY=cached_executable its cached build (cached_exe_<name>), and with
/// TAVREN_TEST_ENTRY=frames the one whose payload is cut between entries (frames_<name>).
std::wstring e2e_launcher_name(const wchar_t* name);
inline std::wstring e2e_launcher(const wchar_t* name) { return test_program(e2e_launcher_name(name).c_str()); }

/// A named event that report_app waits on (TAVREN_TEST_WAIT) before it returns, so the test,
/// not a clock, decides when the application ends. Set when the object goes: no application
/// outlives its test.
class release_event {
 public:
  release_event();
  ~release_event();
  release_event(const release_event&) = delete;
  release_event& operator=(const release_event&) = delete;
  /// The variable that hands the event to report_app.
  std::pair<std::wstring, std::wstring> variable() const { return {L"TAVREN_TEST_WAIT", name_}; }
  const std::wstring& name() const { return name_; }
  HANDLE handle() const { return event_; }
  void set() const;

 private:
  std::wstring name_;
  HANDLE event_ = nullptr;
};

/// The first process whose recorded parent is `parent`, created after it (and, with `image`,
/// that runs a file of that name), or 0 after `timeout_ms`. A process that draws when no
/// desktop process runs gets Wine's explorer.exe as a child of its own: name the image where
/// that can happen.
DWORD child_of(DWORD parent, DWORD timeout_ms, const wchar_t* image = nullptr);

/// True once process `pid` has loaded a module named `module` (for a launcher child: it runs
/// the application); false after `timeout_ms`.
bool wait_for_module(DWORD pid, const wchar_t* module, DWORD timeout_ms);

/// Starts `exe` with `line` and the environment block `environment` (and no standard handles)
/// as this process's debuggee, and serves its debug events until it exits. Each thread start
/// and each debug string, met while every thread of it is stopped, is offered to `kill_here`
/// with its event code; the first that answers true ends the process there. True when it was
/// ended so; false (and a test failure) when it could not be started.
bool debug_until_exit(const std::wstring& exe, std::wstring line, std::wstring environment,
                      const std::function<bool(DWORD event_code)>& kill_here);
