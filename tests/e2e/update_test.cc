// A packed application replacing its own launcher, as a user's copy does it: the application
// writes a request and ends, its launcher checks the new release, swaps it in and restarts it.
// Every suite runs for each kind of launcher: a main library or an executable, each in the
// default mode and cached.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "tests/support/launcher_e2e_support.h"

namespace {

struct launcher_kind {
  const char* name;
  const wchar_t* prefix;  // update_<prefix>_v1.exe and _v2.exe
  bool cached;
};

const launcher_kind kinds[] = {{"library", L"dll_default", false},
                               {"executable", L"exe_default", false},
                               {"cached_library", L"dll_cached", true},
                               {"cached_executable", L"exe_cached", true}};

std::string text_of(const std::vector<unsigned char>& bytes) { return std::string(bytes.begin(), bytes.end()); }

class Update : public ::testing::TestWithParam<launcher_kind> {
 protected:
  scratch_folder temp, local, folder;
  std::wstring app = folder / L"app.exe";

  std::wstring version(int n) const {
    return test_program((std::wstring(L"update_") + GetParam().prefix + L"_v" + std::to_wstring(n) + L".exe").c_str());
  }
  // The delta from the first release to the second.
  std::wstring delta() const {
    return test_program((std::wstring(L"update_") + GetParam().prefix + L".tdelta").c_str());
  }
  void SetUp() override { ASSERT_TRUE(CopyFileW(version(1).c_str(), app.c_str(), FALSE)); }
  void fresh_copy() const {
    remove_tree(folder.path());
    CreateDirectoryW(folder.path().c_str(), nullptr);
    ASSERT_TRUE(CopyFileW(version(1).c_str(), app.c_str(), FALSE));
  }

