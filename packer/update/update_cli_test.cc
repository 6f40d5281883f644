// The packer's update commands as users run them: making a key, packing a launcher that takes
// updates, signing a release, and what list and verify then say.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/native_test_support.h"

namespace {

namespace fs = std::filesystem;
using namespace native_test;

run_result run(const std::vector<std::string>& args, const fs::path& cwd) {
  std::vector<std::string> argv{TAVREN_PACK_EXE};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_program(argv, cwd);
}

class UpdateCli : public ::testing::Test {
 protected:
  void SetUp() override {
    char root[] = "/tmp/tavren-update-test-XXXXXX";
    ASSERT_NE(mkdtemp(root), nullptr);
    root_ = root;
    if (!TAVREN_HAVE_FIXTURES) GTEST_SKIP() << "no MinGW driver to build the test DLL";
    fs::create_directories(root_ / "app");
    fs::copy_file(fs::path(TAVREN_FIXTURES) / "main_library.dll", root_ / "app" / "app.dll");
    spit(root_ / "app" / "readme.txt", "hello\n");
    ASSERT_EQ(run({"update-key", "new", "release.key"}, root_).status, 0);
  }
  void TearDown() override { fs::remove_all(root_); }

  run_result build(const std::string& output, std::vector<std::string> extra) {
    std::vector<std::string> args = {"build", "app", "--main", "app.dll", "-o", output, "-q", "--level", "1"};
    args.insert(args.end(), extra.begin(), extra.end());
    return run(args, root_);
  }

  /// The lines of `list FILE` that start with "update".
  std::string update_lines(const std::string& file) {
    run_result r = run({"list", file}, root_);
    EXPECT_EQ(r.status, 0) << r.err;
    std::string lines;
    size_t at = 0;
    while (at < r.out.size()) {
      size_t end = r.out.find('\n', at);
      std::string line = r.out.substr(at, end - at + 1);
      if (line.rfind("update", 0) == 0) lines += line;
      at = end + 1;
    }
    return lines;
  }

