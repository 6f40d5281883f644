// Whole launcher runs over damaged and unusual payloads: blob_launcher reads the blob from a
// file, so one executable serves every variant, and both roles see the same bytes. Each case
// pins the exact outcome: the bytes on both streams and the exit code, or a normal run of
// the report library, and what is left in the temporary folder.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>
#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_frameHeaderSize
#include <zstd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/process_capture.h"
#include "tests/support/test_files.h"

namespace {

using bytes = std::vector<unsigned char>;

// The streams are in the C runtime's text mode: each message's newline arrives as CR LF.
const char header_missing[] = "Error, couldn't find attached data header.\r\n";
const char undecodable[] = "Error, couldn't decode attached data.\r\n";
// The size of data\one.bin in the app blobs: large enough that the frame stores its random
// bytes as they are.
const size_t one_bin_size = 300000;

// Every file and folder below `folder`, as relative paths in the system's listing order.
void list_tree(const std::wstring& folder, const std::wstring& prefix, std::vector<std::wstring>* out) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    if (!wcscmp(found.cFileName, L".") || !wcscmp(found.cFileName, L"..")) continue;
    out->push_back(prefix + found.cFileName);
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
      list_tree(folder + L"\\" + found.cFileName, prefix + found.cFileName + L"\\", out);
  } while (FindNextFileW(search, &found));
  FindClose(search);
}

std::string narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

// The suite runs once more with TAVREN_TEST_ENTRY=executable, which blob_launcher passes on.
bool executable_entry() {
  wchar_t entry[16] = {};
  return GetEnvironmentVariableW(L"TAVREN_TEST_ENTRY", entry, 16) == 10 && std::wstring(entry) == L"executable";
}
std::wstring main_file() { return executable_entry() ? L"report_app.exe" : L"report_app.dll"; }

struct blob_layout {
  size_t frame_end;  ///< offset just past the compressed region
  size_t size;       ///< L, the whole blob
};

blob_layout layout_of(const bytes& blob) {
  size_t at = 3;
  while (at < blob.size()) {
    size_t frame = ZSTD_findFrameCompressedSize(blob.data() + at, blob.size() - at);
    if (ZSTD_isError(frame)) break;
    at += frame;
  }
  return {at, blob.size()};
}

class PayloadDamage : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    // Both entry kinds' runs of a case may run at once: each has a folder of its own.
    root_ = std::wstring(temp) + (executable_entry() ? L"payload_exe_" : L"payload_") +
            std::wstring(test.begin(), test.end());
    remove_tree(root_);
    ASSERT_TRUE(CreateDirectoryW(root_.c_str(), nullptr));
    temp_ = root_ + L"\\temp";
  }
  void TearDown() override { remove_tree(root_); }

  // In the suite's executable-entry run the payloads of the report application carry
  // report_app.exe first (payload_exe_<name>); the stream is the same after its first entry.
  static bytes blob(const std::wstring& name) {
    std::wstring kind = executable_entry() && name.rfind(L"app", 0) == 0 && name != L"app_stream" ? L"exe_" : L"";
    bytes data = read_file_bytes(test_binary_directory() + L"\\..\\blobs\\payload_" + kind + name + L".bin");
    EXPECT_FALSE(data.empty()) << narrow(name);
    return data;
  }

  // Runs the launcher over `data` with a fresh, empty temporary folder.
  captured_run launch(const bytes& data) {
    remove_tree(temp_);
    EXPECT_TRUE(CreateDirectoryW(temp_.c_str(), nullptr));
    std::wstring path = root_ + L"\\blob.bin";
    FILE* file = _wfopen(path.c_str(), L"wb");
    EXPECT_TRUE(file);
    if (!data.empty()) fwrite(data.data(), 1, data.size(), file);
    fclose(file);
    run_options options;
    options.set_env = {{L"TAVREN_TEST_BLOB", path}, {L"TMP", temp_}, {L"TEMP", temp_}};
    options.remove_env = {L"TAVREN_ONEFILE_PARENT", L"TAVREN_TEST_EXIT", L"TAVREN_TEST_ACTION"};
    std::wstring launcher = beside_test_binary(L"blob_launcher.exe");
    return run_captured(launcher, L"blob_launcher.exe", options);
  }

  // What the run left in the temporary folder.
  std::vector<std::wstring> left_behind() const {
    std::vector<std::wstring> out;
    list_tree(temp_, L"", &out);
    return out;
  }
  // The one target directory a failed parent left behind.
  std::wstring target() const {
    std::vector<std::wstring> top;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((temp_ + L"\\onefile_*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
      do top.push_back(found.cFileName);
      while (FindNextFileW(search, &found));
      FindClose(search);
    }
    EXPECT_EQ(top.size(), 1u);
    return top.empty() ? L"" : temp_ + L"\\" + top[0];
  }

  // The report library ran as the child's main library, and the parent cleared up after it.
  void expect_normal_run(const captured_run& run) {
    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.exit_code, 0u) << run.out << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out.rfind("argc=1\r\n", 0), 0u) << run.out;
    std::string line = "\\";
    line += narrow(main_file());
    line += "\r\n";
    EXPECT_NE(run.out.find(line), std::string::npos) << run.out;
    EXPECT_TRUE(left_behind().empty());
  }
  // A failed parent leaves what it wrote; the library comes first and is whole.
  void expect_library_kept() const {
    EXPECT_EQ(read_file_bytes(target() + L"\\" + main_file()), read_file_bytes(beside_test_binary(main_file())));
  }
  // A plain failure message on standard output and exit code 2.
  void expect_failure(const captured_run& run, const char* message) {
    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.exit_code, 2u);
    EXPECT_EQ(run.out, message);
    EXPECT_EQ(run.err, "");
  }

  std::wstring root_, temp_;
};

