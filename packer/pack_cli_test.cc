// The packer as users run it: a real process, real folders, exit status and exact messages.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <zstd.h>

#include "base/byte_order.h"
#include "formats/payload.h"
#include "tests/support/native_test_support.h"

namespace {

namespace fs = std::filesystem;
using namespace native_test;

std::string pattern(size_t size, unsigned seed) {
  std::string out(size, '\0');
  unsigned state = seed;
  for (size_t i = 0; i < size; ++i) {
    if (i % 32 == 0) state = state * 1103515245 + 12345;
    out[i] = static_cast<char>((state >> 16) ^ (i % 5));
  }
  return out;
}

/// Runs tavren-pack with `args` in `cwd`.
run_result run(const std::vector<std::string>& args, const fs::path& cwd,
               const std::vector<std::string>& environment = {}) {
  std::vector<std::string> argv{TAVREN_PACK_EXE};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_program(argv, cwd, environment);
}

bool is_one_line(const std::string& text) {
  return !text.empty() && text.back() == '\n' && text.find('\n') == text.size() - 1;
}

class PackCli : public ::testing::Test {
 protected:
  void SetUp() override {
    char root[] = "/tmp/tavren-pack-test-XXXXXX";
    ASSERT_NE(mkdtemp(root), nullptr);
    root_ = root;
  }
  void TearDown() override { fs::remove_all(root_); }

  /// app/bin/app.dll (a real DLL exporting run_code), a file above the holding buffer size,
  /// an empty file and a name outside ASCII.
  fs::path make_app(const std::string& folder = "app") {
    fs::path app = root_ / folder;
    fs::create_directories(app / "bin");
    if (TAVREN_HAVE_FIXTURES) fs::copy_file(fs::path(TAVREN_FIXTURES) / "main_library.dll", app / "bin" / "app.dll");
    spit(app / "data" / "big.bin", pattern(300000, 3));
    spit(app / "data" / "empty.txt", "");
    spit(app / "caf\xC3\xA9 \xF0\x9F\x98\x80.txt", "unicode");
    spit(app / "readme.txt", "hello\n");
    return app;
  }

  run_result pack(const fs::path& app, const std::string& output, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"payload", app.string(), "--main", "bin/app.dll", "-o", output, "-q"};
    args.insert(args.end(), extra.begin(), extra.end());
    return run(args, root_);
  }

