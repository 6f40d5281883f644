// The blob reader in-process: finding a blob, its byte layout, and the verdict on every
// blob a launcher refuses.
#include "packer/blob_reader.h"

#include <stdlib.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "formats/payload.h"
#include "packer/blob_commands.h"
#include "packer/pack_error.h"
#include "tests/support/native_test_support.h"

namespace {

namespace fs = std::filesystem;
using namespace native_test;

const unsigned char* at(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }

/// The verdict list, verify and extract share: empty when accepted, else the fault.
std::string verdict(const std::string& file) {
  try {
    blob_span blob = locate_blob(at(file), file.size());
    check_entries(blob, check_blob_layout(blob));
    return "";
  } catch (const pack_error& e) {
    return e.what();
  }
}

std::string with_trailer(std::string blob, uint64_t value) {
  bytes trailer = u64_bytes(value);
  return blob.replace(blob.size() - payload_trailer_size, payload_trailer_size,
                      std::string(trailer.begin(), trailer.end()));
}

std::string fixture_dll() { return slurp(fs::path(TAVREN_FIXTURES) / "main_library.dll"); }

TEST(BlobReader, RefusesWhatALauncherRefusesAndAcceptsWhatItRuns) {
  if (!TAVREN_HAVE_FIXTURES) GTEST_SKIP() << "no MinGW driver to build the main library";
  const std::string dll = fixture_dll();
  auto blob = [&](std::vector<stream_entry> rest = {}, bool end_marker = true) {
    rest.insert(rest.begin(), {u"app.dll", dll});
    return blob_around(compressed(entry_stream(rest, end_marker)));
  };
  // A blob whose frame ends off the trailer's alignment, so it has fill bytes to damage.
  std::string filled;
  for (size_t pad = 0; filled.empty(); ++pad) {
    bytes frame = compressed(entry_stream({{u"app.dll", dll}, {u"p", std::string(pad, 'p')}}));
    if ((payload_magic_size + frame.size()) % payload_trailer_alignment != 0) filled = blob_around(frame);
  }
  // The stream cut across two frames with a skippable frame between them.
  bytes frames = compressed(entry_stream({{u"app.dll", dll}}, false));
  frames.insert(frames.end(), {0x50, 0x2A, 0x4D, 0x18, 4, 0, 0, 0, 1, 2, 3, 4});
  bytes last = compressed(entry_stream({{u"b", "x"}}));
  frames.insert(frames.end(), last.begin(), last.end());
  std::string mid_damage = filled;
  mid_damage[mid_damage.size() / 2] ^= 0x10;
  std::string fill_damage = filled;
  fill_damage[fill_damage.size() - payload_trailer_size - 1] = 1;
  std::string long_fill = blob_around(compressed(entry_stream({{u"app.dll", dll}})));
  long_fill.insert(long_fill.size() - payload_trailer_size, payload_trailer_alignment, '\0');
  std::string bad_magic = filled;
  bad_magic[1] = 'X';
  std::string bad_frame = filled;
  bad_frame[payload_magic_size] ^= 0xFF;
  bytes cut_size = entry_stream({{u"app.dll", dll}}, false);
  cut_size.resize(cut_size.size() - dll.size() - 4);
  bytes cut_content = entry_stream({{u"app.dll", dll}}, false);
  cut_content.resize(cut_content.size() - 1);
  bytes after_end = entry_stream({{u"app.dll", dll}});
  after_end.push_back('!');
  const bytes window_2_28 = {0x28, 0xB5, 0x2F, 0xFD, 0x00, 18 << 3, 0x11, 0, 0, 0, 0};
  // Four folders keep each component within what the host's file system takes.
  std::u16string longest;
  for (int i = 0; i < 4; ++i) longest += std::u16string(250, u'n') + u"\\";
  longest += std::u16string(entry_name_max_units - longest.size(), u'm');

  struct row {
    std::string file;
    std::string fault;  ///< empty: accepted
  };
  const row rows[] = {
      // What a launcher runs.
      {blob(), ""},
      {blob({{u"data\\one.txt"}, {u"data/two.txt"}, {u"empty", ""}, {longest}}), ""},
      {blob_around(frames), ""},
      // What a launcher refuses.
      {bad_magic, "bad magic"},
      {blob_around(compressed(entry_stream({}))), "holds no entry"},
      {blob({{u"b"}}, false), "ends in entry 3 (no end marker)"},
      {blob({{longest + u"n"}}), "entry 2 has a name longer than 1023 units"},
      {blob_around(compressed(cut_size)), "ends in entry 1 'app.dll' (no end marker)"},
      {blob_around(compressed(cut_content)), "ends in entry 1 'app.dll' (no end marker)"},
      {mid_damage, "compressed data damaged"},
      {blob_around(window_2_28), "needs a 256 MiB window; the launcher decodes at most 128 MiB"},
      {blob_around({}), "no whole Zstandard frame at offset 3"},
      {blob_around(compressed(entry_stream({{u"main.dll", "not a library"}}))),
       "entry 1 'main.dll' cannot be the main file: not a Windows executable file"},
      {blob({{u"what?.txt"}}), "entry 2 'what?.txt' contains one of"},
      {blob({{u"dir\\"}}), "entry 2 'dir\\' has an empty or '.' component"},
      {blob({{u"sub\\x"}, {u"SUB"}}), "entry 3 'SUB' is a file where there is a folder for entry 2 'sub\\x'"},
      {blob({{u"sub"}, {u"sub\\x"}}), "entry 3 'sub\\x' needs a folder where there is the file entry 2 'sub'"},
      // What a launcher would write outside its folder or over another entry.
      {blob({{u"..\\evil.txt"}}), "entry 2 '..\\evil.txt' climbs out of the target folder"},
      {blob({{u"\\evil.txt"}}), "is absolute"},
      {blob({{u"C:evil.txt"}}), "names a drive or stream"},
      {blob({{u"Readme.txt"}, {u"data\\..\\README.TXT"}}), "climbs out"},
      {blob({{u"Readme.txt"}, {u"README.TXT"}}), "entry 3 'README.TXT' names the same file as entry 2 'Readme.txt'"},
      // What a launcher never reads but a sound blob does not hold.
      {blob_around(compressed(after_end)), "data follows the end marker"},
      {fill_damage, "is not zero"},
      {with_trailer(filled, filled.size()), "not its own offset"},
      {filled + std::string(8, '\0'), "not its own offset"},
      {filled.substr(0, filled.size() - 8), "not its own offset"},
      {with_trailer(long_fill, long_fill.size() - payload_trailer_size), "at most 7 belong there"},
      {bad_frame, "no whole Zstandard frame at offset 3"},
  };
  fs::path scratch = fs::temp_directory_path() / ("blob-reader-test-" + std::to_string(getpid()));
  fs::create_directories(scratch);
  for (size_t i = 0; i < std::size(rows); ++i) {
    const row& r = rows[i];
    std::string got = verdict(r.file);
    if (r.fault.empty())
      EXPECT_EQ(got, "") << "row " << i;
    else
      EXPECT_NE(got.find(r.fault), std::string::npos) << "row " << i << " wanted: " << r.fault << "\ngot: " << got;
    // list and extract give the same verdict; a refused blob leaves nothing behind.
    fs::path file = scratch / "blob", folder = scratch / "x";
    folder += std::to_string(i);
    spit(file, r.file);
    for (bool list : {true, false}) {
      testing::internal::CaptureStdout();
      bool refused = false;
      try {
        list ? list_payload(file.string()) : extract_payload(file.string(), folder.string(), false);
      } catch (const pack_error&) {
        refused = true;
      }
      testing::internal::GetCapturedStdout();
      EXPECT_EQ(refused, !r.fault.empty()) << "row " << i << (list ? " list" : " extract");
    }
    EXPECT_EQ(fs::exists(folder), r.fault.empty()) << "row " << i;
  }
  fs::remove_all(scratch);
}

TEST(BlobReader, FindsTheBlobInsideALauncherExecutable) {
  std::string blob = blob_around(compressed(entry_stream({{u"a.dll"}, {u"b.txt"}})));
  bytes length = u64_bytes(blob.size());
  bytes wrong = u64_bytes(1 << 30);
  // A decoy marker with an impossible length comes first, as the string might in code.
  std::string marker = launcher_payload_marker;
  std::string head = "MZ" + std::string(100, '\x90') + marker + std::string(wrong.begin(), wrong.end()) +
                     std::string(8, '\0') + std::string(30, 'c') + marker + std::string(length.begin(), length.end()) +
                     std::string(8, '\0');
  std::string exe = head + blob + std::string(500, 'z');
  blob_span span = locate_blob(at(exe), exe.size());
  EXPECT_EQ(span.file_offset, head.size());
  ASSERT_EQ(span.size, blob.size());
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(span.data), span.size), blob);
  blob_layout layout = check_blob_layout(span);
  entry_reader entries(span.data + payload_magic_size, layout.region_end - payload_magic_size);
  std::vector<std::u16string> names;
  while (entries.next()) names.push_back(entries.name());
  entries.finish();
  EXPECT_EQ(names, (std::vector<std::u16string>{u"a.dll", u"b.txt"}));

  EXPECT_NE(verdict("MZ" + std::string(1000, 'q')).find("no payload in this executable"), std::string::npos);
}

