// Many launches of one executable: at once, where every parent must keep its own folder,
// arguments and exit code; and in a row, where nothing may pile up in the temporary folder
// or in the caller's handle table.
#include <gtest/gtest.h>
#include <stdio.h>
#include <windows.h>

#include <set>
#include <vector>
#include <thread>

#include "tests/support/launcher_e2e_support.h"

namespace {

std::wstring launcher() { return test_program(L"e2e_report_launcher.exe"); }

TEST(Load, ThirtyTwoLaunchesAtOnceKeepTheirOwnArgumentsFoldersAndCodes) {
  constexpr int kLaunches = 32;
  scratch_folder temp;
  captured_run runs[kLaunches];
  std::vector<std::thread> threads;
  DWORD start = GetTickCount();
  for (int i = 0; i < kLaunches; ++i) {
    threads.emplace_back([&, i] {
      run_options options = launch_options(temp.path());
      options.set_env.push_back({L"TAVREN_TEST_EXIT", std::to_wstring(100 + i)});
      std::wstring n = std::to_wstring(i);
      runs[i] = run_captured(launcher(), L"launcher job" + n + L" \"two words " + n + L"\"", options);
    });
  }
  for (auto& thread : threads) thread.join();
  printf("[ figure ] %d launches at once: %lu ms\n", kLaunches, GetTickCount() - start);

  std::set<std::string> libraries, parents;
  for (int i = 0; i < kLaunches; ++i) {
    SCOPED_TRACE(i);
    EXPECT_FALSE(runs[i].timed_out);
    EXPECT_EQ(runs[i].exit_code, static_cast<uint32_t>(100 + i));
    auto reports = parse_reports(runs[i].out);
    ASSERT_EQ(reports.size(), 1u) << runs[i].out << runs[i].err;
    const report& r = reports[0];
    EXPECT_EQ(value_of(r, "argc"), "3");
    EXPECT_EQ(value_of(r, "argv1"), "job" + std::to_string(i));
    EXPECT_EQ(value_of(r, "argv2"), "two words " + std::to_string(i));
    libraries.insert(value_of(r, "main_library"));
    parents.insert(value_of(r, "TAVREN_ONEFILE_PARENT"));
  }
  EXPECT_EQ(libraries.size(), static_cast<size_t>(kLaunches));
  EXPECT_EQ(parents.size(), static_cast<size_t>(kLaunches));
  EXPECT_TRUE(folder_entries(temp.path()).empty());
}

// Handles that process `pid` holds, from the system's handle table (class 16), or -1 when it
// cannot be read. Wine answers GetProcessHandleCount with 0 but keeps this table.
long handles_of(DWORD pid) {
  struct handle_entry {
    ULONG pid;
    BYTE type, flags;
    USHORT value;
    PVOID object;
    ACCESS_MASK access;
  };
  struct handle_table {
    ULONG count;
    handle_entry handles[1];
  };
  using query_fn = LONG(NTAPI*)(ULONG, PVOID, ULONG, PULONG);
  auto query = reinterpret_cast<query_fn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  if (!query) return -1;
  std::vector<char> buffer(1 << 20);
  ULONG needed = 0;
  LONG status;
  const LONG length_mismatch = static_cast<LONG>(0xC0000004);
  while ((status = query(16, buffer.data(), static_cast<ULONG>(buffer.size()), &needed)) == length_mismatch)
    buffer.resize(buffer.size() * 2);
  if (status != 0) return -1;
  const auto* table = reinterpret_cast<const handle_table*>(buffer.data());
  long count = 0;
  for (ULONG i = 0; i < table->count; ++i) count += table->handles[i].pid == pid;
  return count;
}

// The handle count of a launcher parent while its application runs, or -1 when this system
// cannot list handles. Counted only once the child runs the application: by then the parent
// has closed what it does not keep and waits.
long parent_handles_while_child_runs(const scratch_folder& temp) {
  release_event release;
  run_options options = launch_options(temp.path());
  options.set_env.push_back(release.variable());
  started_process parent(launcher(), L"launcher", options);
  DWORD child = child_of(parent.pid(), INFINITE);
  EXPECT_NE(child, 0u) << "the parent started no child";
  EXPECT_TRUE(child && wait_for_module(child, L"report_app.dll", INFINITE)) << "the child never ran the application";
  long count = handles_of(parent.pid());
  release.set();
  EXPECT_EQ(parent.finish().exit_code, 0u);
  return count;
}

TEST(Load, TwoHundredLaunchesInARowLeaveNothingBehind) {
  constexpr int kLaunches = 200;
  scratch_folder temp;
  run_options options = launch_options(temp.path());
  // Warm up, so that one-off allocations of this process do not count as growth.
  ASSERT_EQ(run_captured(launcher(), L"launcher", options).exit_code, 0u);
  long first_parent = parent_handles_while_child_runs(temp);
  long before = handles_of(GetCurrentProcessId());

  DWORD start = GetTickCount();
  int failures = 0;
  for (int i = 0; i < kLaunches; ++i) {
    options.set_env = {{L"TMP", temp.path()}, {L"TEMP", temp.path()}, {L"TAVREN_TEST_EXIT", std::to_wstring(i % 7)}};
    captured_run run = run_captured(launcher(), L"launcher " + std::to_wstring(i), options);
    if (run.exit_code != static_cast<uint32_t>(i % 7) || parse_reports(run.out).size() != 1) {
      ADD_FAILURE() << "run " << i << ": exit " << run.exit_code << "\n" << run.out << run.err;
      if (++failures > 3) break;
    }
  }
  DWORD elapsed = GetTickCount() - start;
  long after = handles_of(GetCurrentProcessId());
  long last_parent = parent_handles_while_child_runs(temp);
  printf(
      "[ figure ] %d launches in a row: %lu ms (%.1f ms each); caller handles %ld -> %ld; "
      "parent handles while its child runs: %ld, then %ld\n",
      kLaunches, elapsed, static_cast<double>(elapsed) / kLaunches, before, after, first_parent, last_parent);
  EXPECT_TRUE(folder_entries(temp.path()).empty());
  // A leak of even one handle per launch would show as 200.
  if (before < 0 || after < 0 || first_parent < 0 || last_parent < 0) {
    GTEST_SKIP() << "this system does not list handles: the handle counts were not checked";
  }
  EXPECT_LE(after, before + 5);
  EXPECT_EQ(first_parent, last_parent);
}

}  // namespace
