// The digest against the published SHA-256 values, fed whole and in awkward pieces, by the
// portable code and by the processor's instructions alike: the content key, every cached
// file's check, every delta and every update's check depend on packer and launcher agreeing,
// whichever code each of them happens to run.
#include "base/sha256.h"

#include <gtest/gtest.h>

#include <string>

#include "base/sha256_blocks.h"

namespace {

std::string hex(const unsigned char* digest) {
  std::string text;
  for (size_t i = 0; i < sha256_size; ++i)
    text += "0123456789abcdef"[digest[i] >> 4], text += "0123456789abcdef"[digest[i] & 15];
  return text;
}

std::string hex(const std::string& data, size_t piece) {
  sha256 digest;
  for (size_t at = 0; at < data.size(); at += piece) digest.add(data.data() + at, std::min(piece, data.size() - at));
  unsigned char out[sha256_size];
  digest.finish(out);
  return hex(out);
}

void check_known_answers() {
  EXPECT_EQ(hex("", 1), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(hex("abc", 1), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  std::string two_blocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";  // 56 bytes: padding spills
  for (size_t piece : {1, 7, 64, 1000})
    EXPECT_EQ(hex(two_blocks, piece), "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1") << piece;
  std::string long_message =
      "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu";
  EXPECT_EQ(hex(long_message, 200), "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1");
  EXPECT_EQ(hex(std::string(1000000, 'a'), 4096), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");

  // Every length from 0 to 299 (each block edge and padding spill, up to several blocks in one
  // add), summed up as the digest of their digests.
  sha256 of_all;
  for (size_t n = 0; n < 300; ++n) {
    std::string data(n, '\0');
    for (size_t i = 0; i < n; ++i) data[i] = static_cast<char>(i * 7 + n);
    sha256 one;
    one.add(data.data(), n);
    unsigned char out[sha256_size];
    one.finish(out);
    of_all.add(out, sizeof out);
  }
  unsigned char all[sha256_size];
  of_all.finish(all);
  EXPECT_EQ(hex(all), "d5238871a46ac4a1a75ac3fb19d645b0b3b9e5f35f5f720e2b240d605c6b694e");

  // Every way of cutting 150 bytes into three pieces, empty ones included.
  std::string data(150, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 13 + 5);
  int wrong = 0;
  for (size_t a = 0; a <= data.size(); ++a) {
    for (size_t b = a; b <= data.size(); ++b) {
      sha256 digest;
      digest.add(data.data(), a);
      digest.add(data.data() + a, b - a);
      digest.add(data.data() + b, data.size() - b);
      unsigned char out[sha256_size];
      digest.finish(out);
      if (hex(out) != "0e4a833885ccac0015719aba6b1b598f5098c76109b72272e12d86f3a86131a5" && wrong++ < 3)
        ADD_FAILURE() << "cut at " << a << " and " << b;
    }
  }
}

TEST(Sha256, PortableCodeGivesTheStandardValuesHoweverTheInputIsCut) {
  sha256_use_portable(true);
  check_known_answers();
  sha256_use_portable(false);
}

TEST(Sha256, ProcessorInstructionsGiveTheStandardValuesHoweverTheInputIsCut) {
  if (!sha256_use_portable(false)) GTEST_SKIP() << "this processor has no SHA-256 instructions";
  check_known_answers();
}

}  // namespace
