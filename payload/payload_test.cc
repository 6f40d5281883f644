// The magic check and the process's decoder, driven in this process over blobs that the
// build made with the test payload maker. Each blob comes with its decoded stream, so every
// byte handed back is compared with what was packed.
#include "payload/payload.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <zstd.h>

#include <string>
#include <vector>

#include "payload/stream_decoder.h"
#include "tests/support/process_capture.h"
#include "tests/support/test_files.h"

namespace {

using bytes = std::vector<unsigned char>;

bytes load_blob(const std::string& name) {
  return read_file_bytes(test_binary_directory() + L"\\..\\blobs\\payload_" + std::wstring(name.begin(), name.end()) +
                         L".bin");
}

class PayloadRead : public ::testing::Test {
 protected:
  // Opens the decoder over the first `size` bytes of the blob (all of it by default).
  void open(const std::string& name, size_t size = SIZE_MAX) {
    blob_ = load_blob(name);
    ASSERT_GT(blob_.size(), 11u) << name;
    payload_set_blob(blob_.data(), size < blob_.size() ? size : blob_.size());
    ASSERT_TRUE(payload_check_magic());
    payload_open();
    opened_ = true;
  }
  void TearDown() override {
    if (opened_) payload_close();
  }
  bytes read(size_t count) {
    bytes out(count);
    payload_read(out.data(), count);
    return out;
  }
  // Magic and frames only: the decoder's input then ends where the last frame ends.
  size_t frames_end() const {
    size_t at = 3;
    while (at < blob_.size()) {
      size_t frame = ZSTD_findFrameCompressedSize(blob_.data() + at, blob_.size() - at);
      if (ZSTD_isError(frame)) break;
      at += frame;
    }
    return at;
  }

  bytes blob_;
  bool opened_ = false;
};

TEST_F(PayloadRead, MagicMustMatchInEveryByte) {
  for (int i = 0; i < 3; ++i) {
    unsigned char blob[16] = {'J', 'Q', 'Z'};
    blob[i] ^= 0x20;  // the same letter in the other case
    payload_set_blob(blob, sizeof blob);
    EXPECT_FALSE(payload_check_magic()) << "byte " << i;
  }
  unsigned char blob[16] = {'J', 'Q', 'Z'};
  payload_set_blob(blob, sizeof blob);
  EXPECT_TRUE(payload_check_magic());
}

TEST_F(PayloadRead, BlobShorterThanTheMagicIsNotReadPastItsEnd) {
  // The byte after the blob's end would complete the magic.
  const unsigned char memory[] = {'J', 'Q', 'Z', 0};
  for (size_t size = 0; size < 3; ++size) {
    payload_set_blob(memory, size);
    EXPECT_FALSE(payload_check_magic()) << size << " bytes";
  }
}

TEST_F(PayloadRead, RequestsOfAnySizeGiveTheStreamInOrder) {
  bytes stream = load_blob("two_files_stream");
  ASSERT_EQ(stream.size(), 4 + 8 + 300000 + 4 + 8 + 70000 + 2u);
  for (const char* name : {"two_files", "two_files_in_frames"}) {
    SCOPED_TRACE(name);
    open(name);
    // 3 leaves bytes held; 131071 straddles them and the next step; 200000 outgrows the
    // holding buffer; the rest ends exactly with the stream.
    bytes got;
    for (size_t count : {size_t{3}, size_t{131071}, size_t{200000}, size_t{1}}) {
      bytes part = read(count);
      got.insert(got.end(), part.begin(), part.end());
    }
    bytes rest = read(stream.size() - got.size());
    got.insert(got.end(), rest.begin(), rest.end());
    EXPECT_TRUE(got == stream);
    payload_close();
    opened_ = false;
  }
}

TEST_F(PayloadRead, FramesThatDecodeToNothingAreCrossed) {
  // Forty frames over a 16-byte stream: most of them are empty, so most steps produce nothing.
  bytes stream = load_blob("empty_frames_stream");
  open("empty_frames");
  bytes got;
  for (size_t i = 0; i < stream.size(); ++i) got.push_back(read(1)[0]);
  EXPECT_TRUE(got == stream);
}

TEST_F(PayloadRead, StreamOfWholeHoldingBuffers) {
  // Each request takes exactly what one step can produce. With the input ending where the
  // frame ends, the second request starts with nothing held and must still decode the rest.
  bytes stream = load_blob("two_holding_buffers_stream");
  ASSERT_EQ(stream.size(), 2 * payload_holding_size);
  for (bool frames_only : {false, true}) {
    SCOPED_TRACE(frames_only ? "input ends with the frame" : "whole blob");
    open("two_holding_buffers");
    if (frames_only) {
      payload_close();
      payload_set_blob(blob_.data(), frames_end());
      ASSERT_TRUE(payload_check_magic());
      payload_open();
    }
    bytes first = read(payload_holding_size);
    bytes second = read(payload_holding_size);
    first.insert(first.end(), second.begin(), second.end());
    EXPECT_TRUE(first == stream);
    payload_close();
    opened_ = false;
  }
}

TEST_F(PayloadRead, AskingPastTheStreamEndsTheProcess) {
  // Whether the input goes on with the fill and trailer (no frame) or ends inside nothing,
  // a caller never gets a short read back.
  bytes stream = load_blob("two_holding_buffers_stream");
  open("two_holding_buffers");
  EXPECT_EXIT({ read(stream.size() + 1); }, ::testing::ExitedWithCode(2), "");
  EXPECT_EXIT(
      {
        payload_close();
        payload_set_blob(blob_.data(), frames_end());
        payload_check_magic();
        payload_open();
        read(stream.size() + 1);
      },
      ::testing::ExitedWithCode(2), "");
}

}  // namespace
