// What a built launcher carries besides the payload (version texts, manifest, icon), how
// --icon is refused, and that the same input gives the same executable. Checked with the
// packer run as a process and the executable read back by icoutils, as a user would.
#include <fcntl.h>
#include <pty.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <stb_image.h>
#include <stb_image_write.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "packer/app_icon.h"
#include "packer/executable_looks.h"
#include "packer/manifest_xml.h"
#include "packer/names.h"
#include "packer/pe/launcher_resources.h"
#include "packer/pe/resource_reader.h"
#include "tests/support/native_test_support.h"

namespace {

namespace fs = std::filesystem;
using namespace native_test;

std::string utf16(const std::u16string& text) {
  std::string out;
  for (char16_t unit : text) {
    out += static_cast<char>(unit & 0xFF);
    out += static_cast<char>(unit >> 8);
  }
  return out;
}

/// The UTF-16 value after `key` in a version resource, skipping the alignment padding.
std::u16string version_value(const std::string& version, const std::u16string& key) {
  size_t at = version.find(utf16(key) + std::string(2, '\0'));
  if (at == std::string::npos) return u"<missing>";
  at += (key.size() + 1) * 2;
  while (at + 1 < version.size() && version[at] == 0 && version[at + 1] == 0) at += 2;
  std::u16string value;
  for (; at + 1 < version.size() && (version[at] || version[at + 1]); at += 2)
    value += static_cast<char16_t>(static_cast<unsigned char>(version[at]) | static_cast<unsigned char>(version[at + 1])
                                                                                 << 8);
  return value;
}

/// A PNG of `width` x `height`, opaque red.
std::string red_png(int width, int height) {
  std::vector<unsigned char> pixels(static_cast<size_t>(width) * height * 4);
  for (size_t i = 0; i < pixels.size(); i += 4) {
    pixels[i] = 255;
    pixels[i + 3] = 255;
  }
  std::string png;
  stbi_write_png_to_func(
      [](void* context, void* data, int size) {
        static_cast<std::string*>(context)->append(static_cast<char*>(data), static_cast<size_t>(size));
      },
      &png, width, height, 4, pixels.data(), width * 4);
  return png;
}

class PackResources : public ::testing::Test {
 protected:
  void SetUp() override {
    char root[] = "/tmp/tavren-resources-test-XXXXXX";
    ASSERT_NE(mkdtemp(root), nullptr);
    root_ = root;
    if (!TAVREN_HAVE_FIXTURES) GTEST_SKIP() << "no MinGW driver to build the test DLL";
    fs::create_directories(root_ / "app" / "bin");
    fs::copy_file(fs::path(TAVREN_FIXTURES) / "main_library.dll", root_ / "app" / "bin" / "app.dll");
    spit(root_ / "app" / "readme.txt", "hello\n");
  }
  void TearDown() override { fs::remove_all(root_); }

  /// `tavren-pack build app ... -o <output> <extra>`.
  run_result build(const std::string& output, std::vector<std::string> extra = {}, const fs::path& cwd = {},
                   bool terminal = false) {
    std::vector<std::string> args = {TAVREN_PACK_EXE, "build", (root_ / "app").string(), "--main", "bin/app.dll", "-o",
                                     output};
    args.insert(args.end(), extra.begin(), extra.end());
    return run_program(args, cwd.empty() ? root_ : cwd, {}, terminal);
  }

  /// `icotool -l` of the icon group extracted from `exe` by wrestool.
  std::string icon_listing(const std::string& exe) {
    fs::path folder = root_ / ("icons-" + exe);
    fs::create_directories(folder);
    run_result x = run_program({"wrestool", "-x", "-t14", "-o", folder.string(), (root_ / exe).string()}, root_);
    EXPECT_EQ(x.status, 0) << x.err;
    std::vector<std::string> args = {"icotool", "-l"};
    for (const auto& entry : fs::directory_iterator(folder)) args.push_back(entry.path().string());
    return run_program(args, root_).out;
  }

  void expect_refused(const run_result& r, const std::string& message) {
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line: " << r.err;
    EXPECT_NE(r.err.find(message), std::string::npos) << "wanted: " << message << "\ngot: " << r.err;
    EXPECT_FALSE(fs::exists(root_ / "App2.exe"));
    for (const auto& entry : fs::directory_iterator(root_))
      EXPECT_EQ(entry.path().filename().string().find(".tmp-"), std::string::npos) << entry.path();
  }

