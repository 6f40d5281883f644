#include "paths/path_spec.h"

#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <tuple>
#include <vector>

#include "tests/support/process_capture.h"

namespace {

struct expansion {
  bool ok;
  std::wstring text;
};

expansion expand(const std::wstring& spec, size_t capacity = 4096) {
  std::wstring buffer(capacity, L'#');
  bool ok = expand_path_spec(buffer.data(), spec.c_str(), capacity);
  return {ok, buffer.c_str()};
}

// The operation runner with argv[0] of our choosing: the {PROGRAM} tokens read it from the runtime.
captured_run runner_as(const std::wstring& argv0, std::initializer_list<std::wstring> args,
                       const run_options& options = {}) {
  std::wstring line = argv0;
  for (const auto& a : args) line += L" " + quote_argument(a);
  return run_captured(beside_test_binary(L"operation_runner.exe"), line, options);
}

std::string narrow(const std::wstring& text) {
  std::string result;
  for (wchar_t c : text) result.push_back(static_cast<char>(c));
  return result;
}

std::wstring without_trailing_backslashes(std::wstring text) {
  while (!text.empty() && text.back() == L'\\') text.pop_back();
  return text;
}

const wchar_t* const kIdentityVariables[] = {L"TAVREN_ONEFILE_PARENT", L"TAVREN_ONEFILE_START",
                                             L"TAVREN_ONEFILE_TIME_US", L"TAVREN_ONEFILE_RANDOM", L"TMP"};

class PathSpec : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const wchar_t* name : kIdentityVariables) {
      wchar_t value[4096];
      DWORD length = GetEnvironmentVariableW(name, value, 4096);
      saved_.push_back(length ? std::wstring(value, length) : std::wstring());
      if (wcscmp(name, L"TMP") != 0) SetEnvironmentVariableW(name, nullptr);
    }
  }
  void TearDown() override {
    for (size_t i = 0; i < saved_.size(); ++i) {
      SetEnvironmentVariableW(kIdentityVariables[i], saved_[i].empty() ? nullptr : saved_[i].c_str());
    }
  }
  std::vector<std::wstring> saved_;
};

TEST_F(PathSpec, LiteralTextIsCopiedAndStrayClosingBracesAreLiteral) {
  EXPECT_TRUE(expand(L"").ok);
  EXPECT_EQ(expand(L"").text, L"");
  EXPECT_EQ(expand(L"C:/mixed\\sep/a b.txt").text, L"C:/mixed\\sep/a b.txt");
  EXPECT_EQ(expand(L"}").text, L"}");
  auto stray = expand(L"a}b}{VERSION}}");
  EXPECT_TRUE(stray.ok);
  EXPECT_EQ(stray.text, L"a}b}1.2.3.4}");
}

TEST_F(PathSpec, TokenNamesIgnoreCase) {
  SetEnvironmentVariableW(L"TMP", L"C:\\case\\");
  for (const wchar_t* spec :
       {L"{TEMP}|{PRODUCT}|{FILE_VERSION}", L"{temp}|{product}|{file_version}", L"{Temp}|{Product}|{File_Version}"}) {
    auto spelled = expand(spec);
    EXPECT_TRUE(spelled.ok) << narrow(spec);
    EXPECT_EQ(spelled.text, L"C:\\case|Test Product|1.2.3.4") << narrow(spec);
  }
}

TEST_F(PathSpec, BuildTimeTextsAreInsertedVerbatim) {
  auto texts = expand(L"{COMPANY}|{PRODUCT}|{VERSION}|{FILE_VERSION}|{PRODUCT_VERSION}");
  EXPECT_TRUE(texts.ok);
  EXPECT_EQ(texts.text, L"Tavren Test \"Co\" \\ \x00e9|Test Product|1.2.3.4|1.2.3.4|5.6.7.8");
}

TEST_F(PathSpec, FolderTokensDropTrailingBackslashesSoTheSeamHasOne) {
  wchar_t temp[MAX_PATH + 1];
  ASSERT_GT(GetTempPathW(MAX_PATH + 1, temp), 0u);
  ASSERT_EQ(std::wstring(temp).back(), L'\\') << "the system folder should end in a backslash";
  auto seam = expand(L"{TEMP}\\onefile_x");
  EXPECT_TRUE(seam.ok);
  EXPECT_EQ(seam.text, without_trailing_backslashes(temp) + L"\\onefile_x");
  EXPECT_EQ(seam.text.find(L"\\\\"), std::wstring::npos);

  // The drive root keeps no backslash of its own either.
  SetEnvironmentVariableW(L"TMP", L"C:\\");
  ASSERT_EQ(GetTempPathW(MAX_PATH + 1, temp), 3u);
  EXPECT_EQ(expand(L"{TEMP}").text, L"C:");
  EXPECT_EQ(expand(L"{TEMP}\\x").text, L"C:\\x");

  wchar_t folder[MAX_PATH];
  ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, 0, folder), S_OK);
  EXPECT_EQ(expand(L"{HOME}\\.cfg").text, without_trailing_backslashes(folder) + L"\\.cfg");
  ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, folder), S_OK);
  EXPECT_EQ(expand(L"{CACHE_DIR}").text, without_trailing_backslashes(folder));
}

TEST_F(PathSpec, OpenTokenIsDroppedAndInnerBraceRestartsTheName) {
  auto open = expand(L"abc{TEMP");
  EXPECT_TRUE(open.ok);
  EXPECT_EQ(open.text, L"abc");

  SetEnvironmentVariableW(L"TAVREN_ONEFILE_PARENT", L"77");
  EXPECT_EQ(expand(L"{A{PID}").text, L"77");
  // An overlong name must not poison the token that a later brace starts.
  EXPECT_EQ(expand(L"{" + std::wstring(2000, L'Z') + L"{PID}").text, L"77");
}