  /// Exit status, a one-line message containing `message`, and no output or temporary left.
  void expect_refused(const run_result& r, int status, const std::string& message, const fs::path& output) {
    EXPECT_EQ(r.status, status) << r.err;
    EXPECT_TRUE(is_one_line(r.err)) << r.err;
    EXPECT_EQ(r.err.rfind("tavren-pack: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(message), std::string::npos) << "wanted: " << message << "\ngot: " << r.err;
    EXPECT_FALSE(fs::exists(fs::symlink_status(output))) << output;
    for (const auto& entry : fs::directory_iterator(output.parent_path()))
      EXPECT_EQ(entry.path().filename().string().find(".tmp-"), std::string::npos) << entry.path();
  }

  fs::path root_;
};

#define NEED_DLL() \
  if (!TAVREN_HAVE_FIXTURES) GTEST_SKIP() << "no MinGW driver to build the test DLL"

TEST_F(PackCli, RefusesMissingOrUnusableMainLibrary) {
  NEED_DLL();
  fs::path app = make_app();
  fs::path out = root_ / "out.blob";
  spit(root_ / "outside.dll", slurp(app / "bin" / "app.dll"));
  fs::copy_file(fs::path(TAVREN_FIXTURES) / "other_library.dll", app / "other.dll");
  auto with_main = [&](const std::string& main, const std::string& dir = "app") {
    return run({"payload", dir, "--main", main, "-o", "out.blob"}, root_);
  };
  expect_refused(with_main("bin/app.dll", "nowhere"), 1, "cannot read app folder 'nowhere': No such file or directory",
                 out);
  expect_refused(with_main("bin/missing.dll"), 1, "cannot read main file 'bin/missing.dll': No such file or directory",
                 out);
  expect_refused(with_main("../outside.dll"), 1, "main file '../outside.dll' is outside the app folder", out);
  expect_refused(with_main("bin/../../outside.dll"), 1, "is outside the app folder", out);
  expect_refused(with_main((root_ / "outside.dll").string()), 1, "is outside the app folder", out);
  expect_refused(with_main("readme.txt"), 2, "main file 'readme.txt' is not usable: not a Windows executable", out);
  expect_refused(with_main("other.dll"), 2, "main file 'other.dll' is not usable: does not export run_code", out);
  expect_refused(with_main("bin"), 1, "main file 'bin' is a folder", out);
  // Backslashes and dot components name the same file.
  EXPECT_EQ(with_main("bin\\.\\app.dll").status, 0);
}

TEST_F(PackCli, RefusesNamesWindowsCannotHold) {
  NEED_DLL();
  struct bad_name {
    const char* file;
    const char* message;
  };
  const bad_name cases[] = {
      {"data/a:b.txt", "name 'data/a:b.txt' contains one of <>:\"|?*"},
      {"what?", "name 'what?' contains one of"},
      {"ctl\x01.txt", "name 'ctl\\x01.txt' contains a control character"},
      {"back\\slash", "name 'back\\slash' contains a backslash"},
      {"ends.", "name 'ends.' has a component ending in a dot or space"},
      {"dir /x.txt", "name 'dir ' has a component ending in a dot or space"},
      {"con.txt", "name 'con.txt' is a reserved Windows device name"},
      {"bad\xFF.bin", "name 'bad\\xFF.bin' is not valid UTF-8"},
  };
  for (const bad_name& c : cases) {
    fs::path app = make_app("app-bad");
    spit(app / c.file, "x");
    expect_refused(pack(app, "out.blob"), 1, c.message, root_ / "out.blob");
    fs::remove_all(app);
  }
}

TEST_F(PackCli, NameLengthLimitCountsUtf16Units) {
  NEED_DLL();
  fs::path app = make_app();
  // Four folders of 200 units and a file make the longest name a launcher takes.
  std::string folder(200, 'd');
  std::string path = folder + "/" + folder + "/" + folder + "/" + folder + "/";
  std::string longest = path + std::string(entry_name_max_units - path.size(), 'f');
  spit(app / longest, "x");
  run_result ok = pack(app, "ok.blob");
  EXPECT_EQ(ok.status, 0) << ok.err;
  fs::remove(app / longest);
  // One emoji is one UTF-8 character but two UTF-16 units: the limit counts units.
  std::string too_long = path + std::string(entry_name_max_units - path.size() - 1, 'f') + "\xF0\x9F\x98\x80";
  spit(app / too_long, "x");
  expect_refused(pack(app, "out.blob"), 1,
                 "is " + std::to_string(entry_name_max_units + 1) + " UTF-16 units long; the launcher takes at most " +
                     std::to_string(entry_name_max_units),
                 root_ / "out.blob");
}

TEST_F(PackCli, RefusesNamesThatOnlyDifferInCase) {
  NEED_DLL();
  fs::path out = root_ / "out.blob";
  fs::path app = make_app();
  spit(app / "Data" / "BIG.BIN", "x");
  expect_refused(pack(app, "out.blob"), 1, "names 'Data/BIG.BIN' and 'data/big.bin' differ only in case", out);
  fs::remove_all(app / "Data");
  spit(app / "\xC3\x89t\xC3\xA9.txt", "x");  // Été / été
  spit(app / "\xC3\xA9t\xC3\xA9.txt", "x");
  expect_refused(pack(app, "out.blob"), 1, "differ only in case", out);
  fs::remove(app / "\xC3\x89t\xC3\xA9.txt");
  spit(app / "DATA", "a file where a folder of that name also exists");
  expect_refused(pack(app, "out.blob"), 1, "file 'DATA' has the name of the folder holding", out);
}

TEST_F(PackCli, SymbolicLinksToFilesAreFollowedButFolderLinksStayInside) {
  NEED_DLL();
  fs::path out = root_ / "out.blob";
  fs::path app = make_app();
  spit(root_ / "elsewhere" / "shared.txt", "shared content");
  fs::create_symlink(root_ / "elsewhere" / "shared.txt", app / "linked.txt");
  fs::create_symlink("data", app / "data-again");
  ASSERT_EQ(pack(app, "out.blob").status, 0);
  ASSERT_EQ(run({"extract", "out.blob", "x"}, root_).status, 0);
  EXPECT_EQ(slurp(root_ / "x" / "linked.txt"), "shared content");
  EXPECT_EQ(slurp(root_ / "x" / "data-again" / "big.bin"), slurp(app / "data" / "big.bin"));
  fs::remove(out);

  fs::create_symlink(root_ / "elsewhere", app / "escape");
  expect_refused(pack(app, "out.blob"), 1, "symbolic link 'escape' leads to a folder outside the app folder", out);
  fs::remove(app / "escape");
  fs::create_symlink("..", app / "data" / "loop");
  expect_refused(pack(app, "out.blob"), 1, "symbolic link 'data/loop' leads back into a folder containing it", out);
  fs::remove(app / "data" / "loop");
  fs::create_symlink("nothing-here", app / "dangling");
  expect_refused(pack(app, "out.blob"), 1, "cannot read 'dangling': No such file or directory", out);
  fs::remove(app / "dangling");
  ASSERT_EQ(mkfifo((app / "pipe").c_str(), 0600), 0);
  expect_refused(pack(app, "out.blob"), 1, "cannot read 'pipe': not a regular file", out);
}

TEST_F(PackCli, RefusesUnreadableFiles) {
  NEED_DLL();
  fs::path app = make_app();
  spit(app / "data" / "x.bin", "secret");
  chmod((app / "data" / "x.bin").c_str(), 0);
  run_result packed;
  if (geteuid() == 0) {
    // Root reads everything: the packer runs as the unprivileged user nobody, who may write
    // the output folder but not read the file.
    fs::permissions(root_, fs::perms::all);
    packed = run_program({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", TAVREN_PACK_EXE, "payload",
                          app.string(), "--main", "bin/app.dll", "-o", "out.blob", "-q"},
                         root_);
  } else {
    packed = pack(app, "out.blob");
  }
  expect_refused(packed, 1, "cannot read 'data/x.bin': Permission denied", root_ / "out.blob");
}

TEST_F(PackCli, UsageErrorsExitWith2) {
  NEED_DLL();
  fs::path app = make_app();
  fs::path out = root_ / "out.blob";
  expect_refused(run({"payload", "app", "--main", "bin/app.dll", "-o", "out.blob", "--bogus"}, root_), 2, "--bogus",
                 out);
  expect_refused(run({"payload", "app", "--main", "bin/app.dll", "-o"}, root_), 2, "-o", out);
  expect_refused(pack(app, "out.blob", {"--window-log", "28"}), 2,
                 "--window-log 28 is too large: the launcher decodes windows up to 2^27", out);
  expect_refused(pack(app, "out.blob", {"--level", "40"}), 2, "--level", out);
  expect_refused(run({}, root_), 2, "subcommand", out);
  fs::path exe = root_ / "out.exe";
  for (const char* version : {"1.2.3", "1.2.3.65536", "1.2.3.4.5", "1.-2.3.4", "a.b.c.d"})
    expect_refused(run({"build", "app", "--main", "bin/app.dll", "-o", "out.exe", "--file-version", version}, root_), 2,
                   "is not four numbers 0..65535", exe);
  expect_refused(run({"build", "app", "--main", "bin/app.dll", "--payload", "x.blob", "-o", "out.exe"}, root_), 2,
                 "either --payload BLOB or APP_DIR", exe);
  // A misspelt option is named even when it leaves a required one missing.
  expect_refused(run({"build", "app", "--main", "bin/app.dll", "--ouptut", "out.exe"}, root_), 2,
                 "tavren-pack: unknown option '--ouptut' for build", exe);
  expect_refused(run({"biuld", "app"}, root_), 2, "unknown command 'biuld'", exe);
  // The unpack folder's template is checked before anything is written: a bad one would only
  // show on the user's machine.
  for (const char* bad : {"", "{TEMPORARY}\\x", "{TEMP\\x", "{TEMP}\\{RANDOM}", "relative\\x"})
    expect_refused(run({"build", "app", "--main", "bin/app.dll", "-o", "out.exe", "--unpack-dir", bad}, root_), 2,
                   std::string("--unpack-dir '") + bad + "' ", exe);
  expect_refused(run({"build", "app", "--main", "bin/app.dll", "-o", "out.exe", "--icon"}, root_), 2, "--icon", exe);
  for (const char* command : {"payload", "build", "list", "verify", "extract"}) {
    run_result help = run({command, "--help"}, root_);
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Example"), std::string::npos) << command;
  }
  run_result version = run({"--version"}, root_);
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "tavren-pack " TAVREN_VERSION "\n");
  run_result help = run({"build", "--help"}, root_);
  for (const char* option :
       {"--main", "--output", "--level", "--threads", "--window-log", "--no-checksum", "--quiet", "--verbose",
        "--payload", "--icon", "--company", "--product", "--file-version", "--product-version"})
    EXPECT_NE(help.out.find(option), std::string::npos) << option;
}

TEST_F(PackCli, EmptyFoldersAreReportedNotFatal) {
  NEED_DLL();
  fs::path app = make_app();
  fs::create_directories(app / "logs" / "old");
  run_result r = pack(app, "out.blob");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "tavren-pack: warning: empty folder 'logs/old' is left out (folders are not entries)\n");
}

