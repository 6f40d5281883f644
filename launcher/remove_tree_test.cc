// The removal walk on real trees under Wine: a deep tree on a small stack, links inside that
// are never followed, and an all-or-nothing removal that leaves a tree whole while any file
// in it is open, loaded or mapped.
#include "launcher/remove_tree.h"

#include <gtest/gtest.h>
#include <malloc.h>
#include <windows.h>

#include <algorithm>
#include <string>

#include "tests/support/test_files.h"

namespace {

// Under Wine every file call resolves its whole path again, one component at a time, so a
// level costs time in proportion to its depth squared: 600 levels take over 10 s to make.
constexpr int tree_depth = 300;
// The stack the walk may use: a few times what its own frames need for tree_depth levels,
// well under what they need with a find record (about 600 bytes) in each.
constexpr size_t walk_stack_budget = 128 << 10;

struct walk_call {
  const wchar_t* root;
  tree_removal_outcome outcome;
};

DWORD WINAPI walk_on_this_thread(void* argument) {
  auto* call = static_cast<walk_call*>(argument);
  // Wine gives a thread at least 1 MiB whatever it asks for, so the thread spends all but
  // walk_stack_budget of its stack before the walk starts.
  ULONG_PTR low = 0, high = 0;
  GetCurrentThreadStackLimits(&low, &high);
  volatile char* spent = static_cast<char*>(alloca(reinterpret_cast<ULONG_PTR>(&low) - low - walk_stack_budget));
  spent[0] = 0;
  call->outcome = remove_tree_through_handles(call->root, {});
  return 0;
}

tree_removal_outcome remove_on_small_stack(const std::wstring& root) {
  walk_call call{root.c_str(), removal_left};
  HANDLE thread = CreateThread(nullptr, 0, walk_on_this_thread, &call, 0, nullptr);
  EXPECT_NE(thread, nullptr);
  if (!thread) return removal_left;
  WaitForSingleObject(thread, INFINITE);
  DWORD code = 1;
  GetExitCodeThread(thread, &code);
  CloseHandle(thread);
  EXPECT_EQ(code, 0u) << "the walk's thread did not return";
  return call.outcome;
}

TEST(RemovalWalk, DeepTreeOnASmallStack) {
  wchar_t temp[MAX_PATH];
  ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
  const std::wstring root = std::wstring(temp) + L"tavren_remove_tree_test";
  // A run that failed leaves its tree; the walk on this thread's large stack clears it.
  remove_tree_through_handles(root.c_str(), {});
  ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));

  std::wstring path = L"\\\\?\\" + root;
  for (int i = 0; i < tree_depth; ++i) {
    path += L"\\d";
    ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr)) << i << " error " << GetLastError();
  }
  HANDLE file =
      CreateFileW((path + L"\\f").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_READONLY, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  CloseHandle(file);

  EXPECT_EQ(remove_on_small_stack(root), removal_gone);
  EXPECT_FALSE(path_exists(root));
}

struct scratch {
  std::wstring path;
  scratch() {
    wchar_t temp[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, temp);
    path = std::wstring(temp) + L"tavren_removal_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
           std::to_wstring(GetTickCount());
    CreateDirectoryW(path.c_str(), nullptr);
  }
  ~scratch() { remove_tree(path); }
};

void write(const std::wstring& path, const std::string& text, DWORD attributes = FILE_ATTRIBUTE_NORMAL) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, attributes, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << "cannot write test file";
  DWORD written = 0;
  WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
}

std::string contents(const std::wstring& path) {
  auto data = read_file_bytes(path);
  return std::string(data.begin(), data.end());
}

std::vector<std::wstring> entries(const std::wstring& folder) {
  auto names = folder_entries(folder);
  std::sort(names.begin(), names.end());
  return names;
}

tree_removal_options all_or_nothing(size_t hold_capacity) {
  tree_removal_options options;
  options.mode = removal_all_or_nothing;
  options.hold_capacity = hold_capacity;
  return options;
}