  fs::path root_;
};

const char four_sizes[] =
    "--icon --index=1 --width=16 --height=16 --bit-depth=32 --palette-size=0\n"
    "--icon --index=2 --width=32 --height=32 --bit-depth=32 --palette-size=0\n"
    "--icon --index=3 --width=48 --height=48 --bit-depth=32 --palette-size=0\n"
    "--icon --index=4 --width=256 --height=256 --bit-depth=32 --palette-size=0\n";

TEST_F(PackResources, EveryLauncherCarriesIconManifestAndVersion) {
  ASSERT_EQ(build("App.exe", {"-q", "--company", "Q \"x\" \\y\\ \xF0\x9F\x98\x80", "--file-version", "1.2.3.4"}).status,
            0);
  run_result listing = run_program({"wrestool", "-l", "App.exe"}, root_);
  for (const char* type : {"--type=3 --name=1 ", "--type=3 --name=4 ", "--type=14 --name=1 ", "--type=16 --name=1 ",
                           "--type=24 --name=1 "})
    EXPECT_NE(listing.out.find(type), std::string::npos) << type << " in\n" << listing.out;
  EXPECT_EQ(icon_listing("App.exe"), four_sizes);

  ASSERT_EQ(run_program({"wrestool", "-x", "--raw", "-t16", "-o", "version.bin", "App.exe"}, root_).status, 0);
  std::string version = slurp(root_ / "version.bin");
  EXPECT_TRUE(version_value(version, u"CompanyName") == u"Q \"x\" \\y\\ \U0001F600");
  EXPECT_TRUE(version_value(version, u"FileVersion") == u"1.2.3.4");
  EXPECT_TRUE(version_value(version, u"ProductVersion") == u"0.0.0.0");
  EXPECT_TRUE(version_value(version, u"OriginalFilename") == u"App.exe");
  EXPECT_TRUE(version_value(version, u"ProductName") == u"app") << "the product defaults to the main library's name";
}

// A launcher carries what an executable entry's launcher takes over: read back, then damaged
// at random, which must never read outside the image (the sanitizer tree checks).
TEST_F(PackResources, AnExecutablesLooksAreReadBackAndDamageIsHarmless) {
  ASSERT_EQ(
      build("App.exe", {"-q", "--company", "Co \xC3\xA9", "--product", "Prod", "--file-version", "1.2.3.65535"}).status,
      0);
  std::string exe = slurp(root_ / "App.exe");
  auto looks_of = [](const std::string& image) {
    return read_executable_looks(reinterpret_cast<const unsigned char*>(image.data()), image.size());
  };
  executable_looks looks = looks_of(exe);
  EXPECT_EQ(looks.company, "Co \xC3\xA9");
  EXPECT_EQ(looks.product, "Prod");
  EXPECT_EQ(looks.file_version, "1.2.3.65535");
  EXPECT_EQ(looks.level, execution_level::as_invoker);
  EXPECT_EQ(ico_fault(reinterpret_cast<const unsigned char*>(looks.ico.data()), looks.ico.size()), "");
  EXPECT_EQ(looks.ico, default_icon()) << "the icon group comes back as the .ico it was made from";
  std::mt19937 random(7);
  for (int round = 0; round < 2000; ++round) {
    std::string damaged = exe;
    // The headers, or the resource section, which the launcher's last section holds.
    for (int k = 0; k < 6; ++k)
      damaged[k % 2 ? random() % 1024 : damaged.size() - 1 - random() % 80000] = static_cast<char>(random());
    looks_of(damaged);
    looks_of(damaged.substr(0, random() % damaged.size()));
  }
}

TEST_F(PackResources, PngIconIsCentredAndScaledToEverySize) {
  spit(root_ / "wide.png", red_png(300, 150));
  run_result r = build("App.exe", {"-q", "--icon", "wide.png"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(icon_listing("App.exe"), four_sizes);
  ASSERT_EQ(run_program({"sh", "-c", "icotool -x -o . icons-App.exe/*.ico"}, root_).status, 0);
  int width = 0, height = 0, channels = 0;
  unsigned char* big = stbi_load((root_ / "App.exe_14_1_4_256x256x32.png").c_str(), &width, &height, &channels, 4);
  ASSERT_NE(big, nullptr);
  EXPECT_EQ(big[3], 0) << "the band above a wide picture is transparent";
  EXPECT_EQ(big[(128 * 256 + 128) * 4 + 3], 255) << "the middle is the picture";
  EXPECT_GT(big[(128 * 256 + 128) * 4], 250);
  stbi_image_free(big);

  spit(root_ / "tiny.png", red_png(20, 20));
  r = build("Tiny.exe", {"-q", "--icon", "tiny.png"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "tavren-pack: warning: icon 'tiny.png' is 20x20; scaled up to 256x256 it will look blurred\n");
}

TEST_F(PackResources, IcoIconIsUsedAsItIsOrRefusedWithTheReason) {
  // Our own four-size icon, as an .ico file, must come through image for image.
  std::string ico = default_icon();
  spit(root_ / "mine.ico", ico);
  ASSERT_EQ(build("App.exe", {"-q", "--icon", (root_ / "mine.ico").string()}).status, 0);
  std::string exe = slurp(root_ / "App.exe");
  for (int i = 0; i < 4; ++i) {
    const unsigned char* entry = reinterpret_cast<const unsigned char*>(ico.data()) + 6 + 16 * i;
    uint32_t bytes = entry[8] | entry[9] << 8 | entry[10] << 16, offset = entry[12] | entry[13] << 8 | entry[14] << 16;
    EXPECT_NE(exe.find(ico.substr(offset, bytes)), std::string::npos) << "image " << i;
  }

  std::vector<rgba_image> three;
  for (int side : {16, 32, 256})
    three.push_back({side, side, std::vector<unsigned char>(static_cast<size_t>(side) * side * 4, 200)});
  spit(root_ / "three.ico", ico_from_images(three));
  expect_refused(build("App2.exe", {"--icon", "three.ico"}),
                 "tavren-pack: icon 'three.ico' lacks 48x48 (it holds 16x16, 32x32, 256x256; it needs");
  spit(root_ / "cut.ico", ico.substr(0, ico.size() - 1));
  expect_refused(build("App2.exe", {"--icon", "cut.ico"}), "icon 'cut.ico' image 4 (256x256) lies outside the file");
  spit(root_ / "cut.png", red_png(64, 64).substr(0, 40));
  expect_refused(build("App2.exe", {"--icon", "cut.png"}), "icon 'cut.png' is not a usable PNG (");
  spit(root_ / "photo.jpg", "\xFF\xD8\xFF\xE0 not an icon");
  expect_refused(build("App2.exe", {"--icon", "photo.jpg"}), "icon 'photo.jpg' is neither a PNG nor an .ico file");
  expect_refused(build("App2.exe", {"--icon", "missing.png"}), "cannot read 'missing.png': No such file or directory");
}

// Hostile directories must not make the reader look outside the file or loop for long.
TEST(IcoFaults, NamesWhatIsWrongWithoutReadingPastTheEnd) {
  auto fault = [](const std::string& bytes) {
    return ico_fault(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  };
  EXPECT_EQ(fault(""), "is not an .ico file (bad header)");
  EXPECT_EQ(fault(std::string("\0\0\2\0\1\0", 6)), "is not an .ico file (bad header)") << "a cursor";
  EXPECT_EQ(fault(std::string("\0\0\1\0\0\0", 6)), "holds no images");
  EXPECT_EQ(fault(std::string("\0\0\1\0\xFF\xFF", 6)), "is cut short (its directory lists 65535 images)");
  std::string ico = default_icon();
  EXPECT_EQ(fault(ico), "");
  std::string wrapped = ico;
  wrapped[6 + 16 * 3 + 12] = '\xF0';  // offset near 4 GiB: offset + size wraps in 32 bits
  wrapped[6 + 16 * 3 + 13] = '\xFF';
  wrapped[6 + 16 * 3 + 14] = '\xFF';
  wrapped[6 + 16 * 3 + 15] = '\xFF';
  EXPECT_EQ(fault(wrapped), "image 4 (256x256) lies outside the file");
  std::string overlap = ico;
  overlap[6 + 12] = 2;  // first image starts inside the directory
  overlap[6 + 13] = overlap[6 + 14] = overlap[6 + 15] = 0;
  EXPECT_EQ(fault(overlap), "image 1 (16x16) lies outside the file");
  std::string junk = ico;
  junk.replace(6 + 16 * 4, 4, "JUNK");
  EXPECT_EQ(fault(junk), "image 1 (16x16) is neither PNG nor a bitmap");
}

TEST_F(PackResources, SameInputGivesTheSameExecutableFromAnyFolder) {
  spit(root_ / "art" / "logo.png", red_png(256, 256));
  fs::create_directories(root_ / "elsewhere" / "deeper");
  std::vector<std::string> options = {"-q",
                                      "--product",
                                      "Pr\xC3\xB6"
                                      "d",
                                      "--file-version",
                                      "9.8.7.6",
                                      "--uac-admin",
                                      "--dpi-aware",
                                      "per-monitor-v2",
                                      "--utf8"};
  std::vector<std::string> first = options, second = options;
  first.insert(first.end(), {"--icon", "art/logo.png"});
  second.insert(second.end(), {"--icon", (root_ / "art" / "logo.png").string()});
  ASSERT_EQ(build("App.exe", first).status, 0);
  sleep(1);  // a timestamp anywhere would now differ
  ASSERT_EQ(build("deeper/App.exe", second, root_ / "elsewhere").status, 0);
  std::string exe = slurp(root_ / "App.exe");
  ASSERT_EQ(exe, slurp(root_ / "elsewhere" / "deeper" / "App.exe"));

  uint32_t pe = static_cast<unsigned char>(exe[0x3C]) | static_cast<unsigned char>(exe[0x3D]) << 8;
  ASSERT_LT(pe + 12, exe.size());
  EXPECT_EQ(exe.substr(pe + 8, 4), std::string(4, '\0')) << "PE header time stamp";
  EXPECT_EQ(exe.find("/tmp/"), std::string::npos) << "no build path inside";
  EXPECT_EQ(exe.find(".tmp-"), std::string::npos);
  run_result dump = run_program({"x86_64-w64-mingw32-objdump", "-x", "App.exe"}, root_);
  EXPECT_NE(dump.out.find("Time/Date\t\tThu Jan  1 00:00:00 1970"), std::string::npos);
}

TEST_F(PackResources, ProgressAndSummaryOnlyWhereTheyBelong) {
  run_result piped = build("App.exe");
  ASSERT_EQ(piped.status, 0) << piped.err;
  EXPECT_EQ(piped.err, "") << "no progress when stderr is not a terminal";
  EXPECT_TRUE(piped.out.rfind("built App.exe: 2 files, ", 0) == 0 && piped.out.find(" s\n") == piped.out.size() - 3)
      << piped.out;

  run_result terminal = build("Tty.exe", {}, {}, true);
  EXPECT_EQ(terminal.status, 0) << terminal.err;
  size_t summary = terminal.err.find("built Tty.exe: 2 files, ");
  ASSERT_NE(summary, std::string::npos) << terminal.err;
  // A tiny app may finish before the progress line is first drawn; one that was drawn is cleared.
  if (summary > 0) {
    EXPECT_EQ(terminal.err.substr(summary - 4, 4), "\r\033[K") << terminal.err;
  }

  run_result quiet = build("Quiet.exe", {"--quiet"}, {}, true);
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.err, "");
}

// --- What the manifest asks of Windows -----------------------------------------------

// A user's manifest with a prefixed root, a byte-order mark, a comment, a reference and a
// CDATA section, without long paths or supported versions.
const char own_manifest[] =
    "\xEF\xBB\xBF<?xml version='1.0' encoding='UTF-8'?>\n<!-- own -->\n"
    "<asmv1:assembly xmlns:asmv1=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">\n"
    "  <description>Mine &amp; &#x263A;<![CDATA[ <raw> ]]></description>\n"
    "  <trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v3\"><security><requestedPrivileges>\n"
    "    <requestedExecutionLevel level='highestAvailable' uiAccess=\"false\"/>\n"
    "  </requestedPrivileges></security></trustInfo>\n"
    "</asmv1:assembly>\n";

struct manifest_case {
  std::string name;
  std::vector<std::string> options;
  std::string level;                 ///< requested, as list and verify show it
  std::vector<std::string> present;  ///< in the manifest read back
  std::vector<std::string> absent;
};

void PrintTo(const manifest_case& c, std::ostream* out) { *out << c.name; }

class LauncherManifest : public PackResources, public ::testing::WithParamInterface<manifest_case> {};

TEST_P(LauncherManifest, ReadBackFromTheLauncherAsAskedForAndListed) {
  const manifest_case& c = GetParam();
  spit(root_ / "own.manifest", own_manifest);
  std::vector<std::string> options = {"-q"};
  options.insert(options.end(), c.options.begin(), c.options.end());
  run_result r = build("App.exe", options);
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(run_program({"wrestool", "-x", "--raw", "-t24", "-o", "manifest.xml", "App.exe"}, root_).status, 0);
  std::string manifest = slurp(root_ / "manifest.xml");
  manifest_facts facts = read_manifest(manifest);
  EXPECT_EQ(facts.fault, "");
  EXPECT_EQ(facts.level, c.level);
  for (const std::string& text : c.present) EXPECT_NE(manifest.find(text), std::string::npos) << text;
  for (const std::string& text : c.absent) EXPECT_EQ(manifest.find(text), std::string::npos) << text;
  bool own = c.options[0] == "--manifest";
  if (own) {
    EXPECT_EQ(manifest, own_manifest) << "the user's file, byte for byte";
    EXPECT_EQ(r.err,
              "tavren-pack: warning: manifest 'own.manifest' does not turn on longPathAware: the application cannot "
              "use paths of 260 characters or more\n"
              "tavren-pack: warning: manifest 'own.manifest' lists no supportedOS: Windows 8 and later run the "
              "launcher with the compatibility settings of Vista\n");
  } else {
    // What every launcher of ours declares stays.
    EXPECT_TRUE(facts.long_path_aware);
    EXPECT_EQ(facts.supported_os, 5u);
    EXPECT_EQ(r.err, "");
  }
  for (const char* command : {"list", "verify"}) {
    std::string out = run_program({TAVREN_PACK_EXE, command, "App.exe"}, root_).out;
    EXPECT_NE(out.find("\nexecution level: " + c.level + "\n"), std::string::npos) << command << ":\n" << out;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Options, LauncherManifest,
    ::testing::Values(
        manifest_case{"Default", {"--file-version", "1.0.0.0"}, "asInvoker", {}, {"dpiAware", "activeCodePage"}},
        manifest_case{"UacAdmin", {"--uac-admin"}, "requireAdministrator", {}, {}},
        manifest_case{"UacLevelHighestAvailable", {"--uac-level", "highestAvailable"}, "highestAvailable", {}, {}},
        manifest_case{"DpiSystem",
                      {"--dpi-aware", "system"},
                      "asInvoker",
                      {"SMI/2005/WindowsSettings\">true</dpiAware>"},
                      {"dpiAwareness"}},
        manifest_case{"DpiPerMonitorV2",
                      {"--dpi-aware", "per-monitor-v2"},
                      "asInvoker",
                      {"SMI/2005/WindowsSettings\">true/pm</dpiAware>",
                       "SMI/2016/WindowsSettings\">PerMonitorV2, PerMonitor</dpiAwareness>"},
                      {}},
        manifest_case{
            "Utf8", {"--utf8"}, "asInvoker", {"SMI/2019/WindowsSettings\">UTF-8</activeCodePage>"}, {"dpiAware"}},
        manifest_case{"OwnManifest", {"--manifest", "own.manifest"}, "highestAvailable", {}, {}}),
    [](const ::testing::TestParamInfo<manifest_case>& info) { return info.param.name; });

// A manifest Windows would refuse makes a launcher that never starts (a side-by-side error):
// it is refused before any work, with one line that says where and why.
TEST_F(PackResources, ABrokenManifestIsRefusedWithOneLineAndNoOutput) {
  const std::pair<std::string, std::string> broken[] = {
      {"", "line 1: no root element"},
      {"<assembly>", "line 1: <assembly> is not closed"},
      {"<assembly>\n<a></b>\n</assembly>", "line 2: </b> closes <a>"},
      {"<dependency/>", "line 1: the root element is <dependency>, not <assembly>"},
      {"<assembly/><assembly/>", "line 1: more after the root element"},
      {"<assembly a='1' a='2'/>", "line 1: attribute a given twice"},
      {"<assembly>&nbsp;</assembly>", "line 1: unknown entity &nbsp;"},
      {"<!DOCTYPE assembly><assembly/>", "line 1: a document type declaration (not accepted in a manifest)"},
      {"<assembly><!-- a -- b --></assembly>", "line 1: '--' inside a comment"},
      {"<assembly>\xFF</assembly>", "line 1: not UTF-8 text"},
      {"<?xml version='1.0' encoding='UTF-16'?><assembly/>", "line 1: encoding UTF-16 (the text is UTF-8)"},
      {"<?xml version='1.0' encoding='ISO-8859-1'?><assembly/>",
       "line 1: encoding ISO-8859-1 (only UTF-8 and UTF-16 are read)"},
      {"<assembly level=unquoted/>", "line 1: a quoted value expected"},
      {"<assembly a='x<y'/>", "line 1: '<' in an attribute value"},
      {"<assembly>\n a ]]> b</assembly>", "line 2: ']]>' in text"},
      {"<assembly>&#0;</assembly>", "line 1: bad character reference &#0;"},
      {"<assembly>&#xD800;</assembly>", "line 1: bad character reference &#xD800;"},
  };
  for (const auto& [text, reason] : broken) {
    spit(root_ / "broken.manifest", text);
    run_result r = build("App2.exe", {"-q", "--manifest", "broken.manifest"});
    EXPECT_EQ(r.status, 2) << text;
    EXPECT_EQ(r.err, "tavren-pack: manifest 'broken.manifest' is not a well-formed manifest: " + reason + "\n") << text;
    EXPECT_FALSE(fs::exists(root_ / "App2.exe"));
  }
  spit(root_ / "own.manifest", own_manifest);
  run_result both = build("App2.exe", {"-q", "--manifest", "own.manifest", "--uac-admin"});
  EXPECT_EQ(both.status, 2);
  EXPECT_EQ(both.err.rfind("tavren-pack: --manifest is the whole manifest", 0), 0u) << both.err;
  for (const auto& entry : fs::directory_iterator(root_))
    EXPECT_EQ(entry.path().filename().string().find(".tmp-"), std::string::npos) << entry.path();
  EXPECT_FALSE(fs::exists(root_ / "App2.exe"));
}

TEST(PackResourcesReal, OnlySystemLibrariesAreImported) {
  if (!TAVREN_HAVE_FIXTURES) GTEST_SKIP() << "no MinGW driver to build the test DLL";
  char root[] = "/tmp/tavren-imports-test-XXXXXX";
  ASSERT_NE(mkdtemp(root), nullptr);
  fs::create_directories(fs::path(root) / "app");
  fs::copy_file(fs::path(TAVREN_FIXTURES) / "main_library.dll", fs::path(root) / "app" / "app.dll");
  run_result r = run_program({TAVREN_PACK_EXE, "build", "app", "--main", "app.dll", "-o", "App.exe", "-q"}, root);
  ASSERT_EQ(r.status, 0) << r.err;
  fs::path exe = fs::path(root) / "App.exe";
  std::string dump = run_program({"x86_64-w64-mingw32-objdump", "-p", exe.string()}, root).out;
  std::string names;
  for (size_t at = dump.find("DLL Name: "); at != std::string::npos; at = dump.find("DLL Name: ", at + 1))
    names += dump.substr(at + 10, dump.find('\n', at) - at - 10) + " ";
  // Advapi32, for the access lists, is bound when a run first needs it.
  EXPECT_EQ(names, "KERNEL32.dll msvcrt.dll ");
  // Kernel32 calls that Vista, or Windows 7 without update KB2533623, lacks are bound at run
  // time too: one static import of them and the launcher does not start there at all.
  for (const char* newer : {"AddDllDirectory", "SetDefaultDllDirectories", "RemoveDllDirectory", "K32"})
    EXPECT_EQ(dump.find(newer), std::string::npos) << newer;
  fs::remove_all(root);
}

// --- What the packer reads from an executable ----------------------------------------

std::string utf16_text(const std::string& utf8, bool big_endian, bool mark) {
  std::string out = !mark ? "" : big_endian ? "\xFE\xFF" : "\xFF\xFE";
  std::u16string units = utf8_to_utf16(utf8).value_or(u"");
  for (char16_t unit : units) {
    char low = static_cast<char>(unit & 0xFF), high = static_cast<char>(unit >> 8);
    out += big_endian ? high : low;
    out += big_endian ? low : high;
  }
  return out;
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  size_t at = text.find(from);
  return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

/// Wine's own programs: real executables, built by another toolchain, with manifests and
/// version resources of their own.
std::vector<std::string> wine_programs() {
  std::vector<std::string> images;
  for (const auto& entry : fs::directory_iterator(TAVREN_WINE_PROGRAMS))
    if (entry.path().extension() == ".exe") images.push_back(slurp(entry.path()));
  return images;
}

std::optional<std::string> resource_in(const std::string& image, uint16_t type, uint16_t id = 0) {
  return find_resource({reinterpret_cast<const unsigned char*>(image.data()), image.size()}, type, id);
}

bool same_facts(const manifest_facts& a, const manifest_facts& b) {
  return a.fault == b.fault && a.level == b.level && a.long_path_aware == b.long_path_aware &&
         a.supported_os == b.supported_os;
}

// A manifest reads alike in every form Windows reads: a fault here would drop an
// application's administrator level without a word.
TEST(ExecutableManifest, EveryFormWindowsReadsGivesTheSameFacts) {
  std::vector<std::string> manifests = {slurp(TAVREN_LOOKS_MANIFEST)};
  for (const std::string& image : wine_programs())
    if (std::optional<std::string> manifest = resource_in(image, resource_type_manifest, 1)) manifests.push_back(*manifest);
  ASSERT_GE(manifests.size(), 10u) << "real manifests in " << TAVREN_WINE_PROGRAMS;
  EXPECT_EQ(read_manifest(manifests[0]).level, "requireAdministrator");
  for (const std::string& text : manifests) {
    manifest_facts facts = read_manifest(text);
    ASSERT_EQ(facts.fault, "") << text;
    // UTF-16 text says so in its declaration, as a real one does.
    std::string wide = replaced(text, "encoding=\"UTF-8\"", "encoding=\"UTF-16\"");
    wide = replaced(wide, "encoding='UTF-8'", "encoding='UTF-16'");
    const std::pair<const char*, std::string> forms[] = {
        {"UTF-8 with a byte-order mark", "\xEF\xBB\xBF" + text},
        {"trailing NULs", text + std::string(3, '\0')},
        {"space before the declaration", "\r\n \t" + text},
        {"UTF-16LE with a mark", utf16_text(wide, false, true)},
        {"UTF-16LE without a mark, NUL-padded", utf16_text(wide, false, false) + std::string(3, '\0')},
        {"UTF-16BE with a mark", utf16_text(wide, true, true)},
    };
    for (const auto& [form, bytes] : forms) EXPECT_TRUE(same_facts(read_manifest(bytes), facts)) << form << "\n" << text;
  }
  EXPECT_EQ(read_manifest(utf16_text(manifests[0], false, true)).fault, "line 1: encoding UTF-8 (the text is UTF-16)");
}

// References decode wherever XML allows them, so a level spelt with them is the level.
TEST(ExecutableManifest, ReferencesAndCdataReadAsXmlReadsThem) {
  manifest_facts facts = read_manifest(
      "<assembly><v:requestedExecutionLevel xmlns:v='x' level=\"&#114;equire&#x41;dministrator\" "
      "uiAccess='&lt;&gt;&amp;&apos;&quot;'/><longPathAware><![CDATA[tr]]>&#x75;e</longPathAware>"
      "<x><![CDATA[ ]] > ]]]]><![CDATA[> <y> ]]></x></assembly>");
  EXPECT_EQ(facts.fault, "");
  EXPECT_EQ(facts.level, "requireAdministrator");
  EXPECT_TRUE(facts.long_path_aware);
}

// An executable's level reaches its launcher from a manifest in UTF-16; one that cannot be
// read stops the build, unless the level is given.
TEST_F(PackResources, AnExecutablesLevelIsTakenFromAnyManifestWindowsReadsOrGiven) {
  std::string looks = replaced(slurp(TAVREN_LOOKS_MANIFEST), "encoding=\"UTF-8\"", "encoding=\"UTF-16\"");
  spit(root_ / "wide.manifest", utf16_text(looks, false, true));
  // A launcher is an executable like any other: it carries that manifest byte for byte.
  ASSERT_EQ(build("Inner.exe", {"-q", "--manifest", "wide.manifest"}).status, 0);
  fs::create_directories(root_ / "outer");
  auto outer = [&](const std::string& image, std::vector<std::string> extra) {
    spit(root_ / "outer" / "inner.exe", image);
    std::vector<std::string> args = {TAVREN_PACK_EXE, "build", "outer", "--main", "inner.exe", "-o", "Outer.exe", "-q"};
    args.insert(args.end(), extra.begin(), extra.end());
    return run_program(args, root_);
  };
  auto level_of = [&](const char* exe) {
    std::string out = run_program({TAVREN_PACK_EXE, "list", exe}, root_).out;
    size_t line = out.find('\n') + 1;
    return out.substr(line, out.find('\n', line) - line);
  };
  std::string inner = slurp(root_ / "Inner.exe");
  ASSERT_EQ(outer(inner, {}).status, 0);
  EXPECT_EQ(level_of("Outer.exe"), "execution level: requireAdministrator");
  fs::remove(root_ / "Outer.exe");

  std::string broken = replaced(inner, utf16_text("</assembly>", false, false), utf16_text("</assemblx>", false, false));
  ASSERT_NE(broken, inner);
  run_result refused = outer(broken, {});
  EXPECT_EQ(refused.status, 2);
  EXPECT_EQ(refused.err,
            "tavren-pack: the manifest of main file 'inner.exe' cannot be read (line 10: </assemblx> closes "
            "<assembly>): give --uac-level with the level the application needs\n");
  EXPECT_FALSE(fs::exists(root_ / "Outer.exe"));
  std::string unknown = replaced(inner, utf16_text("requireAdministrator", false, false),
                                 utf16_text("requireAdministratoR", false, false));
  EXPECT_NE(outer(unknown, {}).err.find("requestedExecutionLevel 'requireAdministratoR' is no level Windows knows"),
            std::string::npos);
  ASSERT_EQ(outer(broken, {"--uac-level", "highestAvailable"}).status, 0);
  EXPECT_EQ(level_of("Outer.exe"), "execution level: highestAvailable");
}

std::map<std::u16string, std::u16string> texts_of(const version_info::table& table) {
  return {table.texts.begin(), table.texts.end()};
}

// Explorer's Details tab shows the launcher of a real program as the program itself: every
// text of every table and the numbers, except what the options give instead.
TEST_F(PackResources, ALauncherOfARealProgramCarriesItsWholeVersionResource) {
  size_t versions = 0;
  for (const std::string& image : wine_programs()) {
    std::optional<std::string> bytes = resource_in(image, resource_type_version);
    std::optional<version_info> info = bytes ? read_version_info(*bytes) : std::nullopt;
    if (!info) continue;
    ++versions;
    std::optional<version_info> again = read_version_info(version_resource(*info));
    ASSERT_TRUE(again);
    EXPECT_EQ(again->fixed, info->fixed);
    EXPECT_EQ(again->translations, info->translations);
    ASSERT_EQ(again->tables.size(), info->tables.size());
    for (size_t i = 0; i < info->tables.size(); ++i) EXPECT_TRUE(again->tables[i].texts == info->tables[i].texts);
  }
  EXPECT_GE(versions, 10u) << "real version resources in " << TAVREN_WINE_PROGRAMS;

  fs::create_directories(root_ / "real");
  fs::copy_file(fs::path(TAVREN_WINE_PROGRAMS) / "regedit.exe", root_ / "real" / "regedit.exe");
  auto version_of = [&](const fs::path& exe) {
    std::optional<std::string> bytes = resource_in(slurp(exe), resource_type_version);
    return bytes ? read_version_info(*bytes) : std::nullopt;
  };
  auto pack = [&](const char* output, std::vector<std::string> extra) {
    std::vector<std::string> args = {TAVREN_PACK_EXE, "build", "real", "--main", "regedit.exe", "-o", output, "-q",
                                     "--level", "1"};
    args.insert(args.end(), extra.begin(), extra.end());
    return run_program(args, root_).status;
  };
  std::optional<version_info> own = version_of(root_ / "real" / "regedit.exe");
  ASSERT_TRUE(own && own->tables.size() == 1 && own->fixed.size() == 52);
  ASSERT_EQ(texts_of(own->tables[0]).count(u"LegalCopyright"), 1u);
  ASSERT_EQ(pack("Same.exe", {}), 0);
  std::optional<version_info> same = version_of(root_ / "Same.exe");
  ASSERT_TRUE(same);
  EXPECT_EQ(same->fixed, own->fixed);
  EXPECT_EQ(same->translations, own->translations);
  ASSERT_EQ(same->tables.size(), 1u);
  EXPECT_EQ(same->tables[0].key, own->tables[0].key);
  EXPECT_TRUE(same->tables[0].texts == own->tables[0].texts);

  ASSERT_EQ(pack("Named.exe", {"--company", "Co", "--product", "Prod", "--file-version", "1.2.3.4", "--product-version",
                               "5.6.7.8"}),
            0);
  std::optional<version_info> named = version_of(root_ / "Named.exe");
  ASSERT_TRUE(named && named->tables.size() == 1);
  std::map<std::u16string, std::u16string> expected = texts_of(own->tables[0]);
  expected[u"CompanyName"] = u"Co";
  expected[u"ProductName"] = expected[u"FileDescription"] = u"Prod";
  expected[u"FileVersion"] = u"1.2.3.4";
  expected[u"ProductVersion"] = u"5.6.7.8";
  EXPECT_TRUE(texts_of(named->tables[0]) == expected);
  const char numbers[] = "\x02\0\x01\0\x04\0\x03\0\x06\0\x05\0\x08\0\x07\0";
  EXPECT_EQ(named->fixed, own->fixed.substr(0, 8) + std::string(numbers, 16) + own->fixed.substr(24));
}

}  // namespace
