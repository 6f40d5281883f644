// Which role a launcher takes: child only when TAVREN_ONEFILE_PARENT names the very process
// that started it and that process runs the very same executable, parent for anything else;
// and no start at all when it cannot tell.
#include <gtest/gtest.h>
#include <windows.h>
#include <tlhelp32.h>

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
    folder = wait_for_target(temp.path(), process->pid(), L"data\\readme.txt", INFINITE);
    return !folder.empty();
  }
};

TEST(LauncherRoles, HostileParentValuesGiveTheParentRole) {
  // A running launcher of this very executable that did not start the one under test.
  running_parent running(L"", true);
  ASSERT_TRUE(running.ready());
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
      std::to_wstring(running.process->pid()),
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
  // The running launcher's folder was never touched: it still removes it itself.
  EXPECT_EQ(folder_entries(running.temp / running.folder + L"\\data"), std::vector<std::wstring>{L"readme.txt"});
  running.release.set();
  EXPECT_EQ(running.process->finish().exit_code, 0u);
  EXPECT_TRUE(folder_entries(running.temp.path()).empty());
}

// "Restart to apply": the application starts its own launcher again and returns as soon as
// the new instance runs. The variables it passes on name its launcher, which did not start the
// new instance: that one is a parent with a folder of its own, which the first launcher's
// clean-up leaves alone.
TEST(LauncherRoles, TheApplicationStartingItsLauncherAgainGetsAParentOfItsOwn) {
  scratch_folder temp;
  release_event ready, nested_release;
  run_options options = launch_options(temp.path());
  options.set_env.push_back({L"TAVREN_TEST_EXIT", L"3"});
  options.set_env.push_back({L"TAVREN_TEST_SPAWN", quote_argument(launcher()) + L" again"});
  options.set_env.push_back({L"TAVREN_TEST_SPAWN_READY", ready.name()});
  options.set_env.push_back({L"TAVREN_TEST_SPAWN_WAIT", nested_release.name()});
  options.set_env.push_back({L"TAVREN_TEST_SPAWN_EXIT", L"4"});
  started_process outer(launcher(), L"launcher", options);
  ASSERT_TRUE(outer.started());
  captured_run run = outer.finish();
  EXPECT_EQ(run.exit_code, 3u);
  auto reports = parse_reports(run.out);
  ASSERT_EQ(reports.size(), 2u) << run.out;
  const report& first = reports[0];
  const report& nested = reports[1];
  EXPECT_EQ(value_of(nested, "argv1"), "again");
  std::string nested_parent = value_of(nested, "TAVREN_ONEFILE_PARENT");
  EXPECT_NE(nested_parent, value_of(first, "TAVREN_ONEFILE_PARENT"));
  EXPECT_NE(value_of(nested, "TAVREN_ONEFILE_RANDOM"), value_of(first, "TAVREN_ONEFILE_RANDOM"));
  // The first launcher has ended and removed its folder; the new one runs from its own, whole.
  std::vector<std::wstring> left = folder_entries(temp.path());
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(narrow(left[0]).rfind("onefile_" + nested_parent + "_", 0), 0u) << narrow(left[0]);
  EXPECT_EQ(value_of(nested, "main_library"), narrow(temp / left[0] + L"\\report_app.dll"));
  std::vector<unsigned char> readme = read_file_bytes(temp / left[0] + L"\\data\\readme.txt");
  EXPECT_EQ(std::string(readme.begin(), readme.end()), "hello");
  EXPECT_TRUE(path_exists(temp / left[0] + L"\\report_app.dll"));

  HANDLE second = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, std::stoul(nested_parent));
  ASSERT_NE(second, nullptr);
  nested_release.set();
  WaitForSingleObject(second, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(second, &code);
  CloseHandle(second);
  EXPECT_EQ(code, 4u);
  EXPECT_TRUE(folder_entries(temp.path()).empty());
}

// The parent's image name is what the system recorded for it, so it is known even once that
// parent has ended: here the real parent the variable names ended (its process object kept by
// this test's handle) before the launcher, started suspended, decides its role. It is no
// launcher, so this one is a parent and runs. (A name that cannot be read at all, as with a
// hardened token, stops the start; Wine gives every process's name to every other.)
TEST(LauncherRoles, AParentThatEndedIsStillJudgedByItsImage) {
  scratch_folder temp;
  std::wstring output = temp / L"output.txt";
  started_process orphaner(test_program(L"file_holder.exe"),
                           L"file_holder orphan " + quote_argument(launcher()) + L" " + quote_argument(output),
                           launch_options(temp.path()));
  ASSERT_TRUE(orphaner.started());
  ASSERT_EQ(WaitForSingleObject(orphaner.handle(), INFINITE), WAIT_OBJECT_0);
  DWORD pid = 0;
  ASSERT_TRUE(GetExitCodeProcess(orphaner.handle(), &pid));
  ASSERT_NE(pid, 0u) << "the launcher did not start";
  HANDLE child = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  ASSERT_NE(child, nullptr);
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  THREADENTRY32 thread = {};
  thread.dwSize = sizeof thread;
  int resumed = 0;
  for (BOOL more = Thread32First(snapshot, &thread); more; more = Thread32Next(snapshot, &thread)) {
    if (thread.th32OwnerProcessID != pid) continue;
    HANDLE handle = OpenThread(THREAD_SUSPEND_RESUME, FALSE, thread.th32ThreadID);
    if (handle && ResumeThread(handle) != static_cast<DWORD>(-1)) ++resumed;
    if (handle) CloseHandle(handle);
  }
  CloseHandle(snapshot);
  ASSERT_EQ(resumed, 1);
  WaitForSingleObject(child, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(child, &code);
  CloseHandle(child);
  EXPECT_EQ(code, 0u);
  std::vector<unsigned char> written = read_file_bytes(output);
  std::string out(written.begin(), written.end());
  EXPECT_EQ(parse_reports(out).size(), 1u) << out;
  EXPECT_EQ(folder_entries(temp.path()), std::vector<std::wstring>{L"output.txt"});
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
