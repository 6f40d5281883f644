#include "launcher/child_command_line.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <shellapi.h>

#include <random>
#include <string>
#include <vector>

#include "launcher/command_line_quote.h"
#include "tests/support/process_capture.h"

namespace {

std::wstring appended(const std::wstring& argument, size_t capacity = 1024) {
  std::vector<wchar_t> units(capacity, L'?');
  command_line_buffer<wchar_t> line{units.data(), capacity, 0};
  units[0] = 0;
  append_argument(&line, argument.c_str());
  EXPECT_EQ(line.length, wcslen(units.data()));
  return std::wstring(units.data(), line.length);
}

TEST(ChildCommandLineQuoting, EachArgumentIsWrittenSoTheSplitterGivesItBack) {
  struct row {
    const wchar_t* argument;
    const wchar_t* text;
  };
  const row rows[] = {
      {L"report.txt", L"report.txt"},
      {L"two words", L"\"two words\""},
      {L"C:\\My Files\\", L"\"C:\\My Files\\\\\""},
      {L"C:\\data\\", L"C:\\data\\"},
      {L"say \"hi\"", L"\"say \\\"hi\\\"\""},
      {L"a\\\"b", L"\"a\\\\\\\"b\""},
      {L"a\\\\b c", L"\"a\\\\b c\""},
      {L"dir name\\\\", L"\"dir name\\\\\\\\\""},
      {L"\"", L"\"\\\"\""},
      // Tab, line feed and vertical tab only cause quoting; they are never escaped.
      {L"a\tb", L"\"a\tb\""},
      {L"a\nb", L"\"a\nb\""},
      {L"a\vb", L"\"a\vb\""},
      // Other control characters are ordinary.
      {L"a\rb", L"a\rb"},
      {L"a\fb", L"a\fb"},
      {L"\\\\server\\share", L"\\\\server\\share"},
      {L"\\\\", L"\\\\"},
      {L" ", L"\" \""},
      {L"\\ \\", L"\"\\ \\\\\""},
      {L"\"\"", L"\"\\\"\\\"\""},
      // An empty argument would otherwise vanish between two spaces.
      {L"", L"\"\""},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(r.argument)));
    EXPECT_EQ(appended(r.argument), r.text);
  }
}

TEST(ChildCommandLineQuoting, TheBufferIsFilledToItsLastCharacterAndNeverPast) {
  // 9 units hold 8 characters: a bare argument of 8 fits exactly.
  EXPECT_EQ(appended(L"abcdefgh", 9), L"abcdefgh");
  EXPECT_EQ(appended(L"\"a b\"", 10), L"\"\\\"a b\\\"\"");
  EXPECT_DEATH(appended(L"abcdefghi", 9), "");
  // The quoted form is longer than the argument: the closing quote is the one too many.
  EXPECT_DEATH(appended(L"a b c d", 9), "");
  EXPECT_DEATH(appended(L"", 2), "");
}

// Appends the vector the way build_child_command_line does, then asks the real splitter.
std::vector<std::wstring> split_again(const std::vector<std::wstring>& argv) {
  static std::vector<wchar_t> units(child_command_line_capacity);
  command_line_buffer<wchar_t> line{units.data(), units.size(), 0};
  units[0] = 0;
  for (size_t i = 0; i < argv.size(); ++i) {
    if (i > 0) command_line_append<wchar_t>(&line, L' ');
    append_argument(&line, argv[i].c_str());
  }
  int count = 0;
  wchar_t** split = CommandLineToArgvW(units.data(), &count);
  std::vector<std::wstring> result;
  if (!split) return result;
  for (int i = 0; i < count; ++i) result.emplace_back(split[i]);
  LocalFree(split);
  return result;
}

