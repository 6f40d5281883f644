// Launchers beside a stand-in for a real-time virus scanner (tests/programs/scanner.cc), which
// opens every new file and folder below the user's folders as soon as it can and holds it for a
// while, sharing no delete access: the application runs, the run's folder still goes, and a
// cached install is placed once and then used.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "tests/support/launcher_e2e_support.h"

namespace {

// How long the scanner holds each entry: longer than a start of report_app takes here, so the
// clean-up and the cached install's rename meet it, and shorter than the launcher's backoff.
constexpr DWORD scan_hold_ms = 1000;

// The scanner watching `folder` and everything below it from construction until stop().
class scanner_watch {
 public:
  explicit scanner_watch(const std::wstring& folder)
      : ready_name_(L"tavren_scanner_ready_" + std::to_wstring(GetCurrentProcessId())),
        ready_(CreateEventW(nullptr, TRUE, FALSE, ready_name_.c_str())),
        process_(test_program(L"scanner.exe"),
                 L"scanner " + quote_argument(folder) + L" " + std::to_wstring(scan_hold_ms) + L" " + ready_name_ +
                     L" " + stop_.name(),
                 launch_options(folder)) {
    HANDLE either[2] = {ready_, process_.handle()};
    watching_ = process_.started() && WaitForMultipleObjects(2, either, FALSE, INFINITE) == WAIT_OBJECT_0;
  }
  ~scanner_watch() { CloseHandle(ready_); }
  bool watching() const { return watching_; }
  /// Ends the scanner; returns how many entries it held.
  int stop() {
    stop_.set();
    captured_run run = process_.finish();
    size_t at = run.out.find("held=");
    return at == std::string::npos ? -1 : std::stoi(run.out.substr(at + 5));
  }

 private:
  release_event stop_;
  std::wstring ready_name_;
  HANDLE ready_;
  started_process process_;
  bool watching_ = false;
};

TEST(Scanner, TheApplicationRunsAndTheRunFolderGoesEveryTime) {
  scratch_folder temp;
  scanner_watch scanner(temp.path());
  ASSERT_TRUE(scanner.watching());
  run_options options = launch_options(temp.path());
  options.set_env.push_back({L"TAVREN_TEST_EXIT", L"5"});
  for (int run_index = 0; run_index < 3; ++run_index) {
    SCOPED_TRACE(run_index);
    captured_run run = run_captured(e2e_launcher(L"e2e_report_launcher.exe"), L"launcher", options);
    EXPECT_EQ(run.exit_code, 5u) << run.err;
    EXPECT_EQ(parse_reports(run.out).size(), 1u) << run.out;
    EXPECT_TRUE(folder_entries(temp.path()).empty()) << "the folder stayed after the scanner let go";
  }
  EXPECT_GT(scanner.stop(), 0) << "the scanner held nothing";
}

TEST(Scanner, ACachedInstallIsPlacedOnceAndEveryStartRunsFromIt) {
  scratch_folder root;
  scanner_watch scanner(root.path());
  ASSERT_TRUE(scanner.watching());
  // Made after the scanner watches: Wine's watch of a tree does not reach into folders that
  // were there before it began.
  const std::wstring temp = root / L"temp", local = root / L"local";
  ASSERT_TRUE(CreateDirectoryW(temp.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW(local.c_str(), nullptr));
  run_options options = launch_options(temp);
  options.set_env.push_back({L"LOCALAPPDATA", local});
  const std::string cache = narrow(local + L"\\Tavren Test\\Report\\1.2.3.4-");
  std::string installed_at;
  FILETIME written[2] = {};
  for (FILETIME& time : written) {
    captured_run run = run_captured(test_program(L"cached_report_launcher.exe"), L"cached", options);
    EXPECT_EQ(run.exit_code, 0u) << run.err;
    auto reports = parse_reports(run.out);
    ASSERT_EQ(reports.size(), 1u) << run.out << run.err;
    std::string main = value_of(reports[0], "main_library");
    EXPECT_EQ(main.rfind(cache, 0), 0u) << "not run from the cache folder: " << main;
    if (installed_at.empty()) installed_at = main;
    EXPECT_EQ(main, installed_at);
    HANDLE file = CreateFileW(widen(main).c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    GetFileTime(file, nullptr, nullptr, &time);
    CloseHandle(file);
  }
  EXPECT_EQ(CompareFileTime(&written[0], &written[1]), 0) << "the second start installed again";
  EXPECT_GT(scanner.stop(), 0) << "the scanner held nothing";
}

}  // namespace