TEST_F(PackCli, SameInputGivesIdenticalBlobs) {
  NEED_DLL();
  fs::path first = make_app("one");
  fs::path second = root_ / "two";
  // Same files created in the opposite order, packed from another folder with other thread counts.
  std::vector<fs::path> files;
  for (const auto& e : fs::recursive_directory_iterator(first))
    if (e.is_regular_file()) files.push_back(fs::relative(e.path(), first));
  for (auto it = files.rbegin(); it != files.rend(); ++it) spit(second / *it, slurp(first / *it));
  fs::create_directories(root_ / "elsewhere");
  ASSERT_EQ(run({"payload", first.string(), "--main", "bin/app.dll", "-o", "a.blob", "--threads", "1"}, root_).status,
            0);
  ASSERT_EQ(
      run({"payload", "../two", "--main", "bin/app.dll", "-o", "../b.blob", "--threads", "2"}, root_ / "elsewhere")
          .status,
      0);
  EXPECT_EQ(slurp(root_ / "a.blob"), slurp(root_ / "b.blob"));

  run_result list = run({"list", "a.blob"}, root_);
  EXPECT_EQ(list.out, std::to_string(fs::file_size(first / "bin" / "app.dll")) +
                          "\tbin\\app.dll\n"
                          "7\tcaf\xC3\xA9 \xF0\x9F\x98\x80.txt\n"
                          "300000\tdata\\big.bin\n"
                          "0\tdata\\empty.txt\n"
                          "6\treadme.txt\n");
}

// The bytes on disk are written out here rather than taken from formats/payload.h: a change
// there that old launchers cannot read must fail this test, not move it along.
TEST_F(PackCli, BlobLayoutMatchesTheFormatByteForByte) {
  NEED_DLL();
  fs::path app = make_app();
  for (bool checksum : {true, false}) {
    std::string name = checksum ? "sum.blob" : "nosum.blob";
    ASSERT_EQ(pack(app, name, checksum ? std::vector<std::string>{} : std::vector<std::string>{"--no-checksum"}).status,
              0);
    std::string blob = slurp(root_ / name);
    ASSERT_GE(blob.size(), 16u);
    EXPECT_EQ(blob.substr(0, 3), "JQZ");
    EXPECT_EQ(blob.size() % 8, 0u);
    const char* region = blob.data() + 3;
    size_t trailer = blob.size() - 8;
    EXPECT_EQ(load_le64(reinterpret_cast<const unsigned char*>(blob.data()) + trailer), trailer);
    size_t frame = ZSTD_findFrameCompressedSize(region, trailer - 3);
    ASSERT_FALSE(ZSTD_isError(frame));
    size_t fill = trailer - 3 - frame;
    EXPECT_LT(fill, 8u);
    EXPECT_EQ(blob.substr(3 + frame, fill), std::string(fill, '\0'));
    unsigned char descriptor = static_cast<unsigned char>(region[4]);
    EXPECT_EQ((descriptor & 0x04) != 0, checksum);
    // The window is sized to the app (about 300 KiB here), not zstd's level default.
    unsigned long long content = ZSTD_getFrameContentSize(region, frame);
    EXPECT_GT(content, 300000u);
    EXPECT_LT(content, 400000u);
    // The stream: the main library first, its name in UTF-16LE up to a zero unit, then its
    // size as u64 LE; the last entry's name is a lone zero unit.
    std::string stream(content, '\0');
    ASSERT_EQ(ZSTD_decompress(stream.data(), stream.size(), region, frame), content);
    const std::string first_name("b\0i\0n\0\\\0a\0p\0p\0.\0d\0l\0l\0\0\0", 24);
    EXPECT_EQ(stream.substr(0, first_name.size()), first_name);
    EXPECT_EQ(load_le64(reinterpret_cast<const unsigned char*>(stream.data()) + first_name.size()),
              fs::file_size(app / "bin" / "app.dll"));
    EXPECT_EQ(stream.substr(stream.size() - 8), std::string("hello\n\0\0", 8)) << "readme.txt, then the end";
  }
}