TEST(RemovalWalk, LinksInsideAreNeverFollowedAndEverythingElseGoes) {
  scratch root;
  const std::wstring tree = root.path + L"\\tree", outside = root.path + L"\\outside";
  ASSERT_TRUE(CreateDirectoryW(outside.c_str(), nullptr));
  write(outside + L"\\kept.txt", "outside");
  ASSERT_TRUE(CreateDirectoryW(tree.c_str(), nullptr));
  std::wstring deep = tree;
  for (int i = 0; i < 3; ++i) {  // past 260 characters
    deep += L"\\" + std::wstring(100, wchar_t(L'a' + i));
    ASSERT_TRUE(CreateDirectoryW(deep.c_str(), nullptr));
  }
  write(deep + L"\\deep.bin", "deep");
  write(tree + L"\\read_only.txt", "ro", FILE_ATTRIBUTE_READONLY);
  ASSERT_TRUE(make_unix_link(outside, tree + L"\\folder_link"));
  ASSERT_TRUE(make_unix_link(outside + L"\\kept.txt", deep + L"\\file_link"));

  EXPECT_EQ(remove_tree_through_handles(tree.c_str(), {}), removal_left);
  EXPECT_EQ(contents(outside + L"\\kept.txt"), "outside");
  // Wine cannot remove a link without harming its target, so the links alone stay.
  EXPECT_EQ(entries(tree), std::vector<std::wstring>({std::wstring(100, L'a'), L"folder_link"}));
  EXPECT_EQ(entries(deep), std::vector<std::wstring>{L"file_link"});

  ASSERT_TRUE(remove_unix_link(tree + L"\\folder_link"));
  ASSERT_TRUE(remove_unix_link(deep + L"\\file_link"));
  EXPECT_EQ(remove_tree_through_handles(tree.c_str(), {}), removal_gone);
  EXPECT_EQ(remove_tree_through_handles(tree.c_str(), {}), removal_gone) << "a missing root is gone";
  EXPECT_EQ(contents(outside + L"\\kept.txt"), "outside");
}

// The same rule for a tree that fits in the walk's hold and for one that does not, which is
// checked entry by entry first (a dead run's folder can hold more files than handles can be
// held open, and must still go once nothing in it is used).
class AllOrNothing : public testing::TestWithParam<size_t> {};

TEST_P(AllOrNothing, LeavesATreeWholeWhileAFileIsOpenLoadedOrMapped) {
  const tree_removal_options options = all_or_nothing(GetParam());
  scratch root;
  const std::wstring tree = root.path + L"\\tree";
  ASSERT_TRUE(CreateDirectoryW(tree.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW((tree + L"\\sub").c_str(), nullptr));
  write(tree + L"\\a.txt", "a");
  write(tree + L"\\sub\\b.txt", "b");
  // Windows refuses a read-only file the write access the check asks for; Wine, running as
  // root here, grants it, so only Windows takes the path that clears the flag first.
  write(tree + L"\\read_only.txt", "r", FILE_ATTRIBUTE_READONLY);
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring library = tree + L"\\sub\\library.dll";
  ASSERT_TRUE(CopyFileW((std::wstring(self).substr(0, std::wstring(self).rfind(L'\\')) + L"\\report_app.dll").c_str(),
                        library.c_str(), FALSE));
  const std::vector<std::wstring> whole = {L"a.txt", L"read_only.txt", L"sub"};

  // Open with every kind of sharing allowed: still in use.
  const DWORD every_kind = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  HANDLE reader =
      CreateFileW((tree + L"\\sub\\b.txt").c_str(), GENERIC_READ, every_kind, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  EXPECT_EQ(remove_tree_through_handles(tree.c_str(), options), removal_refused);
  CloseHandle(reader);
  EXPECT_EQ(entries(tree), whole);
  EXPECT_EQ(contents(tree + L"\\sub\\b.txt"), "b");

  HMODULE loaded = LoadLibraryW(library.c_str());
  ASSERT_NE(loaded, nullptr);
  EXPECT_EQ(remove_tree_through_handles(tree.c_str(), options), removal_refused);
  FreeLibrary(loaded);
  EXPECT_EQ(entries(tree), whole);
  EXPECT_EQ(entries(tree + L"\\sub"), (std::vector<std::wstring>{L"b.txt", L"library.dll"}));

  // Mapped as data, its handle closed at once: nothing is open, and the file still refuses
  // to be deleted (Wine refuses it as Windows does).
  HMODULE as_data = LoadLibraryExW(library.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(as_data, nullptr);
  EXPECT_EQ(remove_tree_through_handles(tree.c_str(), options), removal_refused);
  FreeLibrary(as_data);
  EXPECT_EQ(entries(tree), whole);
  EXPECT_EQ(entries(tree + L"\\sub"), (std::vector<std::wstring>{L"b.txt", L"library.dll"}));

  EXPECT_EQ(remove_tree_through_handles(tree.c_str(), options), removal_gone);
}

// Six entries: the root, two files, sub and sub's two files; two fit in the small hold.
INSTANTIATE_TEST_SUITE_P(RemovalWalk, AllOrNothing, testing::Values(remove_tree_hold_capacity, size_t{2}));

}  // namespace
