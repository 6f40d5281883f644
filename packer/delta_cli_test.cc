// `tavren-pack delta` as a publisher runs it: real launchers of three releases, the deltas
// between them, and every file a delta must refuse.
#include <stdlib.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/native_test_support.h"

namespace {

namespace fs = std::filesystem;
using namespace native_test;

class DeltaCli : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!TAVREN_HAVE_FIXTURES) GTEST_SKIP() << "no MinGW driver to build the test DLL";
    char root[] = "/tmp/tavren-delta-test-XXXXXX";
    ASSERT_NE(mkdtemp(root), nullptr);
    root_ = root;
    fs::path app = root_ / "app";
    fs::create_directories(app / "bin");
    fs::copy_file(fs::path(TAVREN_FIXTURES) / "main_library.dll", app / "bin" / "app.dll");
    std::string big(400000, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 2654435761u) >> 13);
    spit(app / "data" / "big.bin", big);
    spit(app / "readme.txt", "release 1.0\n");
    build("1.0.exe", "1.0.0.0");
    spit(app / "readme.txt", "release 1.1, with a longer note\n");
    build("1.1.exe", "1.1.0.0");
    spit(app / "data" / "added.txt", std::string(5000, 'a'));
    build("1.2.exe", "1.2.0.0");
  }
  void TearDown() override {
    if (!root_.empty()) fs::remove_all(root_);
  }

  void build(const std::string& output, const std::string& version, const std::string& product = "App") {
    ASSERT_EQ(run({"build", "app", "--main", "bin/app.dll", "-o", output, "--product", product, "--company", "Me",
                   "--file-version", version, "--frame-cut", "content", "--frame-size", "64K", "-q"})
                  .status,
              0);
  }
  run_result run(const std::vector<std::string>& args) {
    std::vector<std::string> argv{TAVREN_PACK_EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, root_);
  }
  /// Exit status 1, one line naming `message`, and no output.
  void expect_refused(const run_result& r, const std::string& message, const std::string& output) {
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    EXPECT_NE(r.err.find(message), std::string::npos) << "wanted: " << message << "\ngot: " << r.err;
    EXPECT_FALSE(fs::exists(root_ / output));
  }

  fs::path root_;
};

TEST_F(DeltaCli, RebuildsEachReleaseByteForByteAndChains) {
  run_result made = run({"delta", "1.0.exe", "1.1.exe", "-o", "1.1.tdelta"});
  ASSERT_EQ(made.status, 0) << made.err;
  EXPECT_NE(made.out.find("delta 1.1.tdelta: "), std::string::npos) << made.out;
  // The last release signed: its certificate table travels like any other bytes.
  auto tool = [&](std::vector<std::string> argv) { return run_program(argv, root_).status; };
  ASSERT_EQ(tool({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "key.pem", "-out", "cert.pem",
                  "-days", "2", "-subj", "/CN=Tavren Test", "-batch"}),
            0);
  ASSERT_EQ(tool({"osslsigncode", "sign", "-certs", "cert.pem", "-key", "key.pem", "-h", "sha256", "-in", "1.2.exe",
                  "-out", "1.2-signed.exe"}),
            0);
  fs::rename(root_ / "1.2-signed.exe", root_ / "1.2.exe");
  ASSERT_EQ(run({"delta", "1.1.exe", "1.2.exe", "-o", "1.2.tdelta", "-q"}).status, 0);
  // Only what changed travels: far less than the launcher.
  EXPECT_LT(fs::file_size(root_ / "1.1.tdelta") * 10, fs::file_size(root_ / "1.1.exe"));

  ASSERT_EQ(run({"delta", "1.0.exe", "--apply", "1.1.tdelta", "-o", "got-1.1.exe"}).status, 0);
  ASSERT_EQ(run({"delta", "got-1.1.exe", "--apply", "1.2.tdelta", "-o", "got-1.2.exe", "-q"}).status, 0);
  EXPECT_EQ(slurp(root_ / "got-1.1.exe"), slurp(root_ / "1.1.exe"));
  EXPECT_EQ(slurp(root_ / "got-1.2.exe"), slurp(root_ / "1.2.exe"));
  EXPECT_EQ(tool({"osslsigncode", "verify", "-CAfile", "cert.pem", "got-1.2.exe"}), 0);
}