TEST_F(PayloadDamage, WellFormedVariantsRunNormally) {
  // Bytes after the end marker, a 2^27-byte window, no checksum, and any values in the zero
  // fill and the trailer: the walk never reads past the end marker.
  for (const wchar_t* name : {L"app", L"app_trailing", L"app_window_27", L"app_no_check"}) {
    SCOPED_TRACE(narrow(name));
    expect_normal_run(launch(blob(name)));
  }
  bytes data = blob(L"app");
  blob_layout layout = layout_of(data);
  for (size_t i = layout.frame_end; i < layout.size; ++i) data[i] = static_cast<unsigned char>(0xA5 ^ i);
  SCOPED_TRACE("fill and trailer overwritten");
  expect_normal_run(launch(data));
}

TEST_F(PayloadDamage, BadMagicIsRefusedBeforeAnythingIsWritten) {
  bytes good = blob(L"app");
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    bytes data = good;
    data[i] ^= 0x01;
    expect_failure(launch(data), header_missing);
    EXPECT_TRUE(left_behind().empty());
  }
}

TEST_F(PayloadDamage, DamageTheDecoderReportsBeforeAnyFile) {
  // The frame's own magic, a reserved bit of its header descriptor, a reserved block type
  // in the first block header, and a window of 2^28 bytes: the first request fails, so not
  // even the target directory is made.
  bytes good = blob(L"app");
  size_t header = ZSTD_frameHeaderSize(good.data() + 3, good.size() - 3);
  ASSERT_FALSE(ZSTD_isError(header));
  struct {
    const char* what;
    size_t offset;
    unsigned char bits;
  } cases[] = {
      {"frame magic", 3, 0x01},
      {"header descriptor reserved bit", 7, 0x08},
      {"block type", 3 + header, 0x06},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    bytes data = good;
    data[c.offset] |= c.bits;
    expect_failure(launch(data), undecodable);
    EXPECT_TRUE(left_behind().empty());
  }
  SCOPED_TRACE("window log 28");
  expect_failure(launch(blob(L"app_window_28")), undecodable);
  EXPECT_TRUE(left_behind().empty());
}

TEST_F(PayloadDamage, ContentDamageIsCaughtOnlyByTheChecksum) {
  // One byte of the second file's content, flipped where the frame stores it as it is:
  // with the content checksum the frame fails at its end; without it the damage decodes
  // unnoticed.
  bytes stream = blob(L"app_stream");
  size_t content = stream.size() - 2 - (2 * 8 + 8 + 5) - one_bin_size;  // two.txt and the end marker follow
  for (const wchar_t* name : {L"app", L"app_no_check"}) {
    SCOPED_TRACE(narrow(name));
    bytes data = blob(name);
    auto stored = stream.begin() + static_cast<long>(content + one_bin_size / 2);
    auto at = std::search(data.begin(), data.end(), stored, stored + 32);
    ASSERT_NE(at, data.end());
    *at ^= 0xFF;
    captured_run run = launch(data);
    if (name == std::wstring(L"app")) {
      expect_failure(run, undecodable);
      expect_library_kept();
    } else {
      expect_normal_run(run);
    }
  }
}

TEST_F(PayloadDamage, ChecksumDamageFailsInTheLastStep) {
  // The step that decodes the last block also checks the checksum, so its output, the end
  // of the stream, is never handed out.
  bytes data = blob(L"app");
  data[layout_of(data).frame_end - 2] ^= 0x10;
  expect_failure(launch(data), undecodable);
  expect_library_kept();
  EXPECT_FALSE(read_file_bytes(target() + L"\\two.txt").size() == 5);
}