TEST_F(PathSpec, UnknownTokenFailsWithTheTextBeforeIt) {
  auto empty = expand(L"pre\\{}\\post");
  EXPECT_FALSE(empty.ok);
  EXPECT_EQ(empty.text, L"pre\\");
  auto unknown = expand(L"x{NOPE}y");
  EXPECT_FALSE(unknown.ok);
  EXPECT_EQ(unknown.text, L"x");
  // Names at and past the name buffer's limit: no overrun, no match.
  EXPECT_FALSE(expand(L"{" + std::wstring(1019, L'Z') + L"TEMP}").ok);
  EXPECT_FALSE(expand(L"{" + std::wstring(1020, L'Z') + L"TEMP}").ok);
  EXPECT_FALSE(expand(L"{" + std::wstring(5000, L'Z') + L"}").ok);
}

TEST_F(PathSpec, PidPrefersTheParentVariableCopiedUnchanged) {
  SetEnvironmentVariableW(L"TAVREN_ONEFILE_PARENT", L"0042");
  EXPECT_EQ(expand(L"{PID}").text, L"0042");
  SetEnvironmentVariableW(L"TAVREN_ONEFILE_PARENT", L"");
  EXPECT_EQ(expand(L"{PID}").text, std::to_wstring(GetCurrentProcessId()));
  SetEnvironmentVariableW(L"TAVREN_ONEFILE_PARENT", nullptr);
  EXPECT_EQ(expand(L"{PID}").text, std::to_wstring(GetCurrentProcessId()));
}

TEST_F(PathSpec, LiteralThatDoesNotFitFailsButAValueAborts) {
  EXPECT_TRUE(expand(L"abc", 4).ok);
  auto tight = expand(L"abc", 3);
  EXPECT_FALSE(tight.ok);
  EXPECT_EQ(tight.text, L"ab");

  const std::wstring pid = std::to_wstring(GetCurrentProcessId());
  auto exact = expand(L"{PID}x", pid.size() + 1);
  EXPECT_FALSE(exact.ok) << "the value fits exactly, the literal after it does not";
  EXPECT_EQ(exact.text, pid);
  EXPECT_EXIT(expand(L"{PID}", pid.size()), ::testing::ExitedWithCode(3), "");
}

TEST_F(PathSpec, ProcessEndingFailuresAreSilentAborts) {
  run_options parent_1234;
  parent_1234.set_env = {{L"TAVREN_ONEFILE_PARENT", L"1234"}};
  captured_run fits = runner_as(L"operation_runner", {L"expand", L"{PID}", L"5"}, parent_1234);
  EXPECT_EQ(fits.exit_code, 0u);
  EXPECT_EQ(fits.out, "true 1234");

  for (auto [spec, capacity, parent] : {std::tuple{L"{PID}", L"4", L"1234"}, std::tuple{L"{PID}", L"4096", L"42a"},
                                        std::tuple{L"{TEMP}", L"3", L"1"}}) {
    run_options options;
    options.set_env = {{L"TAVREN_ONEFILE_PARENT", parent}};
    captured_run run = runner_as(L"operation_runner", {L"expand", spec, capacity}, options);
    EXPECT_EQ(run.exit_code, 3u) << narrow(spec) << " cap " << narrow(capacity) << " parent " << narrow(parent);
    EXPECT_EQ(run.out + run.err, "");
  }
}

TEST_F(PathSpec, ProgramTokensCutOnlyTheirOwnValue) {
  const std::wstring spec = L"{PROGRAM}|{PROGRAM_BASE}|pre\\{PROGRAM_DIR}";
  struct {
    const wchar_t* argv0;
    const char* expected;
  } cases[] = {
      {L"C:\\x\\app.EXE", "true C:\\x\\app.EXE|C:\\x\\app|pre\\C:\\x"},
      {L"app.tar", "true app.tar|app.tar|pre\\app.tar"},
      {L"exe", "true exe|exe|pre\\exe"},
      {L"C:/x/app.exe", "true C:/x/app.exe|C:/x/app|pre\\C:/x/app.exe"},
      {L"\"C:\\Program Files\\dir.exe\\app\"",
       "true C:\\Program Files\\dir.exe\\app|C:\\Program Files\\dir.exe\\app|pre\\C:\\Program Files\\dir.exe"},
  };
  for (const auto& c : cases) {
    captured_run run = runner_as(c.argv0, {L"expand", spec, L"4096"});
    EXPECT_EQ(run.exit_code, 0u);
    EXPECT_EQ(run.out, c.expected);
  }
}

TEST_F(PathSpec, ChildInheritingTheIdentityExpandsTheSamePath) {
  const std::wstring spec = L"{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}";
  SetEnvironmentVariableW(L"TAVREN_ONEFILE_PARENT", std::to_wstring(GetCurrentProcessId()).c_str());
  auto parent = expand(spec);
  ASSERT_TRUE(parent.ok);
  wchar_t temp[MAX_PATH + 1];
  GetTempPathW(MAX_PATH + 1, temp);
  const std::wstring head = std::wstring(temp) + L"onefile_" + std::to_wstring(GetCurrentProcessId()) + L"_";
  ASSERT_EQ(parent.text.substr(0, head.size()), head);
  ASSERT_EQ(parent.text.size(), head.size() + 6 + 1 + 11);
  EXPECT_EQ(parent.text[head.size() + 6], L'_');

  captured_run child = runner_as(L"operation_runner", {L"expand", spec, L"4096"});
  EXPECT_EQ(child.out, "true " + narrow(parent.text));
}

}  // namespace
