#include "packer/names.h"

#include <gtest/gtest.h>

namespace {

TEST(EntryNames, Utf8IsDecodedStrictly) {
  EXPECT_EQ(utf8_to_utf16("bin/app.dll"), u"bin/app.dll");
  EXPECT_EQ(utf8_to_utf16("caf\xC3\xA9"), u"caf\u00e9");
  EXPECT_EQ(utf8_to_utf16("\xF0\x9F\x98\x80"), u"\U0001F600");  // two units
  const char* invalid[] = {"\xC0\xAF",
                           "\xE0\x80\xAF",
                           "\xED\xA0\x80",
                           "\xF4\x90\x80\x80",
                           "\xE2\x82",
                           "\x80",
                           "a\xFF"
                           "b"};
  for (const char* text : invalid) EXPECT_FALSE(utf8_to_utf16(text)) << quote_name(text);
}

TEST(EntryNames, Utf16BackToUtf8MarksUnpairedSurrogates) {
  bool valid = false;
  EXPECT_EQ(utf16_to_utf8(u"a\U0001F600", &valid), "a\xF0\x9F\x98\x80");
  EXPECT_TRUE(valid);
  std::u16string lone = u"x";
  lone += static_cast<char16_t>(0xD800);
  EXPECT_EQ(utf16_to_utf8(lone, &valid), "x\xEF\xBF\xBD");
  EXPECT_FALSE(valid);
}

TEST(EntryNames, MessagesNeverCarryRawControlOrInvalidBytes) {
  EXPECT_EQ(quote_name("data/x.bin"), "'data/x.bin'");
  EXPECT_EQ(quote_name("a\x1b[2Jb\xFF\xC3\xA9"), "'a\\x1B[2Jb\\xFF\xC3\xA9'");
  EXPECT_EQ(quote_name("\xC2\x9B"
                       "2J\xC2\xA0"),
            "'\\xC2\\x9B2J\xC2\xA0'");
}

TEST(EntryNames, WindowsComponentRules) {
  const char* accepted[] = {"app.dll", "with space", ".hidden", "CONFIG", "con2", "COM0x", "a..b", "\xC3\xA9"};
  for (const char* name : accepted) EXPECT_EQ(windows_component_fault(name), nullptr) << name;
  const char* refused[] = {"a:b",  "a?",     "*",   "a<b",     "a>b", "a|b",      "a\"b",     "tab\tin", "back\\slash",
                           "dot.", "space ", "CON", "con.txt", "Nul", "LPT9.log", "aux .txt", "com1"};
  for (const char* name : refused) EXPECT_NE(windows_component_fault(name), nullptr) << name;
}

TEST(EntryNames, CaseFoldingMatchesWhatWindowsTreatsAsOneName) {
  EXPECT_EQ(fold_case(u"Bin\\App.DLL"), fold_case(u"bin\\app.dll"));
  EXPECT_EQ(fold_case(u"\u00c4rger"), fold_case(u"\u00e4RGER"));  // Latin-1
  EXPECT_EQ(fold_case(u"\u03a9mega"), fold_case(u"\u03c9mega"));  // Greek
  EXPECT_EQ(fold_case(u"\u0416"), fold_case(u"\u0436"));          // Cyrillic
  EXPECT_NE(fold_case(u"a.txt"), fold_case(u"b.txt"));
  EXPECT_EQ(fold_case(u"\U0001F600"), u"\U0001F600");
}

TEST(EntryNames, AFileNameWithALoneSurrogateIsShownWithItSpeltOut) {
  bool valid;
  EXPECT_EQ(shown_file_name(u"Zo\u00eb \U0001F600", &valid), "Zo\xC3\xAB \xF0\x9F\x98\x80");
  EXPECT_TRUE(valid);
  EXPECT_EQ(shown_file_name(std::u16string(u"a") + char16_t(0xD800) + u"b" + char16_t(0xDC01), &valid),
            "a\\uD800b\\uDC01");
  EXPECT_FALSE(valid);
}

}  // namespace
