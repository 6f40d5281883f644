// The user's own folder below an unpack folder others share, and the elevated launcher's. Each
// start is a process of its own, as a launcher is (it holds the folder until it ends): this
// test runs itself with "--start-below ROOT user|elevated" for one.
#include "launcher/own_folder.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <shellapi.h>

#include <stdlib.h>

#include <string>

#include "launcher/unpack_folder.h"
#include "tests/support/process_capture.h"
#include "tests/support/test_files.h"

namespace {

// Before the tests run: a start below the root given, then the process ends.
const bool started_below = [] {
  int count = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &count);
  if (count != 4 || wcscmp(argv[1], L"--start-below") != 0) return false;
  wchar_t folder[MAX_PATH * 2];
  wcscpy(folder, argv[2]);
  enter_own_folder(folder, MAX_PATH * 2, wcscmp(argv[3], L"elevated") == 0 ? folder_access_elevated : folder_access_user,
                   true);
  exit(0);
}();

std::wstring scratch_name(const wchar_t* what) {
  wchar_t temp[MAX_PATH + 1];
  GetTempPathW(MAX_PATH + 1, temp);
  return std::wstring(temp) + L"tavren_own_" + what + L"_" + std::to_wstring(GetCurrentProcessId());
}

captured_run start_below(const std::wstring& root, const wchar_t* access) {
  std::wstring self = beside_test_binary(L"launcher_own_folder_test.exe");
  return run_captured(self, quote_argument(self) + L" --start-below " + quote_argument(root) + L" " + access);
}

std::string refusal(const std::wstring& folder) {
  return "Error, refused to unpack below '" + std::string(folder.begin(), folder.end()) +
         "': another account could change it.\r\n";
}

TEST(OwnFolder, IsTheUsersOwnAndNeverALinkOrAnotherAccessList) {
  const std::wstring root = scratch_name(L"shared"), elsewhere = scratch_name(L"elsewhere");
  ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW(elsewhere.c_str(), nullptr));
  wchar_t name[own_folder_name_capacity];
  ASSERT_TRUE(own_folder_name(folder_access_user, name));
  EXPECT_EQ(std::wstring(name, 4), L"S-1-");
  const std::wstring own = root + L"\\" + name;

  // Made by the first start, taken by the next.
  for (int start = 0; start < 2; ++start) {
    captured_run run = start_below(root, L"user");
    EXPECT_EQ(run.exit_code, 0u) << run.err;
  }
  EXPECT_TRUE(is_directory(own));

  // Made by someone else first: under Wine every folder is the one user's, so a folder made
  // without an access list of its own (Everyone may read it) stands for another account's.
  ASSERT_TRUE(remove_tree(own));
  ASSERT_TRUE(CreateDirectoryW(own.c_str(), nullptr));
  captured_run foreign = start_below(root, L"user");
  EXPECT_EQ(foreign.exit_code, 2u);
  EXPECT_EQ(foreign.err, refusal(own));
  ASSERT_TRUE(remove_tree(own));

  // Swapped for a link between two starts (a Unix link stands for a junction).
  ASSERT_EQ(start_below(elsewhere, L"user").exit_code, 0u);
  ASSERT_TRUE(make_unix_link(elsewhere + L"\\" + name, own));
  captured_run linked = start_below(root, L"user");
  EXPECT_EQ(linked.exit_code, 2u);
  EXPECT_EQ(linked.err, refusal(own));
  ASSERT_TRUE(remove_unix_link(own));
  remove_tree(root);
  remove_tree(elsewhere);
}

// A link on the way to the own folder: the user's own is the user's to change anyway, but an
// elevated launcher must not follow what the user without elevation could point elsewhere.
TEST(OwnFolder, AnElevatedStartRefusesALinkTheUserCouldChangeOnTheWay) {
  const std::wstring real = scratch_name(L"real"), link = scratch_name(L"link");
  ASSERT_TRUE(CreateDirectoryW(real.c_str(), nullptr));
  ASSERT_TRUE(make_unix_link(real, link));
  EXPECT_EQ(start_below(link, L"user").exit_code, 0u);
  captured_run elevated = start_below(link, L"elevated");
  EXPECT_EQ(elevated.exit_code, 2u);
  EXPECT_EQ(elevated.err, refusal(link));
  remove_unix_link(link);
  remove_tree(real);
}

// The variable comes from the user's own environment, which the user without elevation sets.
TEST(OwnFolder, AnElevatedLauncherNeverTakesTheUnpackFolderFromTheVariable) {
  SetEnvironmentVariableW(L"" UNPACK_DIR_VARIABLE, L"C:\\chosen by the user");
  wchar_t folder[MAX_PATH];
  ASSERT_TRUE(chosen_unpack_folder(folder, MAX_PATH, folder_access_user));
  EXPECT_STREQ(folder, L"C:\\chosen by the user");
  EXPECT_FALSE(chosen_unpack_folder(folder, MAX_PATH, folder_access_elevated));
  set_packed_unpack_dir(L"C:\\packed");
  ASSERT_TRUE(chosen_unpack_folder(folder, MAX_PATH, folder_access_elevated));
  EXPECT_STREQ(folder, L"C:\\packed");
  set_packed_unpack_dir(nullptr);
  SetEnvironmentVariableW(L"" UNPACK_DIR_VARIABLE, nullptr);
}

}  // namespace