// Cut between entries, the same stream sits in one frame per entry behind the split note (the
// bytes spelled out, as above); verify counts the frames and refuses a note that lies.
TEST_F(PackCli, FrameSizeCutsTheStreamBetweenEntriesBehindTheSplitNote) {
  NEED_DLL();
  fs::path app = make_app();
  ASSERT_EQ(pack(app, "whole.blob").status, 0);
  ASSERT_EQ(pack(app, "cut.blob", {"--frame-size", "1"}).status, 0);
  std::string whole = slurp(root_ / "whole.blob"), cut = slurp(root_ / "cut.blob");
  ASSERT_EQ(cut.substr(0, 20), std::string("JQZ\x5B\x2A\x4D\x18\x09\0\0\0ENTRY-CUT", 20));
  auto decode = [](const std::string& blob, size_t at, std::vector<std::string>* frames) {
    std::string stream;
    for (size_t end = blob.size() - 8; end - at >= 4 && load_le32(reinterpret_cast<const unsigned char*>(&blob[at])) ==
                                                          ZSTD_MAGICNUMBER;) {
      size_t frame = ZSTD_findFrameCompressedSize(&blob[at], end - at);
      std::string out(ZSTD_getFrameContentSize(&blob[at], frame), '\0');
      EXPECT_EQ(ZSTD_decompress(out.data(), out.size(), &blob[at], frame), out.size());
      frames->push_back(out);
      stream += out;
      at += frame;
    }
    return stream;
  };
  std::vector<std::string> whole_frames, cut_frames;
  EXPECT_EQ(decode(cut, 20, &cut_frames), decode(whole, 3, &whole_frames));
  ASSERT_EQ(whole_frames.size(), 1u);
  ASSERT_EQ(cut_frames.size(), 5u);
  EXPECT_EQ(cut_frames[0].substr(0, 24), std::string("b\0i\0n\0\\\0a\0p\0p\0.\0d\0l\0l\0\0\0", 24));
  EXPECT_EQ(cut_frames[4].substr(cut_frames[4].size() - 8), std::string("hello\n\0\0", 8));
  run_result verify = run({"verify", "cut.blob"}, root_);
  EXPECT_EQ(verify.status, 0) << verify.err;
  EXPECT_NE(verify.out.find(" bytes, 5 frames unpacked side by side\n"), std::string::npos) << verify.out;
  EXPECT_EQ(run({"list", "cut.blob"}, root_).out, run({"list", "whole.blob"}, root_).out);

  // The note over a stream cut in the middle of the third entry.
  std::string stream = cut_frames[0] + cut_frames[1] + cut_frames[2] + cut_frames[3] + cut_frames[4];
  std::string lying = cut.substr(0, 20);
  size_t middle = cut_frames[0].size() + cut_frames[1].size() + cut_frames[2].size() / 2;
  for (auto [from, to] : {std::pair<size_t, size_t>{0, middle}, {middle, stream.size()}}) {
    std::string frame(ZSTD_compressBound(to - from), '\0');
    frame.resize(ZSTD_compress(frame.data(), frame.size(), stream.data() + from, to - from, 3));
    lying += frame;
  }
  lying.append((8 - lying.size() % 8) % 8, '\0');
  unsigned char trailer[8];
  store_le64(trailer, lying.size());
  lying.append(reinterpret_cast<char*>(trailer), 8);
  spit(root_ / "lying.blob", lying);
  run_result refused = run({"verify", "lying.blob"}, root_);
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("frame 2 of the split payload begins inside entry 3 'data\\big.bin'"), std::string::npos) << refused.err;
}

TEST_F(PackCli, RoundTripThroughExtractKeepsEveryByte) {
  NEED_DLL();
  fs::path app = make_app();
  ASSERT_EQ(pack(app, "out.blob").status, 0);
  run_result verify = run({"verify", "out.blob"}, root_);
  EXPECT_EQ(verify.status, 0);
  size_t total = 0;
  for (const auto& e : fs::recursive_directory_iterator(app))
    if (e.is_regular_file()) total += e.file_size();
  EXPECT_EQ(verify.out, "ok: 5 entries, " + std::to_string(total) + " bytes\n");
  run_result extract = run({"extract", "out.blob", "unpacked/here"}, root_);
  ASSERT_EQ(extract.status, 0) << extract.err;
  size_t compared = 0;
  for (const auto& e : fs::recursive_directory_iterator(app)) {
    if (!e.is_regular_file()) continue;
    fs::path copy = root_ / "unpacked" / "here" / fs::relative(e.path(), app);
    EXPECT_EQ(slurp(copy), slurp(e.path())) << copy;
    ++compared;
  }
  EXPECT_EQ(compared, 5u);
  // Extracting again never replaces what is there.
  run_result again = run({"extract", "out.blob", "unpacked/here"}, root_);
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.err.find("File exists"), std::string::npos) << again.err;
}

TEST_F(PackCli, ReadCommandsRefuseWhatALauncherRefusesAndWriteNothing) {
  NEED_DLL();
  const std::string dll = slurp(fs::path(TAVREN_FIXTURES) / "main_library.dll");
  // No entry at all: every launcher made from it stops with "couldn't decode attached data".
  spit(root_ / "empty.blob", blob_around(compressed(entry_stream({}))));
  spit(root_ / "escaping.blob", blob_around(compressed(entry_stream({{u"app.dll", dll}, {u"..\\evil.txt"}}))));
  for (const char* blob : {"empty.blob", "escaping.blob"}) {
    for (const char* command : {"list", "verify", "extract"}) {
      std::vector<std::string> args = {command, blob};
      if (std::string(command) == "extract") args.push_back("target/inner");
      run_result r = run(args, root_);
      EXPECT_EQ(r.status, 1) << command << " " << blob;
      EXPECT_TRUE(is_one_line(r.err)) << r.err;
      EXPECT_EQ(r.err.rfind(std::string("tavren-pack: '") + blob + "': ", 0), 0u) << r.err;
    }
  }
  EXPECT_NE(run({"verify", "empty.blob"}, root_).err.find("holds no entry"), std::string::npos);
  EXPECT_FALSE(fs::exists(root_ / "target")) << "nothing is written before every entry is checked";
  EXPECT_FALSE(fs::exists(root_ / "evil.txt"));
  // A symbolic link already in the target is not followed out of it.
  fs::create_directories(root_ / "target");
  fs::create_directories(root_ / "outside");
  fs::create_symlink(root_ / "outside", root_ / "target" / "sub");
  spit(root_ / "bad.blob", blob_around(compressed(entry_stream({{u"app.dll", dll}, {u"sub\\x.txt"}}))));
  run_result r = run({"extract", "bad.blob", "target"}, root_);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cannot write 'sub\\x.txt'"), std::string::npos) << r.err;
  EXPECT_TRUE(fs::is_empty(root_ / "outside"));
}

TEST_F(PackCli, BuildRefusesUnusableStubsAndSigningLeavingNoOutput) {
  run_result bare = run({"verify", TAVREN_STUB_FILE}, root_);
  EXPECT_EQ(bare.status, 1);
  EXPECT_NE(bare.err.find("a launcher stub with no payload"), std::string::npos) << bare.err;
  NEED_DLL();
  make_app();
  fs::path exe = root_ / "App.exe";
  std::vector<std::string> args = {"build", "app", "--main", "bin/app.dll", "-o", "App.exe", "-q"};
  auto with = [&](std::vector<std::string> extra) {
    std::vector<std::string> all = args;
    all.insert(all.end(), extra.begin(), extra.end());
    return all;
  };
  spit(root_ / "text.exe", "MZ but nothing else");
  expect_refused(run(with({"--stub", "text.exe"}), root_), 1, "launcher stub 'text.exe' is not a launcher stub (", exe);
  expect_refused(run(with({"--stub", "bin/app.dll"}), root_ / "app"), 1, "is not a 64-bit Windows executable",
                 root_ / "app" / "App.exe");
  ASSERT_EQ(run({"build", "--payload", "app/readme.txt", "-o", "packed.exe", "-q"}, root_).status, 0);
  expect_refused(run(with({"--stub", "packed.exe"}), root_), 1, "is already a packed launcher", exe);
  // No signing tool: refused before any work, not after minutes of compression.
  expect_refused(run(with({"--sign", "none.p12"}), root_, {"PATH=/nonexistent"}), 1,
                 "cannot sign: 'osslsigncode' is not on PATH", exe);
}

