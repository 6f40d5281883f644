#include "paths/environment.h"

#include <stdlib.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "tests/support/process_capture.h"

namespace {

captured_run run_operation(std::initializer_list<std::wstring> args) {
  std::wstring line = L"operation_runner";
  for (const auto& a : args) line += L" " + quote_argument(a);
  return run_captured(beside_test_binary(L"operation_runner.exe"), line);
}

std::wstring take(wchar_t* value) {
  std::wstring result = value ? value : L"(null)";
  free(value);
  return result;
}

const char kName[] = "TAVREN_ENVIRONMENT_TEST";

class EnvironmentAccess : public ::testing::Test {
 protected:
  void TearDown() override { SetEnvironmentVariableW(L"TAVREN_ENVIRONMENT_TEST", nullptr); }
};

TEST_F(EnvironmentAccess, ValueRoundTripsThroughTheSystemUnderTheWidenedName) {
  const std::wstring value = L"C:\\a b\\\x00e9\x4e2d;x=y";
  EXPECT_TRUE(env_set(kName, value.c_str()));
  wchar_t seen[64] = {};
  ASSERT_EQ(GetEnvironmentVariableW(L"TAVREN_ENVIRONMENT_TEST", seen, 64), value.size());
  EXPECT_EQ(std::wstring(seen), value);
  EXPECT_EQ(take(env_get(kName)), value);

  // Each read is a fresh copy: the caller may keep and free it.
  wchar_t* first = env_get(kName);
  wchar_t* second = env_get(kName);
  EXPECT_NE(first, second);
  free(first);
  free(second);

  EXPECT_TRUE(env_remove(kName));
  EXPECT_EQ(take(env_get(kName)), L"(null)");
  EXPECT_EQ(GetEnvironmentVariableW(L"TAVREN_ENVIRONMENT_TEST", seen, 64), 0u);
}

TEST_F(EnvironmentAccess, EmptyValueReadsBackLikeAnAbsentOne) {
  ASSERT_TRUE(env_set(kName, L""));
  EXPECT_EQ(take(env_get(kName)), L"(null)");
  EXPECT_EQ(take(env_get("TAVREN_NEVER_SET_ANYWHERE")), L"(null)");
}

TEST_F(EnvironmentAccess, LongestValueIsReadBackWhole) {
  static wchar_t direct[env_value_capacity];
  for (size_t length : {32766u, 32767u}) {
    std::wstring value(length, L'v');
    value.front() = L'<';
    value.back() = L'>';
    ASSERT_TRUE(env_set(kName, value.c_str()));
    if (GetEnvironmentVariableW(L"TAVREN_ENVIRONMENT_TEST", direct, env_value_capacity) != length) {
      GTEST_SKIP() << "the system itself does not read a value of " << length
                   << " units back whole into 32768 units (Wine 8 drops the last unit and reports success)";
    }
    EXPECT_EQ(take(env_get(kName)), value) << length << " units";
  }
}

TEST(WidenAppend, AppendsAfterExistingTextUpToTheCapacity) {
  wchar_t buffer[8] = L"ab";
  widen_append(buffer, "1234", 7);
  EXPECT_EQ(std::wstring(buffer), L"ab1234");
  widen_append(buffer, "", 7);
  EXPECT_EQ(std::wstring(buffer), L"ab1234");

  wchar_t empty[2] = {0, L'#'};
  widen_append(empty, "", 1);
  EXPECT_EQ(empty[0], 0);
  EXPECT_EQ(empty[1], L'#');
}

// A name or text that does not fit ends the process silently instead of being truncated.
TEST(WidenAppend, TooLongResultAbortsWithoutAMessage) {
  captured_run tight = run_operation({L"widen_append", L"ab", L"1234", L"6"});
  EXPECT_EQ(tight.exit_code, 3u);
  EXPECT_EQ(tight.out + tight.err, "");

  const std::wstring name39(39, L'N');
  captured_run longest = run_operation({L"env_get", name39});
  EXPECT_EQ(longest.exit_code, 0u);
  EXPECT_EQ(longest.out, "(null)");

  captured_run too_long = run_operation({L"env_get", name39 + L"N"});
  EXPECT_EQ(too_long.exit_code, 3u);
  EXPECT_EQ(too_long.out + too_long.err, "");
}

}  // namespace