  fs::path root_;
};

TEST_F(UpdateCli, KeyFilesAreMadeOnceAndThePrivateOneIsTheOwnersAlone) {
  struct stat info;
  ASSERT_EQ(stat((root_ / "release.key").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(slurp(root_ / "release.key.pub").rfind("TAVREN UPDATE PUBLIC KEY", 0), 0u);
  std::string before = slurp(root_ / "release.key");
  run_result again = run({"update-key", "new", "release.key"}, root_);
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.err.find("'release.key' exists; a key is never replaced"), std::string::npos) << again.err;
  EXPECT_EQ(slurp(root_ / "release.key"), before);
}

TEST_F(UpdateCli, ListAndVerifyShowThePolicyAndTheSignature) {
  run_result made = run({"update-key", "new", "fresh.key"}, root_);
  ASSERT_EQ(made.status, 0) << made.err;
  std::string key = made.out.substr(made.out.rfind(' ') + 1, 16);
  ASSERT_EQ(build("none.exe", {}).status, 0);
  ASSERT_EQ(build("open.exe", {"--updates-unsigned"}).status, 0);
  ASSERT_EQ(build("keyed.exe", {"--update-key", "fresh.key.pub"}).status, 0);
  run_result built = build("signed.exe", {"--update-key", "fresh.key"});
  ASSERT_EQ(built.status, 0) << built.err;
  EXPECT_EQ(update_lines("none.exe"),
            "updates: none (packed without --update-key or --updates-unsigned)\nupdate signature: none\n");
  EXPECT_EQ(update_lines("open.exe"), "updates: taken unsigned (--updates-unsigned)\nupdate signature: none\n");
  EXPECT_EQ(update_lines("keyed.exe"),
            "updates: taken when signed with key " + key + " (ECDSA P-256)\nupdate signature: none\n");
  std::string signed_lines =
      "updates: taken when signed with key " + key + " (ECDSA P-256)\nupdate signature: valid for key " + key + "\n";
  EXPECT_EQ(update_lines("signed.exe"), signed_lines);

  // Signing afterwards gives what building with the private key gives.
  run_result sign = run({"sign-update", "--key", "fresh.key", "keyed.exe", "-o", "later.exe"}, root_);
  ASSERT_EQ(sign.status, 0) << sign.err;
  EXPECT_EQ(sign.err, "");
  EXPECT_EQ(update_lines("later.exe"), signed_lines);
  run_result verify = run({"verify", "later.exe"}, root_);
  EXPECT_EQ(verify.status, 0) << verify.err;
  EXPECT_NE(verify.out.find("update signature: valid for key " + key), std::string::npos) << verify.out;

  // A release signed with a key it does not carry is flagged, and the signer is warned.
  run_result foreign = run({"sign-update", "--key", "release.key", "keyed.exe", "-o", "foreign.exe"}, root_);
  ASSERT_EQ(foreign.status, 0) << foreign.err;
  EXPECT_NE(foreign.err.find("warning: 'keyed.exe' does not carry this key"), std::string::npos) << foreign.err;
  EXPECT_EQ(update_lines("foreign.exe"), "updates: taken when signed with key " + key +
                                             " (ECDSA P-256)\nupdate signature: present, not by a key it carries\n");
}

TEST_F(UpdateCli, RefusalsLeaveTheFilesAsTheyWere) {
  ASSERT_EQ(build("keyed.exe", {"--update-key", "release.key.pub"}).status, 0);
  std::string keyed = slurp(root_ / "keyed.exe");
  spit(root_ / "junk.key", "TAVREN UPDATE PUBLIC KEY (P-256)\nnot hex\n");
  spit(root_ / "short.key", "TAVREN UPDATE PUBLIC KEY (P-256)\n0123\n");
  std::string off_curve = "TAVREN UPDATE PUBLIC KEY (P-256)\n" + std::string(128, '1') + "\n";
  spit(root_ / "off_curve.key", off_curve);
  struct refusal {
    std::vector<std::string> args;
    int status;
    std::string message;
  };
  const refusal refusals[] = {
      {{"build", "app", "--main", "app.dll", "-o", "x.exe", "--update-key", "release.key", "--updates-unsigned"},
       2,
       "--update-key and --updates-unsigned exclude each other"},
      {{"build", "app", "--main", "app.dll", "-o", "x.exe", "--update-key", "app/readme.txt"}, 2, "is no update key"},
      {{"build", "app", "--main", "app.dll", "-o", "x.exe", "--update-key", "junk.key"}, 2, "is a damaged update key"},
      {{"build", "app", "--main", "app.dll", "-o", "x.exe", "--update-key", "short.key"}, 2, "is a damaged update key"},
      {{"build", "app", "--main", "app.dll", "-o", "x.exe", "--update-key", "off_curve.key"},
       2,
       "holds no valid P-256 public key"},
      {{"sign-update", "--key", "release.key.pub", "keyed.exe"}, 2, "is a public key; signing needs the private one"},
      {{"sign-update", "--key", "release.key", "app/readme.txt"}, 1, "cannot be signed for updates"},
      {{"sign-update", "--key", "release.key", "missing.exe"}, 1, "missing.exe"},
  };
  for (const refusal& r : refusals) {
    run_result got = run(r.args, root_);
    EXPECT_EQ(got.status, r.status) << r.message << ": " << got.err;
    EXPECT_NE(got.err.find(r.message), std::string::npos) << "wanted: " << r.message << "\ngot: " << got.err;
  }
  EXPECT_FALSE(fs::exists(root_ / "x.exe"));
  EXPECT_EQ(slurp(root_ / "keyed.exe"), keyed);

  // A change after Authenticode would break that signature: sign for updates first.
  for (std::vector<std::string> step :
       {std::vector<std::string>{"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "cert.key",
                                 "-out", "cert.pem", "-days", "2", "-subj", "/CN=Tavren-Test", "-batch"},
        std::vector<std::string>{"openssl", "pkcs12", "-export", "-out", "test.p12", "-inkey", "cert.key", "-in",
                                 "cert.pem", "-passout", "pass:"}})
    ASSERT_EQ(run_program(step, root_).status, 0);
  ASSERT_EQ(build("both.exe", {"--update-key", "release.key", "--sign", "test.p12"}).status, 0);
  EXPECT_NE(update_lines("both.exe").find("update signature: valid for key"), std::string::npos);
  run_result authenticode = run_program({"osslsigncode", "verify", "-CAfile", "cert.pem", "both.exe"}, root_);
  EXPECT_EQ(authenticode.status, 0) << "both signatures hold: " << authenticode.out;
  std::string both = slurp(root_ / "both.exe");
  run_result late = run({"sign-update", "--key", "release.key", "both.exe"}, root_);
  EXPECT_EQ(late.status, 1);
  EXPECT_NE(late.err.find("carries an Authenticode signature, which signing it for updates would break"),
            std::string::npos)
      << late.err;
  EXPECT_EQ(slurp(root_ / "both.exe"), both);
  for (const auto& entry : fs::directory_iterator(root_))
    EXPECT_EQ(entry.path().filename().string().find(".tmp-"), std::string::npos) << entry.path();
}

}  // namespace