TEST_F(PackCli, BuildEmbedsTheBlobAndTextsReproducibly) {
  NEED_DLL();
  fs::path app = make_app();
  fs::create_directories(root_ / "elsewhere");
  fs::create_directories(root_ / "again");
  std::vector<std::string> args = {"build",     "--main",        "bin/app.dll",    "-q",
                                   "--company", "Acme \xC3\x89", "--file-version", "1.2.3.4"};
  std::vector<std::string> first = args, second = args;
  first.insert(first.end(), {"app", "-o", "one.exe"});
  // The output's name is part of the executable (its version resource), so keep it.
  second.insert(second.end(), {"../app", "-o", "../again/one.exe"});
  run_result r = run(first, root_);
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(run(second, root_ / "elsewhere").status, 0);
  std::string exe = slurp(root_ / "one.exe");
  EXPECT_EQ(exe, slurp(root_ / "again" / "one.exe"));
  EXPECT_EQ(exe.substr(0, 2), "MZ");
  auto utf16 = [](const std::u16string& text) {
    bytes b = name_bytes(text);
    return std::string(b.begin(), b.end());
  };
  EXPECT_NE(exe.find(utf16(u"Acme \u00c9")), std::string::npos);
  EXPECT_NE(exe.find(utf16(u"1.2.3.4")), std::string::npos);
  EXPECT_NE(exe.find(utf16(u"app")), std::string::npos) << "product defaults to the main library's name";

  ASSERT_EQ(run({"extract", "one.exe", "x"}, root_).status, 0);
  EXPECT_EQ(slurp(root_ / "x" / "data" / "big.bin"), slurp(app / "data" / "big.bin"));

  // A given blob goes in verbatim, even one that would not verify.
  std::string odd = std::string(payload_magic) + " not really a blob";
  spit(root_ / "odd.blob", odd);
  ASSERT_EQ(run({"build", "--payload", "odd.blob", "-o", "odd.exe", "-q"}, root_).status, 0);
  EXPECT_NE(slurp(root_ / "odd.exe").find(odd), std::string::npos);
  run_result r2 = run({"verify", "odd.exe"}, root_);
  EXPECT_EQ(r2.status, 1);
  EXPECT_NE(r2.err.find("'odd.exe': "), std::string::npos) << "found through the descriptor: " << r2.err;
}

