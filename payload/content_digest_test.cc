// The digest against the published SHA-256 values, fed whole and in awkward pieces: the
// content key and every cached file's check depend on packer and launcher agreeing.
#include "payload/content_digest.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string hex(const std::string& data, size_t piece) {
  content_digest digest;
  for (size_t at = 0; at < data.size(); at += piece) digest.add(data.data() + at, std::min(piece, data.size() - at));
  unsigned char out[content_digest_size];
  digest.finish(out);
  std::string text;
  for (unsigned char b : out) text += "0123456789abcdef"[b >> 4], text += "0123456789abcdef"[b & 15];
  return text;
}

TEST(ContentDigest, MatchesTheStandardValuesHoweverTheInputIsCut) {
  EXPECT_EQ(hex("", 1), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  std::string two_blocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";  // 56 bytes: padding spills
  for (size_t piece : {1, 7, 64, 1000})
    EXPECT_EQ(hex(two_blocks, piece), "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1") << piece;
  EXPECT_EQ(hex(std::string(1000000, 'a'), 4096), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

}  // namespace
