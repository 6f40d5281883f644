// What one start spends on the folders of dead runs: the bound on its work, and its cost
// with none waiting and with twenty.
#include "launcher/dead_runs.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <windows.h>

#include <string>

#include "tests/support/test_files.h"

namespace {

double now_ms() {
  LARGE_INTEGER count, frequency;
  QueryPerformanceCounter(&count);
  QueryPerformanceFrequency(&frequency);
  return 1000.0 * static_cast<double>(count.QuadPart) / static_cast<double>(frequency.QuadPart);
}

TEST(DeadRunCollection, OneStartRemovesAtMostFourAndCostsLittleWithNoneWaiting) {
  wchar_t temp[MAX_PATH + 1];
  GetTempPathW(MAX_PATH + 1, temp);
  const std::wstring folder = std::wstring(temp) + L"tavren_dead_runs_" + std::to_wstring(GetCurrentProcessId());
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  // The target path of a run about to start; only the folder that holds it matters.
  const std::wstring target = folder + L"\\onefile_1_000000_AAAAAAAAAAA";

  double start = now_ms();
  dead_run_collection none = collect_dead_runs(target.c_str());
  double none_ms = now_ms() - start;
  EXPECT_EQ(none.examined, 0);

  for (int i = 0; i < 20; ++i) {
    wchar_t name[64];
    swprintf(name, 64, L"\\onefile_4294967292_%06d_stalestale0", i);
    std::wstring stale = folder + name;
    ASSERT_TRUE(CreateDirectoryW(stale.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((stale + L"\\data").c_str(), nullptr));
    CloseHandle(CreateFileW((stale + L"\\data\\file.bin").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
  }
  start = now_ms();
  dead_run_collection twenty = collect_dead_runs(target.c_str());
  double twenty_ms = now_ms() - start;
  EXPECT_EQ(twenty.removed, dead_run_removal_limit);
  EXPECT_EQ(folder_entries(folder).size(), 20u - dead_run_removal_limit);
  printf("[ figure ] collecting dead runs: %.2f ms with none waiting, %.2f ms with 20 waiting (%d removed)\n", none_ms,
         twenty_ms, twenty.removed);
  remove_tree(folder);
}

}  // namespace
