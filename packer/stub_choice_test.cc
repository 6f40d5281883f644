// The two launcher stubs the packer carries: which one a build takes, what it refuses, and the
// ARM64 stub's own image (the x64 one's is checked by the other packer tests).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "tests/support/native_test_support.h"

namespace {

namespace fs = std::filesystem;
using namespace native_test;

uint32_t u16(const std::string& image, size_t at) {
  return static_cast<unsigned char>(image[at]) | static_cast<unsigned char>(image[at + 1]) << 8;
}
uint32_t u32(const std::string& image, size_t at) { return u16(image, at) | u16(image, at + 2) << 16; }

class StubChoice : public ::testing::Test {
 protected:
  void SetUp() override {
    char root[] = "/tmp/tavren-stub-choice-XXXXXX";
    ASSERT_NE(mkdtemp(root), nullptr);
    root_ = root;
    if (TAVREN_HAVE_FIXTURES) {
      fs::create_directories(root_ / "x64");
      fs::copy_file(fs::path(TAVREN_FIXTURES) / "main_library.dll", root_ / "x64" / "main.dll");
    }
    fs::create_directories(root_ / "arm64");
    fs::copy_file(TAVREN_ARM64_LIBRARY, root_ / "arm64" / "main.dll");
  }
  void TearDown() override { fs::remove_all(root_); }

  run_result pack(const std::string& app, const std::string& output, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {TAVREN_PACK_EXE, "build", app, "--main", "main.dll", "-o", output, "-q"};
    args.insert(args.end(), extra.begin(), extra.end());
    return run_program(args, root_);
  }
  std::string first_line(const std::string& file) {
    std::string out = run_program({TAVREN_PACK_EXE, "list", file}, root_).out;
    return out.substr(0, out.find('\n'));
  }

  fs::path root_;
};

TEST_F(StubChoice, TheMainLibrarysMachinePicksTheStubAndAMismatchIsRefusedInOneLine) {
  if (!TAVREN_HAVE_FIXTURES) GTEST_SKIP() << "no MinGW driver to build the x64 test DLL";
  ASSERT_EQ(pack("arm64", "Arm.exe").status, 0);
  ASSERT_EQ(pack("x64", "X64.exe").status, 0);
  EXPECT_EQ(first_line("Arm.exe"), "launcher: windowed, arm64");
  EXPECT_EQ(first_line("X64.exe"), "launcher: windowed, x64");
  EXPECT_EQ(u16(slurp(root_ / "Arm.exe"), u32(slurp(root_ / "Arm.exe"), 0x3C) + 4), 0xAA64u);
  // --arch may say what the main library says already; a launcher that could not load it is refused.
  fs::create_directories(root_ / "again");
  ASSERT_EQ(pack("arm64", "again/Arm.exe", {"--arch", "arm64"}).status, 0);
  EXPECT_TRUE(slurp(root_ / "again" / "Arm.exe") == slurp(root_ / "Arm.exe")) << "reproducible for ARM64 too";
  for (auto [app, arch] : {std::pair{"arm64", "x64"}, std::pair{"x64", "arm64"}}) {
    run_result r = pack(app, "Wrong.exe", {"--arch", arch});
    EXPECT_EQ(r.status, 2) << arch;
    EXPECT_EQ(r.err, std::string("tavren-pack: main file 'main.dll' is built for ") + app + "; an " + arch +
                         " launcher cannot run it\n");
    EXPECT_FALSE(fs::exists(root_ / "Wrong.exe"));
  }
  // A --stub of the other processor is refused the same way; a blob's main library decides as
  // an app folder's does, --arch or not.
  run_result stub = pack("x64", "Wrong.exe", {"--stub", TAVREN_ARM64_STUB_FILE});
  EXPECT_EQ(stub.status, 2);
  EXPECT_EQ(stub.err, "tavren-pack: the --stub is an arm64 launcher, not the x64 one this build needs\n");
  spit(root_ / "data.bin", "not checked");
  ASSERT_EQ(run_program({TAVREN_PACK_EXE, "payload", "arm64", "--main", "main.dll", "-o", "arm.blob", "-q"}, root_)
                .status,
            0);
  ASSERT_EQ(run_program({TAVREN_PACK_EXE, "build", "--payload", "arm.blob", "-o", "Blob.exe", "-q"}, root_).status, 0);
  EXPECT_EQ(first_line("Blob.exe"), "launcher: windowed, arm64");
  run_result wrong = run_program({TAVREN_PACK_EXE, "build", "--payload", "arm.blob", "-o", "Wrong.exe", "--arch", "x64"},
                                 root_);
  EXPECT_EQ(wrong.status, 2);
  EXPECT_EQ(wrong.err, "tavren-pack: main file 'main.dll' is built for arm64; an x64 launcher cannot run it\n");
  EXPECT_FALSE(fs::exists(root_ / "Wrong.exe"));
  EXPECT_EQ(run_program({TAVREN_PACK_EXE, "build", "arm64", "--main", "main.dll", "-o", "B.exe", "--arch", "ia64"},
                        root_)
                .status,
            2);
}

TEST_F(StubChoice, TheArm64LauncherIsAHardenedArm64ImageImportingOnlySystemLibraries) {
  ASSERT_EQ(pack("arm64", "Arm.exe").status, 0);
  std::string exe = slurp(root_ / "Arm.exe");
  size_t coff = u32(exe, 0x3C) + 4, optional = coff + 20, table = optional + u16(exe, coff + 16);
  EXPECT_EQ(u16(exe, coff), 0xAA64u) << "machine";
  uint32_t dll_characteristics = u16(exe, optional + 70);
  EXPECT_EQ(dll_characteristics & 0x0020u, 0x0020u) << "high-entropy ASLR";
  EXPECT_EQ(dll_characteristics & 0x0040u, 0x0040u) << "ASLR";
  EXPECT_EQ(dll_characteristics & 0x0100u, 0x0100u) << "NX";
  // Unwinding on ARM64 Windows needs the function tables: the exception directory names .pdata.
  bool pdata = false;
  for (size_t i = 0; i < u16(exe, coff + 2); ++i)
    if (exe.substr(table + 40 * i, 8).c_str() == std::string(".pdata"))
      pdata = u32(exe, table + 40 * i + 12) == u32(exe, optional + 112 + 3 * 8);
  EXPECT_TRUE(pdata);
  std::string dump = run_program({"llvm-objdump-14", "-p", (root_ / "Arm.exe").string()}, root_).out;
  std::string names;
  for (size_t at = dump.find("DLL Name: "); at != std::string::npos; at = dump.find("DLL Name: ", at + 1))
    names += dump.substr(at + 10, dump.find('\n', at) - at - 10) + " ";
  EXPECT_EQ(names, "KERNEL32.dll msvcrt.dll ");
  // The packer found the stub's descriptor, filled it, and reads it back.
  run_result verify = run_program({TAVREN_PACK_EXE, "verify", "Arm.exe"}, root_);
  EXPECT_EQ(verify.status, 0) << verify.err;
  run_result bare = run_program({TAVREN_PACK_EXE, "verify", TAVREN_ARM64_STUB_FILE}, root_);
  EXPECT_NE(bare.err.find("a launcher stub with no payload"), std::string::npos) << bare.err;
}

}  // namespace