TEST(ChildCommandLineQuoting, RandomVectorsSurviveTheSystemSplitter) {
  // Characters that matter to the splitter, weighted towards the troublesome ones.
  const wchar_t alphabet[] = {L'a',  L'b',  L'\\', L'\\', L'\\', L'"',      L'"',      L' ', L'\t',
                              L'\n', L'\v', L'\r', L'\f', L'/',  L'\u00e9', L'\u4e2d', L'^', L'%'};
  std::mt19937 random(20240611);
  std::uniform_int_distribution<int> pick(0, static_cast<int>(std::size(alphabet)) - 1);
  std::uniform_int_distribution<int> length(0, 8);
  std::uniform_int_distribution<int> arguments(0, 6);
  const std::wstring program = L"C:\\Program Files\\Tool\\tool.exe";
  int failures = 0;
  for (int trial = 0; trial < 4000 && failures < 5; ++trial) {
    std::vector<std::wstring> argv = {program};
    for (int n = arguments(random); n > 0; --n) {
      std::wstring argument;
      for (int k = length(random); k > 0; --k) argument.push_back(alphabet[pick(random)]);
      argv.push_back(argument);
    }
    std::vector<std::wstring> back = split_again(argv);
    if (back != argv) {
      ++failures;
      ADD_FAILURE() << "trial " << trial << ": " << testing::PrintToString(argv) << " came back as "
                    << testing::PrintToString(back);
    }
  }
}

void collect(void* context, int, const wchar_t* argument) {
  static_cast<std::vector<std::wstring>*>(context)->emplace_back(argument);
}

TEST(ChildCommandLine, RandomLinesSplitAsTheSystemSplitsThem) {
  const wchar_t alphabet[] = {L'a', L'\\', L'\\', L'"', L'"', L'"', L' ', L'\t', L'\n', L'\u00e9'};
  std::mt19937 random(20261207);
  std::uniform_int_distribution<int> pick(0, static_cast<int>(std::size(alphabet)) - 1);
  std::uniform_int_distribution<int> length(1, 16);
  std::vector<wchar_t> scratch(32);
  int failures = 0;
  for (int trial = 0; trial < 20000 && failures < 5; ++trial) {
    std::wstring line;
    for (int k = length(random); k > 0; --k) line.push_back(alphabet[pick(random)]);
    std::vector<std::wstring> ours;
    split_command_line(line.c_str(), scratch.data(), collect, &ours);
    int count = 0;
    wchar_t** split = CommandLineToArgvW(line.c_str(), &count);
    ASSERT_TRUE(split);
    std::vector<std::wstring> system(split, split + count);
    LocalFree(split);
    if (ours != system) {
      ++failures;
      ADD_FAILURE() << testing::PrintToString(line) << ": " << testing::PrintToString(ours) << " against "
                    << testing::PrintToString(system);
    }
  }
}

// The line is built from the process's own command line, so the case runs again in a copy of
// this test started with arguments chosen here, some spelled unlike the way they are rewritten.
const wchar_t kOwnCase[] = L"--gtest_filter=ChildCommandLine.BuiltFromThisProcessesOwnLine";

TEST(ChildCommandLine, BuiltFromThisProcessesOwnLine) {
  wchar_t module[4096];
  DWORD length = GetModuleFileNameW(nullptr, module, 4096);
  ASSERT_GT(length, 0u);
  if (GetEnvironmentVariableW(L"TAVREN_CHILD_LINE_CASE", nullptr, 0) == 0) {
    run_options options;
    options.set_env.push_back({L"TAVREN_CHILD_LINE_CASE", L"1"});
    captured_run run = run_captured(
        module,
        std::wstring(L"self ") + kOwnCase + L" two\" \"words \"C:\\data\\\\\" \"\" a\\\\\\\"b \"say \\\"hi\\\"\"",
        options);
    EXPECT_EQ(run.exit_code, 0u) << run.out << run.err;
    EXPECT_NE(run.out.find("[  PASSED  ] 1 test"), std::string::npos) << run.out;
    return;
  }
  build_child_command_line();
  EXPECT_STREQ(g_own_path_for_launch, module);
  EXPECT_EQ(std::wstring(g_child_command_line),
            appended(module) + L" " + kOwnCase + L" \"two words\" C:\\data\\ \"\" \"a\\\\\\\"b\" \"say \\\"hi\\\"\"");
}

}  // namespace
