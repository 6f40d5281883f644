#include "launcher/remove_tree.h"

#include <gtest/gtest.h>
#include <malloc.h>
#include <windows.h>

#include <string>

#include "tests/support/test_files.h"

namespace {

// Under Wine every file call resolves its whole path again, one component at a time, so a
// level costs time in proportion to its depth squared: 600 levels take over 10 s to make.
constexpr int tree_depth = 300;
// Levels that stay because their paths are shorter than the walk's threshold.
constexpr int kept_depth = 100;
// The stack the walk may use: a few times what its own frames need for tree_depth levels,
// well under what they need with a find record (about 600 bytes) in each.
constexpr size_t walk_stack_budget = 128 << 10;

struct walk_call {
  const wchar_t* root;
  size_t min_path_length;
  bool left;
};

DWORD WINAPI walk_on_this_thread(void* argument) {
  auto* call = static_cast<walk_call*>(argument);
  // Wine gives a thread at least 1 MiB whatever it asks for, so the thread spends all but
  // walk_stack_budget of its stack before the walk starts.
  ULONG_PTR low = 0, high = 0;
  GetCurrentThreadStackLimits(&low, &high);
  volatile char* spent = static_cast<char*>(alloca(reinterpret_cast<ULONG_PTR>(&low) - low - walk_stack_budget));
  spent[0] = 0;
  call->left = remove_tree_below(call->root, call->min_path_length);
  return 0;
}

bool remove_on_small_stack(const std::wstring& root, size_t min_path_length) {
  walk_call call{root.c_str(), min_path_length, true};
  HANDLE thread = CreateThread(nullptr, 0, walk_on_this_thread, &call, 0, nullptr);
  EXPECT_NE(thread, nullptr);
  if (!thread) return true;
  WaitForSingleObject(thread, INFINITE);
  DWORD code = 1;
  GetExitCodeThread(thread, &code);
  CloseHandle(thread);
  EXPECT_EQ(code, 0u) << "the walk's thread did not return";
  return call.left;
}

std::wstring chain(const std::wstring& root, int depth) {
  std::wstring path = root;
  for (int i = 0; i < depth; ++i) path += L"\\d";
  return path;
}

TEST(RemoveTreeBelow, DeepTreeOnASmallStackDownToTheThreshold) {
  wchar_t temp[MAX_PATH];
  ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
  const std::wstring root = std::wstring(temp) + L"tavren_remove_tree_test";
  // A run that failed leaves its tree; the walk on this thread's large stack clears it.
  remove_tree_below(root.c_str(), 0);
  RemoveDirectoryW(root.c_str());
  ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));

  std::wstring path = L"\\\\?\\" + root;
  for (int i = 0; i < tree_depth; ++i) {
    path += L"\\d";
    ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr)) << i << " error " << GetLastError();
  }
  HANDLE file = CreateFileW((path + L"\\f").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_READONLY,
                            nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  CloseHandle(file);

  // The threshold is the length of the first level to go; every level above it stays.
  EXPECT_FALSE(remove_on_small_stack(root, chain(root, kept_depth + 1).size()));
  EXPECT_TRUE(is_directory(chain(root, kept_depth)));
  EXPECT_TRUE(folder_entries(chain(root, kept_depth)).empty());

  EXPECT_FALSE(remove_on_small_stack(root, 0));
  EXPECT_TRUE(folder_entries(root).empty());
  remove_tree_below(root.c_str(), 0);
  RemoveDirectoryW(root.c_str());
}

}  // namespace
