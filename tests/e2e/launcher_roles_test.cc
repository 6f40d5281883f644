// Which role a launcher takes: child only for a running process of the very same
// executable named in TAVREN_ONEFILE_PARENT, parent for anything else.
#include <gtest/gtest.h>
#include <windows.h>

#include <functional>
#include <memory>
#include <thread>

#include "tests/support/launcher_e2e_support.h"

namespace {

std::wstring launcher() { return test_program(L"e2e_report_launcher.exe"); }

// A launcher whose application stays alive while the test looks at it: `action` first, then,
// if `waits`, until release is set. ready() returns once its payload is unpacked, with the
// target folder's name.
struct running_parent {
  scratch_folder temp;
  release_event release;
  run_options options;
  std::unique_ptr<started_process> process;
  std::wstring folder;

  running_parent(const std::wstring& action, bool waits) {
    options = launch_options(temp.path());
    if (!action.empty()) options.set_env.push_back({L"TAVREN_TEST_ACTION", action});
    if (waits) options.set_env.push_back(release.variable());
    process = std::make_unique<started_process>(launcher(), L"parent", options);
  }
  bool ready() {
    if (!process->started()) return false;
    folder = wait_for_target(temp.path(), process->pid(), L"data\\readme.txt", 20000);
    return !folder.empty();
  }
};

TEST(LauncherRoles, HostileParentValuesGiveTheParentRole) {
  // An ended launcher of this very executable: its id names no running process any more.
  scratch_folder ended_temp;
  captured_run ended = run_captured(launcher(), L"x", launch_options(ended_temp.path()));
  auto ended_reports = parse_reports(ended.out);
  ASSERT_EQ(ended_reports.size(), 1u);
  std::wstring ended_pid = widen(value_of(ended_reports[0], "TAVREN_ONEFILE_PARENT"));

  const std::vector<std::wstring> values = {
      L"",
      L"12x",
      L"99999999999999999999",
      L"-1",
      std::to_wstring(GetCurrentProcessId()),  // running, but another program
      ended_pid,
  };
  struct attempt {
    std::wstring value;
    captured_run run;
    DWORD pid = 0;
    std::unique_ptr<scratch_folder> temp = std::make_unique<scratch_folder>();
  };
  std::vector<attempt> attempts;
  for (const auto& value : values) attempts.push_back({value, {}});
  std::vector<std::thread> threads;
  for (auto& a : attempts) {
    threads.emplace_back([&a] {
      run_options options = launch_options(a.temp->path());
      options.set_env.push_back({L"TAVREN_ONEFILE_PARENT", a.value});
      started_process process(launcher(), L"launcher", options);
      a.pid = process.pid();
      a.run = process.finish();
    });
  }
  for (auto& thread : threads) thread.join();
  for (const auto& a : attempts) {
    SCOPED_TRACE("TAVREN_ONEFILE_PARENT=" + narrow(a.value));
    ASSERT_NE(a.pid, 0u);
    EXPECT_EQ(a.run.exit_code, 0u) << a.run.out;
    auto reports = parse_reports(a.run.out);
    ASSERT_EQ(reports.size(), 1u) << a.run.out;
    // The launcher we started unpacked under its own id and told the application so.
    EXPECT_EQ(value_of(reports[0], "TAVREN_ONEFILE_PARENT"), std::to_string(a.pid));
    EXPECT_NE(value_of(reports[0], "pid"), std::to_string(a.pid));
    std::string library = value_of(reports[0], "main_library");
    EXPECT_NE(library.find("\\onefile_" + std::to_string(a.pid) + "_"), std::string::npos) << library;
    EXPECT_TRUE(folder_entries(a.temp->path()).empty());
  }
}

TEST(LauncherRoles, ARunningLauncherOfTheSameExecutableMakesAChildEvenIfItDidNotStartIt) {
  running_parent running(L"", true);
  ASSERT_TRUE(running.ready());
  target_name name = parse_target_name(running.folder);
  ASSERT_TRUE(name.ok);

  // A stranger process handed the running launcher's identity.
  run_options options = launch_options(running.temp.path());
  options.set_env.push_back({L"TAVREN_ONEFILE_PARENT", name.pid});
  options.set_env.push_back({L"TAVREN_ONEFILE_TIME_US", name.time_us});
  options.set_env.push_back({L"TAVREN_ONEFILE_RANDOM", name.random});
  options.set_env.push_back({L"TAVREN_TEST_EXIT", L"7"});
  captured_run child = run_captured(launcher(), L"stranger arg", options);
  EXPECT_EQ(child.exit_code, 7u) << child.err;
  auto reports = parse_reports(child.out);
  ASSERT_EQ(reports.size(), 1u) << child.out;
  const report& r = reports[0];
  EXPECT_EQ(value_of(r, "main_library"), narrow(running.temp / running.folder + L"\\report_app.dll"));
  EXPECT_EQ(value_of(r, "TAVREN_ONEFILE_PARENT"), narrow(name.pid));
  // Ran in place, as given: no exports of a parent, no replaced argv[0].
  EXPECT_EQ(value_of(r, "argv0"), "stranger");
  EXPECT_EQ(value_of(r, "TAVREN_ONEFILE_DIRECTORY"), unset_value);
  EXPECT_EQ(value_of(r, "TAVREN_ORIGINAL_ARGV0"), unset_value);
  EXPECT_EQ(folder_entries(running.temp.path()).size(), 1u);
  // The child never removes the folder; its real parent still does, once its own ends.
  EXPECT_TRUE(is_directory(running.temp / running.folder));
  running.release.set();
  EXPECT_EQ(running.process->finish().exit_code, 0u);
  EXPECT_TRUE(folder_entries(running.temp.path()).empty());
}

TEST(LauncherRoles, TheApplicationStartingItsLauncherAgainGetsAChild) {
  running_parent outer(L"run:\"" + launcher() + L"\" again", false);
  captured_run run = outer.process->finish();
  EXPECT_EQ(run.exit_code, 0u);
  auto reports = parse_reports(run.out);
  ASSERT_EQ(reports.size(), 2u) << run.out;
  const report& first = reports[0];
  const report& nested = reports[1];
  EXPECT_EQ(value_of(nested, "main_library"), value_of(first, "main_library"));
  EXPECT_EQ(value_of(nested, "TAVREN_ONEFILE_PARENT"), value_of(first, "TAVREN_ONEFILE_PARENT"));
  EXPECT_EQ(value_of(nested, "argv1"), "again");
  EXPECT_NE(value_of(nested, "pid"), value_of(first, "pid"));
  // The outer application reports the nested exit code after the nested report.
  EXPECT_NE(run.out.find("run_exit=0"), std::string::npos);
  EXPECT_TRUE(folder_entries(outer.temp.path()).empty());
}

TEST(LauncherRoles, ACopyAtAnotherPathStartedFromTheApplicationIsAParent) {
  scratch_folder install;
  std::wstring copy = install / L"copy.exe";
  ASSERT_TRUE(CopyFileW(launcher().c_str(), copy.c_str(), TRUE));
  running_parent outer(L"run:\"" + copy + L"\" copied", false);
  captured_run run = outer.process->finish();
  EXPECT_EQ(run.exit_code, 0u);
  auto reports = parse_reports(run.out);
  ASSERT_EQ(reports.size(), 2u) << run.out;
  const report& first = reports[0];
  const report& nested = reports[1];
  EXPECT_NE(value_of(nested, "TAVREN_ONEFILE_PARENT"), value_of(first, "TAVREN_ONEFILE_PARENT"));
  EXPECT_NE(value_of(nested, "main_library"), value_of(first, "main_library"));
  EXPECT_NE(value_of(nested, "TAVREN_ONEFILE_RANDOM"), value_of(first, "TAVREN_ONEFILE_RANDOM"));
  EXPECT_EQ(value_of(nested, "argv0"), narrow(copy));
  EXPECT_EQ(value_of(nested, "TAVREN_ONEFILE_DIRECTORY"), narrow(install.path()));
  // The outer application reports the nested exit code after the nested report.
  EXPECT_NE(run.out.find("run_exit=0"), std::string::npos);
  // Both parents removed their own folders.
  EXPECT_TRUE(folder_entries(outer.temp.path()).empty());
}

}  // namespace