TEST_F(DeltaCli, RefusesLaunchersOfAnotherProductOrProcessorAndOtherFiles) {
  build("other.exe", "1.1.0.0", "Other");
  expect_refused(run({"delta", "1.0.exe", "other.exe", "-o", "x.tdelta"}),
                 "'1.0.exe' is 'App' of 'Me' and 'other.exe' is 'Other' of 'Me': a delta joins two releases of one "
                 "product",
                 "x.tdelta");
  // The same product for ARM64: its main library marked as an ARM64 one takes the ARM64 stub.
  std::string library = slurp(root_ / "app" / "bin" / "app.dll");
  size_t machine = (static_cast<unsigned char>(library[0x3C]) | static_cast<unsigned char>(library[0x3D]) << 8) + 4;
  library[machine] = '\x64', library[machine + 1] = '\xAA';
  fs::create_directories(root_ / "arm" / "bin");
  spit(root_ / "arm" / "bin" / "app.dll", library);
  ASSERT_EQ(run({"build", "arm", "--main", "bin/app.dll", "--product", "App", "--company", "Me", "-o", "arm.exe", "-q"})
                .status,
            0);
  expect_refused(run({"delta", "1.0.exe", "arm.exe", "-o", "x.tdelta"}),
                 "'1.0.exe' is an x64 launcher and 'arm.exe' an arm64 one", "x.tdelta");
  expect_refused(run({"delta", "app/readme.txt", "1.1.exe", "-o", "x.tdelta"}),
                 "'app/readme.txt': not a launcher made by tavren-pack", "x.tdelta");
  run_result usage = run({"delta", "1.0.exe", "-o", "x.tdelta"});
  EXPECT_EQ(usage.status, 2);
  EXPECT_NE(usage.err.find("delta needs OLD and NEW"), std::string::npos) << usage.err;
}

TEST_F(DeltaCli, RefusesADeltaForAnotherBaseOrProductOrDamagedWritingNothing) {
  ASSERT_EQ(run({"delta", "1.1.exe", "1.2.exe", "-o", "1.2.tdelta", "-q"}).status, 0);
  expect_refused(run({"delta", "1.0.exe", "--apply", "1.2.tdelta", "-o", "out.exe"}),
                 "'1.2.tdelta': the delta was made for another release", "out.exe");

  std::string delta = slurp(root_ / "1.2.tdelta");
  spit(root_ / "cut.tdelta", delta.substr(0, delta.size() - 5));
  expect_refused(run({"delta", "1.1.exe", "--apply", "cut.tdelta", "-o", "out.exe"}), "'cut.tdelta': the delta",
                 "out.exe");
  std::string damaged = delta;
  damaged[damaged.size() - 20] ^= 0x40;
  spit(root_ / "damaged.tdelta", damaged);
  expect_refused(run({"delta", "1.1.exe", "--apply", "damaged.tdelta", "-o", "out.exe"}),
                 "'damaged.tdelta': ", "out.exe");
  expect_refused(run({"delta", "1.1.exe", "--apply", "app/readme.txt", "-o", "out.exe"}),
                 "'app/readme.txt': not a delta", "out.exe");

  build("other-1.0.exe", "1.0.0.0", "Other");
  build("other-1.1.exe", "1.1.0.0", "Other");
  ASSERT_EQ(run({"delta", "other-1.0.exe", "other-1.1.exe", "-o", "other.tdelta", "-q"}).status, 0);
  expect_refused(run({"delta", "1.0.exe", "--apply", "other.tdelta", "-o", "out.exe"}),
                 "'other.tdelta' is a delta for another product or processor than '1.0.exe'", "out.exe");
}

}  // namespace
