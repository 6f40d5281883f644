// Every report ends the process or is followed by its end, so each case runs in the operation runner
// and is judged by its exit code and the exact bytes on both streams. The C runtime writes
// the streams in text mode, so each message's newline arrives as CR LF.
#include <windows.h>

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "tests/support/process_capture.h"

namespace {

captured_run run_operation(std::initializer_list<std::wstring> args, const run_options& options = {}) {
  std::wstring line = L"operation_runner";
  for (const auto& a : args) line += L" " + quote_argument(a);
  return run_captured(beside_test_binary(L"operation_runner.exe"), line, options);
}

// The system's own text for `code`, asked for the way the report asks; `found` false when
// the system has none.
std::string system_text(uint32_t code, bool* found) {
  char* text = nullptr;
  DWORD length =
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                     nullptr, code, 0x409, reinterpret_cast<LPSTR>(&text), 0, nullptr);
  *found = length != 0 && text;
  std::string result = *found ? std::string(text, length) : std::string();
  if (text) LocalFree(text);
  return result;
}

std::string stripped(std::string text) {
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
  return text;
}

const char kLaunch[] = "Error, couldn't launch child";

TEST(SystemErrorReport, CarriesSystemTextWithoutItsTrailingLineBreak) {
  bool found = false;
  std::string raw = system_text(ERROR_FILE_NOT_FOUND, &found);
  ASSERT_TRUE(found);
  // The point of the case: the system's text really does end in a line break.
  ASSERT_TRUE(raw.ends_with("\r\n")) << raw;

  captured_run run = run_operation({L"system_error", L"2"});
  EXPECT_EQ(run.exit_code, 0u);
  EXPECT_EQ(run.out, "");
  // Wine's English text, written out: the report must not merely repeat the same system call.
  EXPECT_EQ(run.err, std::string(kLaunch) + " ([Error 2] File not found.)\r\n");
}

TEST(SystemErrorReport, CodeZeroIsReportedWithItsOwnText) {
  bool found = false;
  std::string raw = system_text(0, &found);
  ASSERT_TRUE(found);
  captured_run run = run_operation({L"system_error", L"0"});
  EXPECT_EQ(run.err, std::string(kLaunch) + " ([Error 0] " + stripped(raw) + ")\r\n");
}

TEST(SystemErrorReport, CodeWithTopBitSetPrintsNegative) {
  const uint32_t code = 0x80070005u;
  bool found = false;
  std::string text = stripped(system_text(code, &found));
  captured_run run = run_operation({L"system_error", L"0x80070005"});
  EXPECT_EQ(run.exit_code, 0u);
  EXPECT_EQ(run.err, std::string(kLaunch) + " ([Error -2147024891] " + text + ")\r\n");
}

TEST(SystemErrorReport, CodeWithoutSystemTextKeepsTheReportForm) {
  const uint32_t code = 0x1ABCDEF;
  bool found = true;
  system_text(code, &found);
  ASSERT_FALSE(found) << "the system unexpectedly has a text for this code";
  captured_run run = run_operation({L"system_error", L"0x1ABCDEF"});
  EXPECT_EQ(run.err, std::string(kLaunch) + " ([Error 28036591] )\r\n");
}

TEST(FatalReports, TemplateFailurePrintsTemplateVerbatimThenAborts) {
  captured_run run = run_operation({L"expand_spec_failed", L"{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}"});
  EXPECT_EQ(run.exit_code, 3u) << "abort, not exit(2)";
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "Error, couldn't runtime expand spec '{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}'.\r\n");
}

TEST(FatalReports, OpenForWritingPrintsFullPathAndExitsWith2) {
  captured_run run = run_operation({L"open_for_writing_failed", L"C:\\t\\onefile_1_2_x\\sub dir\\main.dll"});
  EXPECT_EQ(run.exit_code, 2u);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "Error, failed to open 'C:\\t\\onefile_1_2_x\\sub dir\\main.dll' for writing.\r\n");
}

TEST(FatalReports, PathsWithCharactersTheStreamCannotShowAreNeverCut) {
  // A Latin-1 character keeps its one byte; anything beyond it becomes one '?', and the rest
  // of the path still follows, so the message never names a plausible but wrong path.
  captured_run run = run_operation({L"open_for_writing_failed", L"C:\\a\\\x4e2d\\\x00e9\\\xd83d\xde00.dll"});
  EXPECT_EQ(run.exit_code, 2u);
  EXPECT_EQ(run.err, "Error, failed to open 'C:\\a\\?\\\xe9\\?.dll' for writing.\r\n");
}

TEST(FatalReports, UnpackWriteReportsTheLastErrorAndExitsWith2) {
  captured_run run = run_operation({L"unpack_write_failed", L"112"});
  EXPECT_EQ(run.exit_code, 2u);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "Error, couldn't unpack file to target path. ([Error 112] Disk full.)\r\n");
}

TEST(FatalReports, PlainMessageGoesToStandardOutputAndExitsWith2) {
  captured_run run = run_operation({L"plain", L"Error, couldn't find attached data header."});
  EXPECT_EQ(run.exit_code, 2u);
  EXPECT_EQ(run.out, "Error, couldn't find attached data header.\r\n");
  EXPECT_EQ(run.err, "");
}

TEST(FatalReports, WithoutStandardHandlesOnlyTheExitCodeShows) {
  run_options bare;
  bare.no_std_handles = true;
  EXPECT_EQ(run_operation({L"expand_spec_failed", L"{HOME}"}, bare).exit_code, 3u);
  EXPECT_EQ(run_operation({L"open_for_writing_failed", L"C:\\x"}, bare).exit_code, 2u);
  EXPECT_EQ(run_operation({L"unpack_write_failed", L"5"}, bare).exit_code, 2u);
  EXPECT_EQ(run_operation({L"plain", L"Error, DLL entry point not found."}, bare).exit_code, 2u);
}

}  // namespace