  run_options options(const std::wstring& request = L"") const {
    run_options o = launch_options(temp.path());
    o.set_env.push_back({L"LOCALAPPDATA", local.path()});
    if (!request.empty()) o.set_env.push_back({L"TAVREN_TEST_ACTION", L"update:" + request});
    return o;
  }
  captured_run run(const run_options& o) const { return run_captured(app, quote_argument(app), o); }
  // The one line the status file holds, as the application reads it on its next start.
  std::string status() const {
    captured_run next = run(options());
    auto reports = parse_reports(next.out);
    return reports.empty() ? "<no report: " + next.err + ">" : value_of(reports.back(), "update_status");
  }
  bool is_version(int n) const { return read_file_bytes(app) == read_file_bytes(version(n)); }
  // Whatever the launcher put beside itself and has not yet deleted.
  std::vector<std::wstring> beside() const { return folder_entries(folder.path(), L"app.exe."); }
};

// The whole new launcher, or the delta from this one to it: the same file in the end.
TEST_P(Update, AppliedAfterTheApplicationEndsAndRestartsTheNewVersionInACleanEnvironment) {
  for (const std::wstring& release : {version(2), delta()}) {
    SCOPED_TRACE(narrow(release));
    fresh_copy();
    captured_run r = run(options(L"file=" + release + L"|restart=yes|argument=--updated|argument=a \"b\""));
    ASSERT_EQ(r.exit_code, 0u) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(is_version(2));
    auto reports = parse_reports(r.out);
    ASSERT_EQ(reports.size(), 2u) << r.out;
    EXPECT_EQ(value_of(reports[0], "update_requested"), "1");
    EXPECT_EQ(value_of(reports[1], "argc"), "3");
    EXPECT_EQ(value_of(reports[1], "argv1"), "--updated");
    EXPECT_EQ(value_of(reports[1], "argv2"), "a \"b\"");
    EXPECT_EQ(value_of(reports[1], "update_status"), "applied");
    // What the old run and its application set stays with them.
    EXPECT_EQ(value_of(reports[1], "TAVREN_TEST_LEAKED"), unset_value);
    EXPECT_NE(value_of(reports[1], "TAVREN_ONEFILE_PARENT"), value_of(reports[0], "TAVREN_ONEFILE_PARENT"));
    // The old file goes at the latest with a later start, which runs the new version.
    captured_run later = run(options());
    EXPECT_EQ(later.exit_code, 0u) << later.err;
    EXPECT_TRUE(beside().empty());
  }
}

TEST_P(Update, WithoutRestartTheNextStartRunsTheNewVersionWarm) {
  captured_run r = run(options(L"file=" + version(2)));
  ASSERT_EQ(r.exit_code, 0u) << r.err;
  EXPECT_EQ(parse_reports(r.out).size(), 1u);
  EXPECT_TRUE(is_version(2));
  if (GetParam().cached) {
    // The new version's folder was installed before the swap, as the launcher at this path.
    auto builds = folder_entries(local / L"Tavren Test\\Update", L"1.2.3.5-");
    EXPECT_EQ(builds.size(), 1u);
  }
  EXPECT_EQ(status(), "applied");
}

// Each refusal leaves the launcher's file as it was and says why.
TEST_P(Update, ARefusedUpdateChangesNothingAndSaysWhy) {
  const std::wstring text = folder / L"notes.txt";
  HANDLE file = CreateFileW(text.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD written = 0;
  WriteFile(file, "not a launcher", 14, &written, nullptr);
  CloseHandle(file);
  // A delta with one byte of its new bytes changed, and one made for the other entry kind.
  const std::wstring damaged = folder / L"damaged.tdelta";
  auto bytes = read_file_bytes(delta());
  ASSERT_GT(bytes.size(), 200u);
  bytes[bytes.size() - 40] ^= 0x55;
  file = CreateFileW(damaged.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
  std::wstring other_kind = GetParam().prefix[0] == L'e' ? L"dll" : L"exe";
  const std::wstring other_base =
      test_program((L"update_" + other_kind + std::wstring(GetParam().prefix).substr(3) + L".tdelta").c_str());
  const struct {
    std::wstring request;
    const char* why;
  } cases[] = {
      {L"file=" + (folder / L"missing.exe") + L"|restart=yes", "refused: the new release cannot be read:"},
      {L"file=" + text, "refused: the new release is neither a launcher nor a delta"},
      {L"file=relative.exe", "refused: the request's file is not a full path"},
      {L"file=" + version(2) + L"|reboot=yes", "refused: the request has an unknown key"},
      {L"file=" + version(0), "refused: its version is older than the running one"},
      {L"file=" + test_program(L"cached_report_launcher.exe"), "refused: it is the launcher of another product"},
      {L"file=" + damaged, "refused: the delta cannot be applied to this launcher"},
      {L"file=" + other_base, "refused: the delta cannot be applied to this launcher"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(narrow(c.request));
    captured_run r = run(options(c.request));
    EXPECT_EQ(r.exit_code, 0u);
    EXPECT_EQ(parse_reports(r.out).size(), 1u);
    EXPECT_EQ(r.err.rfind("Update refused: ", 0), 0u) << r.err;
    EXPECT_TRUE(is_version(1));
    EXPECT_EQ(beside().size(), 0u);
    EXPECT_EQ(status().rfind(c.why, 0), 0u) << status();
  }
}

// Installed where its users cannot write (for every user, in Program Files): refused before
// anything is written, with the folder and the system's reason, and never elevated.
TEST_P(Update, AFolderTheUserCannotWriteGivesAClearRefusal) {
  std::wstring locked = L"Z:" + widen(TAVREN_READ_ONLY_FOLDER);
  for (auto& unit : locked)
    if (unit == L'/') unit = L'\\';
  auto skip = read_file_bytes(locked + L".skip");
  if (!skip.empty()) GTEST_SKIP() << text_of(skip);
  const std::wstring installed = locked + L"\\update_" + GetParam().prefix + L"_v1.exe";
  if (const char* why = fixture_mount_unseen(installed)) GTEST_SKIP() << why;
  captured_run r = run_captured(installed, quote_argument(installed), options(L"file=" + version(2)));
  EXPECT_EQ(r.exit_code, 0u);
  EXPECT_EQ(parse_reports(r.out).size(), 1u);
  EXPECT_EQ(r.err.rfind("Update refused: the launcher's folder cannot be written by this user", 0), 0u) << r.err;
  EXPECT_EQ(read_file_bytes(installed), read_file_bytes(version(1)));
  EXPECT_EQ(folder_entries(locked).size(), 4u);
}

// Another start of the old version runs on while the update is applied, and ends as it would.
TEST_P(Update, AnotherInstanceOfTheOldVersionRunsOnThroughTheSwap) {
  // The application says itself that it runs (a search for the launcher's child could find an
  // older process whose parent had the id Wine has since given the launcher).
  release_event release, ready;
  run_options waiting = options();
  waiting.set_env.push_back(release.variable());
  waiting.set_env.push_back({L"TAVREN_TEST_READY", ready.name()});
  started_process other(app, quote_argument(app), waiting);
  ASSERT_TRUE(other.started());
  HANDLE running_or_ended[] = {ready.handle(), other.handle()};
  ASSERT_EQ(WaitForMultipleObjects(2, running_or_ended, FALSE, INFINITE), WAIT_OBJECT_0) << other.finish().out;
  captured_run r = run(options(L"file=" + version(2)));
  EXPECT_EQ(r.exit_code, 0u) << r.err;
  EXPECT_TRUE(is_version(2));
  release.set();
  captured_run old = other.finish(INFINITE);
  EXPECT_EQ(old.exit_code, 0u) << old.err;
  auto reports = parse_reports(old.out);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(value_of(reports[0], "released"), "1");
  EXPECT_EQ(status(), "applied");
  EXPECT_TRUE(beside().empty());
}

// The new version's first start that cannot find its payload puts the old one back and runs it.
TEST_P(Update, ANewVersionWithoutItsPayloadIsRolledBack) {
  captured_run r = run(options(L"file=" + version(2)));
  ASSERT_EQ(r.exit_code, 0u) << r.err;
  ASSERT_EQ(beside().size(), 1u) << "the old version is kept until a start confirms the new one";
  ASSERT_TRUE(CopyFileW(test_program(L"unfilled_stub.exe").c_str(), app.c_str(), FALSE));
  captured_run next = run(options());
  EXPECT_EQ(next.exit_code, 0u) << next.err;
  EXPECT_EQ(parse_reports(next.out).size(), 1u) << next.out;
  EXPECT_TRUE(is_version(1));
  EXPECT_EQ(status(), "rolled back: the new version could not find its payload");
}

// The launcher runs under this test as its debugger and announces each step of the update
// (written, tried, placed); it is ended at the first, then (from a fresh copy) at the second,
// and so on until a run completes. After each, the launcher's path starts, as the old version
// or the new one, whole. Between the rename aside and the rename into place nothing is at the
// path and nothing is announced: Wine, as Windows, refuses to replace the name of a running
// executable (error 5), so that one system call's moment cannot be closed.
TEST_P(Update, KilledAtEachStepOfTheSwapTheNextStartWorks) {
  for (int kill_at = 1;; ++kill_at) {
    SCOPED_TRACE(kill_at);
    fresh_copy();
    std::wstring line = quote_argument(app), environment = environment_block(options(L"file=" + version(2)));
    int steps = 0;
    bool killed = debug_until_exit(app, line, environment, [&](DWORD event_code) {
      return event_code == OUTPUT_DEBUG_STRING_EVENT && ++steps == kill_at;
    });
    captured_run next = run(options());
    EXPECT_EQ(next.exit_code, 0u) << next.err;
    EXPECT_EQ(parse_reports(next.out).size(), 1u) << next.out;
    EXPECT_TRUE(is_version(1) || is_version(2));
    if (!killed) {
      EXPECT_EQ(steps, 3) << "written, tried and placed";
      EXPECT_TRUE(is_version(2));
      break;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, Update, ::testing::ValuesIn(kinds),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
