// The entry walk in this process, writing real files under a scratch target directory. The
// blobs come from the build with their decoded streams, so each file is checked against the
// bytes that were packed for it.
#include "payload/payload.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "payload/frame_extract.h"
#include "tests/support/process_capture.h"
#include "tests/support/test_files.h"

namespace {

using bytes = std::vector<unsigned char>;

bytes load_blob(const std::wstring& name) {
  return read_file_bytes(test_binary_directory() + L"\\..\\blobs\\payload_" + name + L".bin");
}

// (name, content) for every entry of a decoded stream, up to its end marker.
std::vector<std::pair<std::wstring, bytes>> entries_of(const bytes& stream) {
  std::vector<std::pair<std::wstring, bytes>> entries;
  size_t at = 0;
  for (;;) {
    std::wstring name;
    for (; stream[at] | stream[at + 1]; at += 2) name.push_back(static_cast<wchar_t>(stream[at] | stream[at + 1] << 8));
    at += 2;
    if (name.empty()) return entries;
    uint64_t size = 0;
    memcpy(&size, &stream[at], 8);
    at += 8;
    entries.emplace_back(name,
                         bytes(stream.begin() + static_cast<long>(at), stream.begin() + static_cast<long>(at + size)));
    at += size;
  }
}

class PayloadExtract : public ::testing::Test {
 protected:
  // A fresh folder named after the test, shared with its death-test children, which end
  // without clearing up. `short_root` puts it high up on the Unix side too, so that a
  // 4095-unit Windows path stays inside the host's own path limit.
  void make_root(bool short_root = false) {
    if (!root_.empty()) remove_tree(root_);
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    root_ = (short_root ? std::wstring(L"Z:\\tmp\\") : std::wstring(temp)) + L"payload_" +
            std::wstring(test.begin(), test.end());
    remove_tree(root_);
    ASSERT_TRUE(CreateDirectoryW(root_.c_str(), nullptr));
  }
  void SetUp() override { make_root(); }
  void TearDown() override {
    if (opened_) payload_close();
    remove_tree(root_);
  }
  // Opens the blob and points the walk at `target`, with no main library found yet.
  void open(const std::wstring& blob_name, const std::wstring& target) {
    blob_ = load_blob(blob_name);
    ASSERT_FALSE(blob_.empty());
    ASSERT_LT(target.size(), launcher_path_capacity);
    wcscpy(target_, target.c_str());
    payload_set_blob(blob_.data(), blob_.size());
    ASSERT_TRUE(payload_check_magic());
    payload_open();
    opened_ = true;
  }
  // The walk into the target given to open(), filling library_ and started_.
  void extract(extract_scope scope = extract_every_entry) {
    payload_extract(target_, library_, launcher_path_capacity, scope, &started_);
  }