TEST_F(PayloadDamage, StreamsWithoutTheirEndMarkerFailAfterTheLastFile) {
  // The walk asks for the next name and the decoder runs into the zero fill and trailer;
  // with 'A' in place of the end marker it does so in the middle of a name.
  for (const wchar_t* name : {L"app_no_end_marker", L"app_bad_end_marker"}) {
    SCOPED_TRACE(narrow(name));
    expect_failure(launch(blob(name)), undecodable);
    std::wstring left = target();
    EXPECT_EQ(read_file_bytes(left + L"\\two.txt"), (bytes{'h', 'e', 'l', 'l', 'o'}));
    EXPECT_EQ(read_file_bytes(left + L"\\data\\one.bin").size(), one_bin_size);
    remove_tree(temp_);
  }
}

TEST_F(PayloadDamage, CutAtEveryBoundary) {
  bytes good = blob(L"app");
  blob_layout layout = layout_of(good);
  size_t header = ZSTD_frameHeaderSize(good.data() + 3, good.size() - 3);
  struct {
    const char* what;
    size_t keep;
    const char* outcome;
  } cases[] = {
      {"nothing", 0, header_missing},
      {"inside the magic", 2, header_missing},
      {"the magic alone", 3, undecodable},
      {"inside the frame header", 3 + header - 1, undecodable},
      {"the frame header alone", 3 + header, undecodable},
      {"inside the first block", 3 + header + 1000, undecodable},
      {"inside the last block", layout.frame_end - 4 - 100, undecodable},
      // Every block is there: the walk has its end marker before the library would look for
      // the checksum, so the run is a normal one whether the checksum is missing or cut.
      {"without the checksum", layout.frame_end - 4, nullptr},
      {"inside the checksum", layout.frame_end - 1, nullptr},
      {"without fill and trailer", layout.frame_end, nullptr},
      {"inside the trailer", layout.size - 1, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    bytes data(good.begin(), good.begin() + static_cast<long>(c.keep));
    captured_run run = launch(data);
    if (c.outcome) {
      expect_failure(run, c.outcome);
    } else {
      expect_normal_run(run);
    }
  }
}

TEST_F(PayloadDamage, EndMarkerAloneCreatesNothing) {
  expect_failure(launch(blob(L"end_marker_only")), undecodable);
  EXPECT_TRUE(left_behind().empty());
}

TEST_F(PayloadDamage, FileThatCannotBeCreatedIsReportedWithItsFullPath) {
  // "sub" names a folder made for an earlier entry; the files before it stay.
  captured_run run = launch(blob(L"app_name_is_folder"));
  std::wstring left = target();
  EXPECT_EQ(run.exit_code, 2u);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "Error, failed to open '" + narrow(left) + "\\sub' for writing.\r\n");
  EXPECT_EQ(read_file_bytes(left + L"\\ok.txt"), (bytes{'o', 'k'}));
  EXPECT_EQ(read_file_bytes(left + L"\\sub\\x"), (bytes{'x'}));
  EXPECT_FALSE(read_file_bytes(left + L"\\" + main_file()).empty());
}

// Cut between its entries, a payload is unpacked frame by frame side by side. No file of a frame
// is made before the whole frame decoded, checksum and all: damage leaves none of that frame's
// files behind. Frames that say their size are decoded whole into a buffer; frames that do not
// (as those too large for it) are decoded step by step, once to check them and once to write.
// Without the end marker the last frame fails as a whole one does.
TEST_F(PayloadDamage, ASplitPayloadRunsAndADamagedFrameWritesNoneOfItsFiles) {
  bytes stream = blob(L"app_stream");
  size_t content = stream.size() - 2 - (2 * 8 + 8 + 5) - one_bin_size;
  auto stored = stream.begin() + static_cast<long>(content + one_bin_size / 2);
  for (const wchar_t* name : {L"app_split", L"app_split_unsized"}) {
    SCOPED_TRACE(narrow(name));
    expect_normal_run(launch(blob(name)));
    bytes data = blob(name);
    auto at = std::search(data.begin(), data.end(), stored, stored + 32);
    ASSERT_NE(at, data.end());
    *at ^= 0xFF;
    expect_failure(launch(data), undecodable);
    for (const std::wstring& left : left_behind())
      EXPECT_EQ(left.find(L"one.bin"), std::wstring::npos) << narrow(left);
  }
  expect_failure(launch(blob(L"app_split_no_end_marker")), undecodable);
}

}  // namespace
