#include "packer/pe_exports.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<unsigned char>;

bytes fixture(const char* name) {
  std::ifstream in(std::string(TAVREN_FIXTURES) + "/" + name, std::ios::binary);
  return bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class PeExports : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!TAVREN_HAVE_FIXTURES) GTEST_SKIP() << "no MinGW driver to build the test DLLs";
    library_ = fixture("main_library.dll");
    ASSERT_GT(library_.size(), 512u);
    pe_ = library_[0x3C] | library_[0x3D] << 8;
  }
  const char* fault(const bytes& image) { return main_library_fault(image.data(), image.size()); }

  bytes library_;
  size_t pe_ = 0;
};

TEST_F(PeExports, AcceptsA64BitDllExportingRunCode) { EXPECT_EQ(fault(library_), nullptr); }

TEST_F(PeExports, RefusesAnExportThatOnlyStartsLikeRunCode) {
  bytes other = fixture("other_library.dll");
  ASSERT_FALSE(other.empty());
  EXPECT_STREQ(fault(other), "does not export run_code");
}

TEST_F(PeExports, RefusesWrongKindsOfImage) {
  bytes image = library_;
  image[pe_ + 24] = 0x0B;  // optional header magic PE32
  image[pe_ + 25] = 0x01;
  EXPECT_STRNE(fault(image), nullptr);

  image = library_;
  image[pe_ + 4] = 0x4C;  // machine i386
  image[pe_ + 5] = 0x01;
  EXPECT_STREQ(fault(image), "built neither for x86-64 nor for ARM64");

  image = library_;
  image[pe_ + 23] &= ~0x20;  // IMAGE_FILE_DLL cleared
  EXPECT_STREQ(fault(image), "an executable, not a DLL");

  image = library_;
  image[0x3C] = 0xF0;  // PE header offset far past the end
  image[0x3F] = 0xFF;
  EXPECT_STRNE(fault(image), nullptr);

  EXPECT_STRNE(fault(bytes{'M', 'Z'}), nullptr);
  EXPECT_STRNE(fault(bytes{}), nullptr);
}

TEST_F(PeExports, ArbitraryDamageNeverReadsOutOfBounds) {
  // Every prefix, then random byte changes in the headers and the export data; each copy is
  // exactly as large as its bytes so a stray read is caught by the allocator's guards.
  for (size_t size = 0; size < library_.size(); size += 7) {
    bytes prefix(library_.begin(), library_.begin() + static_cast<std::ptrdiff_t>(size));
    if (size < pe_ + 24 + 112)
      EXPECT_STRNE(fault(prefix), nullptr) << size;
    else
      fault(prefix);
  }
  std::mt19937 random(42);
  for (int round = 0; round < 3000; ++round) {
    bytes image = library_;
    for (int k = 0; k < 4; ++k) {
      size_t at = random() % 2 ? random() % 1024 : random() % image.size();
      image[at] = static_cast<unsigned char>(random());
    }
    fault(image);
  }
}

}  // namespace