  std::wstring root_;
  bytes blob_;
  bool opened_ = false;
  wchar_t target_[launcher_path_capacity] = {};
  wchar_t library_[launcher_path_capacity] = {L'x'};  // the walk must clear what was there
  volatile bool started_ = false;
};

TEST_F(PayloadExtract, EveryEntryIsWrittenWithExactlyItsContent) {
  // Sizes 0, 32768 and 32769 sit on the chunk boundary; one\two\ is two new folder levels;
  // replaced.txt exists already, longer than its new content, in a folder the walk has not
  // seen yet.
  std::wstring target = root_ + L"\\target";
  ASSERT_TRUE(CreateDirectoryW(target.c_str(), nullptr));
  FILE* old = _wfopen((target + L"\\replaced.txt").c_str(), L"wb");
  ASSERT_TRUE(old);
  fputs("the old content, longer than the new", old);
  fclose(old);

  open(L"files", target);
  extract();

  auto entries = entries_of(load_blob(L"files_stream"));
  ASSERT_EQ(entries.size(), 7u);
  for (const auto& [name, content] : entries) {
    std::wstring path = target + L"\\" + name;
    ASSERT_TRUE(path_exists(path)) << std::string(name.begin(), name.end());
    EXPECT_TRUE(read_file_bytes(path) == content) << std::string(name.begin(), name.end());
  }
  EXPECT_EQ(read_file_bytes(target + L"\\replaced.txt"), (bytes{'n', 'e', 'w'}));
  EXPECT_EQ(std::wstring(library_), target + L"\\main.dll");
  EXPECT_TRUE(started_);
  // New folders inside new folders never needed the profile folder, whose lookup loads Shell32.
  EXPECT_EQ(GetModuleHandleW(L"shell32.dll"), nullptr);
}

TEST_F(PayloadExtract, ChildStopsAfterTheFirstNameAndCreatesNothing) {
  std::wstring target = root_ + L"\\child";
  open(L"files", target);
  extract(extract_first_name_only);
  EXPECT_EQ(std::wstring(library_), target + L"\\main.dll");
  EXPECT_FALSE(path_exists(target));
  // The stream continues right after the name: the next eight bytes are the library's size.
  uint64_t size = 0;
  payload_read(&size, 8);
  EXPECT_EQ(size, 100u);
}

TEST_F(PayloadExtract, EndMarkerAloneLeavesNoLibraryAndNoFolder) {
  for (extract_scope scope : {extract_every_entry, extract_first_name_only}) {
    std::wstring target = root_ + (scope == extract_every_entry ? L"\\parent" : L"\\child");
    open(L"end_marker_only", target);
    extract(scope);
    EXPECT_EQ(library_[0], 0) << scope;
    EXPECT_FALSE(path_exists(target)) << scope;
    payload_close();
    opened_ = false;
  }
}

TEST_F(PayloadExtract, NameBound) {
  // 1023 units (four 250-unit folders and a 19-unit file) fit the name buffer; 1024 abort
  // without a message, however short the directory.
  std::wstring target = root_ + L"\\short";
  open(L"name_1023", target);
  extract();
  std::wstring path = library_;
  EXPECT_EQ(path.size(), target.size() + 1 + 1023);
  EXPECT_EQ(read_file_bytes(path), (bytes{'x'}));

  payload_close();
  opened_ = false;
  open(L"name_1024", target);
  EXPECT_EXIT(extract(), ::testing::ExitedWithCode(3), "^$");
}

TEST_F(PayloadExtract, JoinedPathBound) {
  // With the 1023-unit name, a target directory of 3071 units makes the joined path 4095
  // units, the most that fits: it is used whole. Wine cannot create it, as its host path
  // (prefix, drive link and all) passes the host's 4096-byte limit, so the open fails and
  // quotes the complete path. One unit more aborts without a message.
  make_root(true);
  std::wstring target = root_;
  while (target.size() < 3071) target += L"\\" + std::wstring(std::min<size_t>(200, 3071 - target.size() - 1), L't');
  ASSERT_EQ(target.size(), 3071u);
  open(L"name_1023", target);
  std::string expected = "Error, failed to open '" + std::string(target.begin(), target.end()) + "\\" +
                         std::string(250, 'n') + "\\" + std::string(250, 'n') + "\\" + std::string(250, 'n') + "\\" +
                         std::string(250, 'n') + "\\" + std::string(19, 'm') + "' for writing.\n";
  ASSERT_EQ(expected.size(), strlen("Error, failed to open '' for writing.\n") + 4095);
  EXPECT_EXIT(extract(), ::testing::ExitedWithCode(2), ::testing::Matcher<const std::string&>(expected));
  EXPECT_EXIT(
      {
        wcscat(target_, L"t");
        extract();
      },
      ::testing::ExitedWithCode(3), "^$");
}

TEST_F(PayloadExtract, FilesAreStillWrittenOnceTheFolderSetIsFull) {
  // 1030 new folders after the target directory; the last one gets a second file after the
  // set has stopped growing.
  std::wstring target = root_ + L"\\many";
  open(L"many_folders", target);
  extract();
  EXPECT_EQ(known_directory_count(), known_directory_capacity);
  for (int i = 0; i <= 1029; ++i) {
    std::wstring path = target + L"\\d" + std::to_wstring(i) + L"\\f";
    ASSERT_EQ(read_file_bytes(path).size(), 1u) << i;
  }
  EXPECT_EQ(read_file_bytes(target + L"\\d1029\\g").size(), 1u);
}

TEST_F(PayloadExtract, NameThroughFiveHundredNewFolders) {
  // Every folder is missing when the file comes, so all 500 fail first and are made on the
  // way back, outermost first. That must not cost stack per level: a copy of the path per
  // level overflowed the stack.
  std::wstring target = root_ + L"\\deep";
  open(L"deep_folders", target);
  extract();
  std::wstring path = target;
  for (int i = 0; i < 500; ++i) path += L"\\a";
  EXPECT_EQ(read_file_bytes(path + L"\\f"), (bytes{'d', 'e', 'e', 'p'}));
}

// A split payload's files are all written when the walk returns: the progress a splash shows
// stays full through the steps after it (a cached install's record and rename), not back at
// the main decoder's start, which the workers never moved.
TEST_F(PayloadExtract, ASplitPayloadStaysWhollyUnpackedAfterItsWalk) {
  open(L"app_split", root_ + L"\\split");
  EXPECT_LT(payload_progress_permille(), 1000u);
  extract();
  EXPECT_TRUE(path_exists(root_ + L"\\split\\two.txt"));
  EXPECT_EQ(payload_progress_permille(), 1000u);
}

// A frame header alone, as the planner reads it: an 8-byte content size, or none, and a window.
bytes frame_header(uint64_t content, int window_log, bool sized = true) {
  bytes header = {0x28, 0xB5, 0x2F, 0xFD, static_cast<unsigned char>(sized ? 0xC4 : 0x04),
                  static_cast<unsigned char>((window_log - 10) << 3)};
  for (int i = 0; sized && i < 8; ++i) header.push_back(static_cast<unsigned char>(content >> (8 * i)));
  return header;
}

// What the workers hold at once stays within one payload-wide decoder's 128 MiB: a frame too
// large for the buffer adds its window to each worker's buffer, and memory may leave one worker.
TEST(FrameWorkers, AsManyAsTheProcessorsAndTheMemoryBudgetAllow) {
  constexpr uint64_t mib = 1 << 20;
  struct plan_case {
    const char* what;
    std::vector<bytes> headers;
    int processors, workers;
    uint64_t buffer;
  };
  std::vector<bytes> eight(8, frame_header(32 * mib, 25));
  auto with = [&](bytes extra) {
    std::vector<bytes> headers = eight;
    headers.push_back(std::move(extra));
    return headers;
  };
  const plan_case cases[] = {
      {"frames of 32 MiB, four processors", eight, 4, 4, 32 * mib},
      {"frames of 32 MiB, more processors than workers", eight, 16, 4, 32 * mib},
      {"one processor", eight, 1, 1, 32 * mib},
      {"two frames", {frame_header(mib, 20), frame_header(mib, 20)}, 4, 2, mib},
      {"one large frame: a 32 MiB window beside each buffer", with(frame_header(100 * mib, 25)), 4, 2, 32 * mib},
      {"one without a size and a 128 MiB window", with(frame_header(0, 27, false)), 4, 1, 32 * mib},
      {"a 64 MiB frame still fits the buffer", with(frame_header(64 * mib, 26)), 4, 2, 64 * mib},
  };
  for (const plan_case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<payload_frame> frames;
    for (const bytes& header : c.headers) frames.push_back({header.data(), header.size()});
    frame_plan plan = plan_frame_workers(frames.data(), frames.size(), c.processors);
    EXPECT_EQ(plan.workers, c.workers);
    EXPECT_EQ(plan.buffer_size, c.buffer);
  }
}

}  // namespace
