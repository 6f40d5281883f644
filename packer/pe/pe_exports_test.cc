#include "packer/pe/pe_exports.h"

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

// A PE32 image for i386 with one section holding a CLR header with `flags`: what a .NET
// program built for "Any CPU" (IL only) or for 32 bits looks like to the loader.
bytes dotnet_image(uint32_t flags) {
  bytes image(0x400, 0);
  auto put16 = [&](size_t at, uint32_t v) { image[at] = v & 0xFF, image[at + 1] = v >> 8 & 0xFF; };
  auto put32 = [&](size_t at, uint32_t v) { put16(at, v & 0xFFFF), put16(at + 2, v >> 16); };
  image[0] = 'M', image[1] = 'Z';
  put32(0x3C, 0x40);
  image[0x40] = 'P', image[0x41] = 'E';
  size_t coff = 0x44, optional = coff + 20;
  put16(coff, 0x14C);        // i386
  put16(coff + 2, 1);        // one section
  put16(coff + 16, 224);     // PE32 optional header size
  put16(coff + 18, 0x0102);  // executable, 32-bit machine
  put16(optional, 0x10B);
  put16(optional + 68, 3);  // console
  put32(optional + 92, 16);
  put32(optional + 96 + 14 * 8, 0x1000);  // the CLR header
  put32(optional + 96 + 14 * 8 + 4, 72);
  size_t section = optional + 224;
  put32(section + 8, 0x200);    // virtual size
  put32(section + 12, 0x1000);  // virtual address
  put32(section + 16, 0x200);   // raw size
  put32(section + 20, 0x200);   // raw offset
  put32(0x200, 72);
  put32(0x200 + 16, flags);
  return image;
}

TEST(MainFile, AnIlOnlyDotNetProgramRunsAsX64AndOneThatAsksFor32BitsIsRefused) {
  main_entry entry = main_entry::library;
  bytes any_cpu = dotnet_image(1);
  EXPECT_EQ(main_file_fault(any_cpu.data(), any_cpu.size(), &entry), nullptr);
  EXPECT_EQ(entry, main_entry::executable_console);
  for (uint32_t flags : {0u, 1u | 2u, 1u | 0x20000u}) {
    bytes image = dotnet_image(flags);
    EXPECT_STREQ(main_file_fault(image.data(), image.size(), &entry),
                 "a 32-bit (x86) executable; only x64 and ARM64 programs can be packed")
        << flags;
  }
}

}  // namespace
