// The request an application writes, as any language's plain file writing gives it.
#include "launcher/update/update_request.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct parsed {
  bool ok;
  std::string why;
  update_request request;
};

parsed parse(const std::string& text) {
  static update_request request;
  const char* why = "";
  bool ok = parse_update_request(text.data(), text.size(), &request, &why);
  return {ok, ok ? "" : why, request};
}

TEST(UpdateRequest, TakesEveryKeyWithEitherLineEndAndQuotesTheArgumentsForTheCommandLine) {
  parsed p = parse(
      "\xEF\xBB\xBF"
      "file=C:\\Downloads\\caf\xC3\xA9.exe\r\nrestart=yes\n"
      "argument=--updated\nargument=a b\nargument=\nargument=x\"y\\\n\nallow-downgrade=1");
  ASSERT_TRUE(p.ok) << p.why;
  EXPECT_STREQ(p.request.file, L"C:\\Downloads\\caf\u00e9.exe");
  EXPECT_TRUE(p.request.restart);
  EXPECT_TRUE(p.request.allow_downgrade);
  EXPECT_STREQ(p.request.arguments, L" --updated \"a b\" \"\" \"x\\\"y\\\\\"");

  parsed plain = parse("file=\\\\server\\share\\app.exe\n");
  ASSERT_TRUE(plain.ok) << plain.why;
  EXPECT_FALSE(plain.request.restart);
  EXPECT_FALSE(plain.request.allow_downgrade);
  EXPECT_STREQ(plain.request.arguments, L"");
}

TEST(UpdateRequest, RefusesWhatItCannotTakeForCertainWithOneReason) {
  const struct {
    std::string text;
    const char* why;
  } cases[] = {
      {"", "the request names no file"},
      {"restart=yes\n", "the request names no file"},
      {"file=app.exe", "the request's file is not a full path"},
      {"file=C:\\a.exe\nfile=C:\\b.exe", "the request names more than one file"},
      {"file=C:\\a.exe\nrestart=maybe", "restart is neither yes nor no"},
      {"file=C:\\a.exe\nreboot=yes", "the request has an unknown key"},
      {"file=C:\\a.exe\nrestart", "a line of the request has no '='"},
      {"file=C:\\a\xFF.exe", "the request is not UTF-8 text"},
      {std::string("file=C:\\a.exe\0x", 15), "the request holds a zero character"},
  };
  for (const auto& c : cases) {
    parsed p = parse(c.text);
    EXPECT_FALSE(p.ok) << c.text;
    EXPECT_EQ(p.why, c.why) << c.text;
  }
}

}  // namespace