/// The PE checksum as linkers compute it, word by word with the carry folded in each step.
uint32_t reference_checksum(std::string image, size_t field) {
  image.replace(field, 4, std::string(4, '\0'));
  uint32_t sum = 0;
  for (size_t i = 0; i < image.size(); i += 2) {
    sum += static_cast<unsigned char>(image[i]) |
           (i + 1 < image.size() ? static_cast<unsigned char>(image[i + 1]) << 8 : 0);
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  return sum + static_cast<uint32_t>(image.size());
}

TEST_F(PackCli, ConsoleLauncherDiffersOnlyInItsSubsystemAndSaysSo) {
  NEED_DLL();
  make_app();
  fs::create_directories(root_ / "console");
  ASSERT_EQ(run({"build", "app", "--main", "bin/app.dll", "-o", "App.exe", "-q"}, root_).status, 0);
  ASSERT_EQ(run({"build", "app", "--main", "bin/app.dll", "-o", "console/App.exe", "-q", "--console"}, root_).status,
            0);
  ASSERT_EQ(run({"payload", "app", "--main", "bin/app.dll", "-o", "app.blob", "-q"}, root_).status, 0);
  std::string windowed = slurp(root_ / "App.exe"), console = slurp(root_ / "console" / "App.exe");
  ASSERT_EQ(windowed.size(), console.size());
  auto u32 = [](const std::string& b, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(b[at + i]);
    return v;
  };
  size_t optional = u32(windowed, 0x3C) + 24;
  EXPECT_EQ(windowed[optional + 68], 2) << "windowed: Subsystem";
  EXPECT_EQ(console[optional + 68], 3) << "console: Subsystem";
  // The same name in the version resource, so only the field and the checksum over it differ.
  std::vector<size_t> differ;
  for (size_t i = 0; i < windowed.size(); ++i)
    if (windowed[i] != console[i]) differ.push_back(i);
  for (size_t at : differ) EXPECT_TRUE(at == optional + 68 || (at >= optional + 64 && at < optional + 68)) << at;
  EXPECT_EQ(u32(console, optional + 64), reference_checksum(console, optional + 64));

  EXPECT_EQ(run({"verify", "console/App.exe"}, root_)
                .out.rfind("launcher: console, x64\nexecution level: asInvoker\nentry: library\nok: ", 0),
            0u);
  EXPECT_EQ(run({"list", "App.exe"}, root_).out.substr(0, 24), "launcher: windowed, x64\n");
  EXPECT_EQ(run({"list", "app.blob"}, root_).out.find("launcher"), std::string::npos) << "a bare blob is no launcher";
}

TEST_F(PackCli, TheMainFilesImageDecidesTheEntryAndTheLaunchersKind) {
  NEED_DLL();
  fs::path app = make_app();
  fs::path fixtures(TAVREN_FIXTURES);
  // Named against their kind: the image decides.
  fs::copy_file(fixtures / "console.exe", app / "tool.dll");
  fs::copy_file(fixtures / "windowed.exe", app / "viewer.exe");
  fs::copy_file(fixtures / "main_library.dll", app / "library.exe");
  struct expectation {
    std::string main;
    std::vector<std::string> options;
    std::string shown;
  };
  const expectation cases[] = {
      {"tool.dll", {}, "launcher: console, x64\nexecution level: asInvoker\nentry: executable, console\n"},
      {"tool.dll", {"--windowed"}, "launcher: windowed, x64\nexecution level: asInvoker\nentry: executable, console\n"},
      {"viewer.exe", {}, "launcher: windowed, x64\nexecution level: asInvoker\nentry: executable, windowed\n"},
      {"viewer.exe", {"--console", "--cached", "--product", "V"}, "launcher: console, x64, cached, key "},
      {"library.exe", {}, "launcher: windowed, x64\nexecution level: asInvoker\nentry: library\n"},
  };
  for (const expectation& c : cases) {
    std::vector<std::string> args = {"build", "app", "--main", c.main, "-o", "App.exe", "-q"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    run_result built = run(args, root_);
    ASSERT_EQ(built.status, 0) << c.main << built.err;
    for (const char* command : {"list", "verify"}) {
      run_result shown = run({command, "App.exe"}, root_);
      EXPECT_EQ(shown.status, 0) << shown.err;
      EXPECT_EQ(shown.out.substr(0, c.shown.size()), c.shown) << command << " " << c.main;
    }
  }
  EXPECT_NE(run({"build", "app", "--main", "tool.dll", "-o", "x.exe", "--console", "--windowed"}, root_).status, 0);
}

TEST_F(PackCli, RefusesExecutablesNoLauncherCanRunAndGivesAnArm64OneItsLauncher) {
  NEED_DLL();
  fs::path app = make_app();
  fs::path fixtures(TAVREN_FIXTURES);
  std::string console = slurp(fixtures / "console.exe");
  size_t machine = static_cast<unsigned char>(console[0x3C]) + (static_cast<unsigned char>(console[0x3D]) << 8) + 4;
  auto with_machine = [&](uint16_t value) {
    std::string image = console;
    image[machine] = static_cast<char>(value & 0xFF);
    image[machine + 1] = static_cast<char>(value >> 8);
    return image;
  };
  fs::copy_file(fixtures / "native.exe", app / "driver.sys");
  spit(app / "x86.exe", with_machine(0x14C));
  spit(app / "arm.exe", with_machine(0xAA64));
  fs::path out = root_ / "App.exe";
  auto build = [&](const std::string& main) { return run({"build", "app", "--main", main, "-o", "App.exe"}, root_); };
  expect_refused(build("driver.sys"), 2,
                 "main file 'driver.sys' is not usable: a driver or program of the native subsystem", out);
  expect_refused(build("x86.exe"), 2, "main file 'x86.exe' is not usable: a 32-bit (x86) executable", out);
  expect_refused(build("readme.txt"), 2, "main file 'readme.txt' is not usable: not a Windows executable file", out);
  // An ARM64 executable is no refusal: the ARM64 launcher runs it, and only that one.
  expect_refused(run({"build", "app", "--main", "arm.exe", "-o", "App.exe", "--arch", "x64"}, root_), 2,
                 "an x64 launcher cannot", out);
  ASSERT_EQ(build("arm.exe").status, 0);
  EXPECT_EQ(run({"list", "App.exe"}, root_).out.rfind("launcher: console, arm64\n", 0), 0u);
}

// The layout the loader needs, for the x64 stub, the ARM64 one and a stub whose sections end
// off a page: the code and the appended sections start on pages in the file (Wine maps only
// those from the file and copies the rest), and every byte past the headers lies in exactly
// one section (a signature covers nothing else).
TEST_F(PackCli, BuildNeedsNoToolchainAndWritesAnImageTheLoaderMaps) {
  NEED_DLL();
  make_app();
  run_result r = run({"build", "app", "--main", "bin/app.dll", "-o", "App.exe", "-q"}, root_, {"PATH=/nonexistent"});
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(pack(root_ / "app", "app.blob").status, 0);
  ASSERT_EQ(run({"build", "--payload", "app.blob", "--arch", "arm64", "-o", "Arm.exe", "-q"}, root_).status, 0);
  std::string stub = slurp(TAVREN_STUB_FILE);
  auto u16 = [](const std::string& image, size_t at) {
    return static_cast<uint32_t>(static_cast<unsigned char>(image[at]) | static_cast<unsigned char>(image[at + 1]) << 8);
  };
  auto u32 = [&](const std::string& image, size_t at) { return u16(image, at) | u16(image, at + 2) << 16; };
  // The stub's last section one file alignment longer, so the stub ends where no page does.
  size_t coff = u32(stub, 0x3C) + 4, last = coff + 20 + u16(stub, coff + 16) + 40 * (u16(stub, coff + 2) - 1);
  uint32_t raw_size = u32(stub, last + 16) + 512;
  ASSERT_EQ(u32(stub, last + 20) + raw_size - 512, stub.size()) << "the last section ends the stub";
  ASSERT_NE((stub.size() + 512) % 4096, 0u);
  for (int i = 0; i < 4; ++i) stub[last + 16 + i] = static_cast<char>(raw_size >> 8 * i);
  spit(root_ / "ragged.exe", stub + std::string(512, '\0'));
  ASSERT_EQ(run({"build", "--payload", "app.blob", "--stub", "ragged.exe", "-o", "Ragged.exe", "-q"}, root_).status, 0);

  for (const char* name : {"App.exe", "Arm.exe", "Ragged.exe"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(run({"verify", name}, root_).status, 0);
    std::string exe = slurp(root_ / name);
    size_t coff = u32(exe, 0x3C) + 4, optional = coff + 20, table = optional + u16(exe, coff + 16);
    EXPECT_EQ(u32(exe, optional + 64), reference_checksum(exe, optional + 64));
    uint32_t image_end = 0;
    std::string appended;
    std::map<uint32_t, uint32_t> raw;  // offset -> size
    for (size_t i = 0; i < u16(exe, coff + 2); ++i) {
      size_t at = table + 40 * i;
      std::string section = exe.substr(at, 8).c_str();
      uint32_t virtual_size = u32(exe, at + 8), rva = u32(exe, at + 12), raw_size = u32(exe, at + 16),
               offset = u32(exe, at + 20);
      image_end = std::max(image_end, rva + virtual_size);
      if (raw_size) raw[offset] = raw_size;
      EXPECT_LE(raw_size, (virtual_size + 4095) / 4096 * 4096) << section << ": no raw data past its addresses";
      if (section != ".payload" && section != ".texts" && section != ".rsrc") continue;
      appended += section + " ";
      EXPECT_EQ(u32(exe, at + 36), 0x40000040u) << section << ": read-only initialised data";
      EXPECT_EQ(offset % 4096, 0u) << section << ": mapped from the file, not copied";
      EXPECT_EQ(raw_size % 4096, 0u) << section << ": its last page is not written to";
      EXPECT_GE(raw_size, virtual_size) << section;
      if (section == ".rsrc") {
        EXPECT_EQ(u32(exe, optional + 112 + 16), rva) << "the resource directory names it";
      }
    }
    EXPECT_EQ(appended, ".payload .texts .rsrc ");
    EXPECT_EQ(raw.begin()->first % 4096, 0u) << "the code, which both processes run, is mapped too";
    uint64_t end = u32(exe, optional + 60);  // SizeOfHeaders
    for (auto [offset, size] : raw) {
      EXPECT_EQ(offset, end) << "no bytes between sections";
      end = uint64_t{offset} + size;
    }
    EXPECT_EQ(end, exe.size()) << "nothing after the last section";
    EXPECT_EQ(u32(exe, optional + 56), (image_end + 4095) / 4096 * 4096) << "SizeOfImage";
  }
}

TEST_F(PackCli, SignedLauncherVerifiesUntilAPayloadByteChanges) {
  NEED_DLL();
  make_app();
  auto tool = [&](std::vector<std::string> argv) { return run_program(argv, root_); };
  ASSERT_EQ(tool({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "key.pem", "-out", "cert.pem",
                  "-days", "2", "-subj", "/CN=Tavren Test", "-batch"})
                .status,
            0);
  ASSERT_EQ(tool({"openssl", "pkcs12", "-export", "-out", "test.p12", "-inkey", "key.pem", "-in", "cert.pem",
                  "-passout", "pass:secret"})
                .status,
            0);
  spit(root_ / "password.txt", "secret\n");
  run_result r = run({"build", "app", "--main", "bin/app.dll", "-o", "App.exe", "-q", "--sign", "test.p12",
                      "--sign-password-file", "password.txt"},
                     root_);
  ASSERT_EQ(r.status, 0) << r.err;
  run_result checked = tool({"osslsigncode", "verify", "-CAfile", "cert.pem", "App.exe"});
  EXPECT_EQ(checked.status, 0) << checked.out << checked.err;
  EXPECT_EQ(run({"verify", "App.exe"}, root_).status, 0) << "the reader finds the payload in a signed file";

  std::string exe = slurp(root_ / "App.exe");
  size_t header = exe.find(".payload");
  ASSERT_NE(header, std::string::npos);
  size_t payload = static_cast<unsigned char>(exe[header + 20]) | static_cast<unsigned char>(exe[header + 21]) << 8 |
                   static_cast<size_t>(static_cast<unsigned char>(exe[header + 22])) << 16;
  ASSERT_EQ(exe.substr(payload, 3), "JQZ");
  exe[payload + 100] ^= 1;
  spit(root_ / "Damaged.exe", exe);
  EXPECT_NE(tool({"osslsigncode", "verify", "-CAfile", "cert.pem", "Damaged.exe"}).status, 0)
      << "the signature covers the payload";

  r = run({"build", "app", "--main", "bin/app.dll", "-o", "Bad.exe", "-q", "--sign", "test.p12"}, root_);
  EXPECT_EQ(r.status, 1) << "wrong password";
  EXPECT_EQ(r.err.rfind("tavren-pack: signing the launcher failed (osslsigncode exit ", 0), 0u) << r.err;
  EXPECT_FALSE(fs::exists(root_ / "Bad.exe"));
}

// Every file of the tree below `folder`, by relative path, with its bytes.
std::map<std::string, std::string> tree_bytes(const fs::path& folder) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(folder))
    if (entry.is_regular_file()) files[fs::relative(entry.path(), folder).string()] = slurp(entry.path());
  return files;
}

TEST_F(PackCli, SignPayloadSignsEveryBinaryOnCopiesKeepsAVendorsSignatureAndIsReproducible) {
  NEED_DLL();
  fs::path app = make_app();
  auto tool = [&](std::vector<std::string> argv) { return run_program(argv, root_); };
  for (std::string who : {"ours", "vendor"}) {
    ASSERT_EQ(tool({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", who + ".key", "-out",
                    who + ".pem", "-days", "2", "-subj", "/CN=" + who, "-batch"})
                  .status,
              0);
    ASSERT_EQ(tool({"openssl", "pkcs12", "-export", "-out", who + ".p12", "-inkey", who + ".key", "-in", who + ".pem",
                    "-passout", "pass:"})
                  .status,
              0);
  }
  // A binary known by its content only, one its vendor signed, and a text that is named like one.
  fs::copy_file(fs::path(TAVREN_FIXTURES) / "other_library.dll", app / "data" / "helper.bin");
  ASSERT_EQ(tool({"osslsigncode", "sign", "-pkcs12", "vendor.p12", "-h", "sha256", "-in",
                  (fs::path(TAVREN_FIXTURES) / "other_library.dll").string(), "-out", (app / "vendor.dll").string()})
                .status,
            0);
  spit(app / "notes.dll", "MZ but no image");
  const std::map<std::string, std::string> before = tree_bytes(app);

  fs::create_directories(root_ / "again");
  for (const char* out : {"App.exe", "again/App.exe"}) {
    run_result r =
        run({"build", "app", "--main", "bin/app.dll", "-o", out, "-q", "--sign", "ours.p12", "--sign-payload"}, root_,
            {"SOURCE_DATE_EPOCH="});
    ASSERT_EQ(r.status, 0) << r.err;
  }
  EXPECT_EQ(tree_bytes(app), before) << "the application folder is only read";
  EXPECT_EQ(slurp(root_ / "App.exe"), slurp(root_ / "again" / "App.exe")) << "no time stamp, the same bytes";
  EXPECT_EQ(tool({"osslsigncode", "verify", "-CAfile", "ours.pem", "App.exe"}).status, 0);

  ASSERT_EQ(run({"extract", "App.exe", "x"}, root_).status, 0);
  std::map<std::string, std::string> unpacked = tree_bytes(root_ / "x");
  ASSERT_EQ(unpacked.size(), before.size());
  for (const auto& [name, bytes] : unpacked) {
    bool binary = name == "bin/app.dll" || name == "data/helper.bin" || name == "vendor.dll";
    if (!binary || name == "vendor.dll") {
      EXPECT_EQ(bytes, before.at(name)) << name;
      continue;
    }
    EXPECT_NE(bytes, before.at(name)) << name;
    run_result checked = tool({"osslsigncode", "verify", "-CAfile", "ours.pem", "x/" + name});
    EXPECT_EQ(checked.status, 0) << name << "\n" << checked.out << checked.err;
  }
  EXPECT_EQ(tool({"osslsigncode", "verify", "-CAfile", "vendor.pem", "x/vendor.dll"}).status, 0);
  std::string listed = run({"list", "App.exe"}, root_).out;
  for (const char* line : {"\tbin\\app.dll\tsigned\n", "\tdata\\helper.bin\tsigned\n", "\tvendor.dll\tsigned\n",
                           "\treadme.txt\n", "\tnotes.dll\n"})
    EXPECT_NE(listed.find(line), std::string::npos) << line << "\n" << listed;

  expect_refused(run({"build", "app", "--main", "bin/app.dll", "-o", "Bad.exe", "--sign-payload"}, root_), 2,
                 "--sign-payload goes with --sign", root_ / "Bad.exe");
}

}  // namespace