TEST(BlobReader, ArbitraryInputEndsInAFaultNeverACrash) {
  std::string marker = launcher_payload_marker;
  std::vector<std::string> inputs = {
      "", "J", payload_magic, "MZ", "MZ" + marker, blob_around({}), std::string(64, '\0')};
  bytes huge = u64_bytes(~0ull);
  inputs.push_back("MZ " + marker + std::string(huge.begin(), huge.end()) + std::string(8, '\0') + payload_magic);
  std::mt19937 random(7);
  std::string real = blob_around(compressed(entry_stream({{u"a.dll"}, {u"dir\\b.txt"}})));
  for (int i = 0; i < 12; ++i) {
    std::string noise(random() % 300, '\0');
    for (char& c : noise) c = static_cast<char>(random());
    inputs.push_back((i % 3 == 0 ? payload_magic : i % 3 == 1 ? "MZ" : "") + noise);
    inputs.push_back(real.substr(0, random() % real.size()));
    std::string flipped = real;
    flipped[3 + random() % (real.size() - 3)] ^= static_cast<char>(1 + random() % 255);
    inputs.push_back(flipped);
  }
  // Anything but a pack_error escapes the test and fails it; a crash ends it.
  for (const std::string& input : inputs) EXPECT_NE(verdict(input), "");
}

}  // namespace
