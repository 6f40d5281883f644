#include "paths/module_path.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/support/process_capture.h"

namespace {

std::wstring normalised(const std::wstring& path, uint32_t capacity = 4097) {
  std::wstring buffer(capacity, L'#');
  wcscpy(buffer.data(), path.c_str());
  normalise_module_path(buffer.data(), capacity);
  return buffer.c_str();
}

std::wstring resolved(const std::wstring& path, uint32_t capacity = 4097) {
  std::wstring buffer(capacity, L'#');
  wcscpy(buffer.data(), path.c_str());
  resolve_final_path(buffer.data(), capacity);
  return buffer.c_str();
}

std::wstring shortened(const std::wstring& path) {
  wchar_t buffer[4097];
  wcscpy(buffer, path.c_str());
  shorten_directory_part(buffer, 4097);
  return buffer;
}

std::wstring short_form(const std::wstring& path) {
  wchar_t buffer[4097];
  DWORD length = GetShortPathNameW(path.c_str(), buffer, 4097);
  return length ? std::wstring(buffer, length) : L"(failed)";
}

bool exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string narrow(const std::wstring& text) {
  std::string result;
  for (wchar_t c : text) result.push_back(static_cast<char>(c));
  return result;
}

// A program file in a directory whose long name has a distinct short alias, made fresh in
// the temporary folder for each test.
class ModulePath : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, temp);
    root_ = std::wstring(temp) + L"tavren module path " + std::to_wstring(GetCurrentProcessId());
    dir_ = root_ + L"\\long directory name";
    file_ = dir_ + L"\\long program name.exe";
    ASSERT_TRUE(CreateDirectoryW(root_.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(dir_.c_str(), nullptr));
    HANDLE h = CreateFileW(file_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    short_dir_ = short_form(dir_);
    ASSERT_NE(short_dir_, dir_) << "the volume gives no short aliases; nothing here can be checked";
  }
  void TearDown() override {
    DeleteFileW(file_.c_str());
    RemoveDirectoryW(dir_.c_str());
    RemoveDirectoryW(root_.c_str());
  }
  std::wstring root_, dir_, file_, short_dir_;
};

TEST_F(ModulePath, DirectoriesBecomeShortAndTheFileNameStaysLong) {
  EXPECT_EQ(normalised(file_), short_dir_ + L"\\long program name.exe");
}

TEST_F(ModulePath, EverySpellingOfOneFileNormalisesAlike) {
  const std::wstring expected = normalised(file_);
  EXPECT_EQ(normalised(short_form(file_)), expected) << "fully short spelling";
  EXPECT_EQ(normalised(L"\\\\?\\" + file_), expected) << "extended-length prefix";
  std::wstring upper = file_;
  for (auto& c : upper) c = towupper(c);
  EXPECT_EQ(normalised(upper), expected) << "other letter case";
  EXPECT_EQ(normalised(dir_ + L"\\.\\..\\long directory name\\long program name.exe"), expected);
}

TEST_F(ModulePath, FinalPathLosesTheDrivePrefixButUnopenablePathsKeepTheirs) {
  EXPECT_EQ(resolved(L"\\\\?\\" + file_), file_);
  EXPECT_EQ(resolved(file_), file_);
  const std::wstring missing = L"\\\\?\\" + dir_ + L"\\missing.exe";
  EXPECT_EQ(resolved(missing), missing);
}

TEST_F(ModulePath, MissingFileKeepsItsNameInAShortenedExistingDirectory) {
  EXPECT_EQ(normalised(dir_ + L"\\missing.exe"), short_dir_ + L"\\missing.exe");
  const std::wstring nowhere = root_ + L"\\no such directory\\app.exe";
  EXPECT_EQ(normalised(nowhere), nowhere);
}

TEST_F(ModulePath, TrailingBackslashIsKeptAndABareNameIsShortenedWhole) {
  EXPECT_EQ(normalised(dir_ + L"\\"), short_dir_ + L"\\");

  wchar_t previous[MAX_PATH + 1];
  GetCurrentDirectoryW(MAX_PATH + 1, previous);
  ASSERT_TRUE(SetCurrentDirectoryW(dir_.c_str()));
  const std::wstring bare = shortened(L"long program name.exe");
  const std::wstring missing = shortened(L"no such program.exe");
  SetCurrentDirectoryW(previous);
  EXPECT_EQ(bare, short_form(file_).substr(short_form(file_).rfind(L'\\') + 1));
  EXPECT_EQ(missing, L"no such program.exe");
}