TEST_F(PackCli, CachedBuildRecordsAContentKeyThatFollowsThePayloadAndRefusesUnusableFolderNames) {
  NEED_DLL();
  fs::path app = make_app();
  auto build = [&](const std::string& out, std::vector<std::string> extra) {
    std::vector<std::string> args = {"build", "app", "--main", "bin/app.dll", "-o", out, "-q"};
    args.insert(args.end(), extra.begin(), extra.end());
    return run(args, root_);
  };
  fs::create_directories(root_ / "again");
  ASSERT_EQ(build("App.exe", {"--cached"}).status, 0);
  ASSERT_EQ(build("again/App.exe", {"--cached"}).status, 0);
  EXPECT_EQ(slurp(root_ / "App.exe"), slurp(root_ / "again" / "App.exe"));
  std::string first = run({"list", "App.exe"}, root_).out;
  EXPECT_EQ(first.substr(0, 43).rfind("launcher: windowed, x64, cached, key ", 0), 0u) << first;
  spit(app / "readme.txt", "hello again\n");
  ASSERT_EQ(build("App.exe", {"--cached-verify"}).status, 0);
  std::string second = run({"verify", "App.exe"}, root_).out;
  EXPECT_NE(second.substr(0, 48), first.substr(0, 48)) << "another payload, another key";
  EXPECT_NE(second.find(", digests checked on every start\nexecution level: asInvoker\nentry: library\nok: "),
            std::string::npos)
      << second;

  expect_refused(build("Bad.exe", {"--cached", "--product", "a/b"}), 2, "--cached names a folder after",
                 root_ / "Bad.exe");
  expect_refused(build("Bad.exe", {"--cached", "--company", ".."}), 2, "--cached names a folder after",
                 root_ / "Bad.exe");
  ASSERT_EQ(build("App.exe", {"--cached", "--unpack-dir", "{PROGRAM_DIR}\\.app-files"}).status, 0);
  EXPECT_NE(run({"list", "App.exe"}, root_).out.find("\nunpack folder: {PROGRAM_DIR}\\.app-files\nexecution level: "),
            std::string::npos);
  spit(app / ".onefile-record", "mine");
  expect_refused(build("Bad.exe", {"--cached"}), 1, "'.onefile-record'", root_ / "Bad.exe");
}

