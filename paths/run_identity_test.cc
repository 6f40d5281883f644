#include "paths/run_identity.h"

#include <stdlib.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <set>
#include <string>

namespace {

using bytes8 = std::array<uint8_t, 8>;

bytes8 generated(uint32_t seed) {
  bytes8 b{};
  xorshift_bytes(seed, b.data());
  return b;
}

std::wstring encoded(const bytes8& b) {
  wchar_t text[13];
  wmemset(text, L'#', 13);
  encode_random_text(b.data(), text);
  EXPECT_EQ(text[11], 0) << "terminator after the eleventh character";
  EXPECT_EQ(text[12], L'#') << "nothing written past the terminator";
  return text;
}

TEST(RandomGenerator, FollowsXorshift32FromItsSeed) {
  EXPECT_EQ(generated(1), (bytes8{0x21, 0x01, 0xC5, 0x4F, 0xD1, 0xD0, 0x1A, 0xB2}));
  EXPECT_EQ(generated(0), generated(1)) << "a zero seed would make zeros forever";
  EXPECT_EQ(generated(0xDEADBEEF), (bytes8{0xB7, 0x42, 0x58, 0x3B, 0x48, 0x1B, 0x5C, 0xB3}));
}

TEST(RandomGenerator, FreshBytesComeFromTheSystemAndNeverRepeat) {
  std::set<bytes8> seen;
  for (int i = 0; i < 32; ++i) {
    bytes8 b{};
    EXPECT_EQ(make_random_bytes(b.data()), random_from_system);
    seen.insert(b);
  }
  EXPECT_EQ(seen.size(), 32u);
}

TEST(RandomText, IsUrlSafeBase64WithoutPadding) {
  EXPECT_EQ(encoded(generated(1)), L"IQHFT9HQGrI");
  EXPECT_EQ(encoded({0, 0, 0, 0, 0, 0, 0, 0}), L"AAAAAAAAAAA");
  EXPECT_EQ(encoded({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), L"__________8");
  EXPECT_EQ(encoded({0xFB, 0xEF, 0xBE, 0xFB, 0xEF, 0xBE, 0xFB, 0xEF}), L"----------8");
  EXPECT_EQ(encoded({0x00, 0x10, 0x83, 0x10, 0x51, 0x87, 0x20, 0x92}), L"ABCDEFGHIJI");
  EXPECT_EQ(encoded({0xD3, 0x5D, 0xB7, 0xE3, 0x9E, 0xBB, 0xF3, 0xDF}), L"01234567898");
}

const wchar_t* variable_of(identity_token token) {
  return token == identity_time      ? L"TAVREN_ONEFILE_START"
         : token == identity_time_us ? L"TAVREN_ONEFILE_TIME_US"
                                     : L"TAVREN_ONEFILE_RANDOM";
}

std::wstring stored(identity_token token) {
  wchar_t value[identity_value_capacity];
  DWORD length = GetEnvironmentVariableW(variable_of(token), value, identity_value_capacity);
  return length ? std::wstring(value, length) : L"(unset)";
}

int64_t now_count() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return static_cast<int64_t>((static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
}

class IdentityText : public ::testing::Test {
 protected:
  void SetUp() override { clear(); }
  void TearDown() override { clear(); }
  static void clear() {
    for (auto token : {identity_time, identity_time_us, identity_random}) {
      SetEnvironmentVariableW(variable_of(token), nullptr);
    }
  }
  std::wstring text(identity_token token) {
    bool owned = false;
    const wchar_t* value = identity_text(token, value_, &owned);
    std::wstring result = value;
    if (owned) {
      EXPECT_NE(value, value_);
      free(const_cast<wchar_t*>(value));
    } else {
      EXPECT_EQ(value, value_);
    }
    return result;
  }
  wchar_t value_[identity_value_capacity];
};

TEST_F(IdentityText, RandomIsMadeOnceStoredAndMadeAgainAfterRemoval) {
  const std::wstring first = text(identity_random);
  ASSERT_EQ(first.size(), 11u);
  EXPECT_EQ(first.find_first_not_of(L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
            std::wstring::npos);
  EXPECT_EQ(stored(identity_random), first);
  EXPECT_EQ(text(identity_random), first);

  SetEnvironmentVariableW(L"TAVREN_ONEFILE_RANDOM", nullptr);
  const std::wstring second = text(identity_random);
  EXPECT_NE(second, first);
  EXPECT_EQ(stored(identity_random), second);

  // An empty variable counts as unset.
  SetEnvironmentVariableW(L"TAVREN_ONEFILE_RANDOM", L"");
  EXPECT_EQ(text(identity_random).size(), 11u);
  EXPECT_NE(stored(identity_random), L"");
}

TEST_F(IdentityText, InheritedValuesAreUsedUnchecked) {
  SetEnvironmentVariableW(L"TAVREN_ONEFILE_RANDOM", L"a\\b..xyz_long_random_text");
  SetEnvironmentVariableW(L"TAVREN_ONEFILE_TIME_US", L"42");
  SetEnvironmentVariableW(L"TAVREN_ONEFILE_START", L"not a time");
  EXPECT_EQ(text(identity_random), L"a\\b..xyz_long_random_text");
  EXPECT_EQ(text(identity_time_us), L"42");
  EXPECT_EQ(text(identity_time), L"not a time");
}

TEST_F(IdentityText, TimesAreTheClockInTheirFixedForms) {
  const int64_t before = now_count();
  const std::wstring time = text(identity_time);
  const std::wstring micro = text(identity_time_us);
  const int64_t after = now_count();

  ASSERT_EQ(time.size(), 18u) << "present-day counts have 18 digits";
  const int64_t count = _wtoi64(time.c_str());
  EXPECT_GE(count, before);
  EXPECT_LE(count, after);
  EXPECT_EQ(stored(identity_time), time);

  ASSERT_EQ(micro.size(), 6u);
  EXPECT_EQ(micro.find_first_not_of(L"0123456789"), std::wstring::npos);
  EXPECT_EQ(stored(identity_time_us), micro);
  const int64_t low = (before / 10) % 1000000, high = (after / 10) % 1000000, us = _wtoi(micro.c_str());
  if (low <= high) {  // no second boundary in between
    EXPECT_GE(us, low);
    EXPECT_LE(us, high);
  }
}

}  // namespace