TEST_F(ModulePath, CapacityMustHoldTheFinalPathWithItsPrefix) {
  // The system reports the final path as "\\?\" and the plain path.
  const uint32_t needed = static_cast<uint32_t>(4 + file_.size() + 1);
  EXPECT_EQ(resolved(file_, needed), file_);

  captured_run fits =
      run_captured(beside_test_binary(L"operation_runner.exe"),
                   L"operation_runner normalise " + quote_argument(file_) + L" " + std::to_wstring(needed));
  EXPECT_EQ(fits.exit_code, 0u);
  EXPECT_EQ(fits.out, narrow(short_dir_ + L"\\long program name.exe"));

  captured_run short_by_one =
      run_captured(beside_test_binary(L"operation_runner.exe"),
                   L"operation_runner normalise " + quote_argument(file_) + L" " + std::to_wstring(needed - 1));
  EXPECT_EQ(short_by_one.exit_code, 3u);
  EXPECT_EQ(short_by_one.out + short_by_one.err, "");
}

std::wstring stripped(std::wstring path) {
  strip_extended_prefix(path.data());
  return path.c_str();
}

// Wine reports no final path behind a share with the \\?\UNC\ prefix, so that branch is
// checked here on its own.
TEST(ModulePathPrefix, TheExtendedPrefixGoesOnlyWhereAPlainSpellingExists) {
  EXPECT_EQ(stripped(L"\\\\?\\C:\\dir\\app.exe"), L"C:\\dir\\app.exe");
  EXPECT_EQ(stripped(L"\\\\?\\UNC\\host\\share\\app.exe"), L"\\\\host\\share\\app.exe");
  for (const wchar_t* kept : {L"C:\\dir\\app.exe", L"\\\\host\\share\\app.exe", L"\\\\?\\", L"\\\\?\\C",
                              L"\\\\?\\Volume{1}\\app.exe", L"\\\\.\\C:\\app.exe"}) {
    EXPECT_EQ(stripped(kept), kept);
  }
}

// Made by the paths_unix_links_setup fixture: Unix symbolic links inside the Wine drive, and
// the same tree as the share \\tavrenhost\share.
const std::wstring kLinks = L"C:\\tavren_paths_links";
const std::wstring kTarget = kLinks + L"\\long directory behind links\\linked program.exe";
// kTarget's normal form: its folders by their short names, whatever the system makes them.
std::wstring target_normalised() {
  std::wstring folders = short_form(kLinks + L"\\long directory behind links");
  return folders == L"(failed)" ? folders : folders + L"\\linked program.exe";
}

TEST(ModulePathLinks, LinkedSpellingsNormaliseToTheTarget) {
  if (!exists(kLinks + L"\\directory link")) GTEST_SKIP() << "no links: run through ctest, whose fixture makes them";
  const std::wstring expected = target_normalised();
  EXPECT_EQ(normalised(kTarget), expected);
  EXPECT_EQ(normalised(kLinks + L"\\directory link\\linked program.exe"), expected);
  EXPECT_EQ(normalised(kLinks + L"\\file link.exe"), expected) << "a linked file takes the target's name";
}

const std::wstring kShare = L"\\\\tavrenhost\\share";

TEST(ModulePathLinks, ShareSpellingNormalisesLikeTheDriveSpelling) {
  if (!exists(kShare + L"\\file link.exe")) GTEST_SKIP() << "no share: run through ctest, whose fixture makes it";
  const std::wstring expected = target_normalised();
  EXPECT_EQ(normalised(kShare + L"\\directory link\\linked program.exe"), expected);
  EXPECT_EQ(normalised(L"\\\\?\\UNC\\tavrenhost\\share\\file link.exe"), expected);
}

TEST(ModulePathLinks, ShareFinalPathLosesTheExtendedUncPrefix) {
  const std::wstring file = kShare + L"\\long directory behind links\\linked program.exe";
  if (!exists(file)) GTEST_SKIP() << "no share: run through ctest, whose fixture makes it";
  const std::wstring final_path = resolved(file);
  if (final_path.rfind(L"\\\\", 0) != 0) {
    GTEST_SKIP() << "the system reports a file behind a share by its drive path (" << narrow(final_path)
                 << "), so no final path begins with \\\\?\\UNC\\ here";
  }
  EXPECT_EQ(final_path, file);
}

}  // namespace