// A 24-bit bottom-up BMP whose pixel (x, y) is (red x*10, green y*10, blue 200).
static std::string test_bmp(int width, int height) {
  size_t stride = (static_cast<size_t>(width) * 3 + 3) / 4 * 4;
  std::string out(54 + stride * height, '\0');
  auto put = [&](size_t at, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out[at + i] = static_cast<char>(v >> (8 * i));
  };
  out[0] = 'B';
  out[1] = 'M';
  put(2, static_cast<uint32_t>(out.size()), 4);
  put(10, 54, 4);
  put(14, 40, 4);
  put(18, static_cast<uint32_t>(width), 4);
  put(22, static_cast<uint32_t>(height), 4);
  put(26, 1, 2);
  put(28, 24, 2);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      size_t at = 54 + (height - 1 - y) * stride + x * 3;
      put(at, 200, 1);
      put(at + 1, static_cast<uint32_t>(y * 10), 1);
      put(at + 2, static_cast<uint32_t>(x * 10), 1);
    }
  return out;
}

TEST_F(PackCli, SplashIsStoredAsBgraRowsReproduciblyListedAndBadImagesAreRefused) {
  NEED_DLL();
  make_app();
  spit(root_ / "splash.bmp", test_bmp(20, 16));
  fs::create_directories(root_ / "a");
  fs::create_directories(root_ / "b");
  for (const char* exe : {"a/App.exe", "b/App.exe"})
    ASSERT_EQ(run({"build", "app", "--main", "bin/app.dll", "-o", exe, "-q", "--splash", "splash.bmp",
                   "--splash-timeout", "7"},
                  root_)
                  .status,
              0);
  std::string launcher = slurp(root_ / "a" / "App.exe");
  EXPECT_TRUE(launcher == slurp(root_ / "b" / "App.exe")) << "the same input gives the same bytes";
  EXPECT_EQ(run({"list", "a/App.exe"}, root_).out.substr(0, 52), "launcher: windowed, x64, splash 20x16 (7 s at most)\n");
  std::string header("\x14\0\0\0\x10\0\0\0\x07\0\0\0\0\0\0\0", 16);
  size_t record = launcher.find(header);
  ASSERT_NE(record, std::string::npos);
  EXPECT_EQ(record % 16, 0u) << "rows aligned for the window";
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 20; ++x) {
      std::string bgra = {static_cast<char>(200), static_cast<char>(y * 10), static_cast<char>(x * 10), '\xFF'};
      ASSERT_EQ(launcher.substr(record + 16 + (y * 20 + x) * 4, 4), bgra) << x << "," << y;
    }

  spit(root_ / "text.png", "not an image");
  std::string huge = test_bmp(1, 1), tiny = test_bmp(8, 8);
  huge.replace(18, 4, std::string("\xD0\x07\0\0", 4));  // 2000 pixels wide, by its header
  spit(root_ / "huge.bmp", huge);
  spit(root_ / "tiny.bmp", tiny);
  const std::pair<const char*, const char*> bad[] = {{"missing.png", "cannot read 'missing.png'"},
                                                     {"text.png", "is neither a PNG nor a BMP image"},
                                                     {"huge.bmp", "is 2000x1 pixels; at most 1024 a side"},
                                                     {"tiny.bmp", "is 8x8 pixels; at least 16 a side"}};
  for (const auto& [image, message] : bad)
    expect_refused(run({"build", "app", "--main", "bin/app.dll", "-o", "C.exe", "-q", "--splash", image}, root_), 2,
                   message, root_ / "C.exe");
}
