#include "payload/stream_decoder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <zstd_errors.h>

#include "tests/support/native_test_support.h"
#include "payload/entry_stream.h"

namespace {

using native_test::bytes;
using native_test::name_bytes;
using native_test::u64_bytes;

bytes pattern(size_t size, unsigned seed = 1) {
  // Compressible but not trivially so: repeats with drift, so frames hold real blocks.
  bytes out(size);
  unsigned state = seed;
  for (size_t i = 0; i < size; ++i) {
    if (i % 64 == 0) state = state * 1103515245 + 12345;
    out[i] = static_cast<unsigned char>((state >> 16) + i % 7);
  }
  return out;
}

bytes compress(const bytes& data, bool checksum = true, int level = 3) {
  ZSTD_CCtx* context = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, level);
  ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, checksum ? 1 : 0);
  bytes out(ZSTD_compressBound(data.size()));
  size_t size = ZSTD_compress2(context, out.data(), out.size(), data.data(), data.size());
  ZSTD_freeCCtx(context);
  EXPECT_FALSE(ZSTD_isError(size));
  out.resize(size);
  return out;
}

void append(bytes& to, const bytes& more) { to.insert(to.end(), more.begin(), more.end()); }

/// A hand-made frame: window descriptor `window_byte`, one raw block holding `content`.
bytes raw_frame(unsigned char window_byte, const bytes& content) {
  bytes frame = {0x28, 0xB5, 0x2F, 0xFD, 0x00, window_byte};
  uint32_t header = 1u | static_cast<uint32_t>(content.size()) << 3;  // last block, raw
  frame.push_back(static_cast<unsigned char>(header));
  frame.push_back(static_cast<unsigned char>(header >> 8));
  frame.push_back(static_cast<unsigned char>(header >> 16));
  append(frame, content);
  return frame;
}

class StreamDecoder : public ::testing::Test {
 protected:
  void open(const bytes& input) {
    source_ = input;
    ASSERT_EQ(decoder_open(&decoder_, source_.data(), source_.size()), decode_ok);
    opened_ = true;
  }
  void TearDown() override {
    if (opened_) decoder_close(&decoder_);
  }
  decode_status read(bytes& into, size_t count) {
    size_t at = into.size();
    into.resize(at + count);
    return decoder_read(&decoder_, into.data() + at, count);
  }

  payload_decoder decoder_{};
  bytes source_;
  bool opened_ = false;
};

TEST_F(StreamDecoder, RequestsOfEverySizeReassembleTheStream) {
  bytes data = pattern(600000);
  open(compress(data));
  // Sizes chosen to start and end inside held bytes, match the holding buffer, and exceed it.
  const size_t sizes[] = {1, 7, 131071, 2, 131072, 131073, 3, 65536};
  bytes got;
  for (size_t i = 0; got.size() < data.size(); ++i) {
    size_t count = std::min(sizes[i % 8], data.size() - got.size());
    ASSERT_EQ(read(got, count), decode_ok) << "at " << got.size();
  }
  EXPECT_EQ(got, data);
  bytes extra;
  EXPECT_EQ(read(extra, 1), decode_truncated);
}

TEST_F(StreamDecoder, OneRequestSpanningManyHoldingBuffers) {
  bytes data = pattern(5 * payload_holding_size + 17);
  open(compress(data));
  bytes got;
  ASSERT_EQ(read(got, data.size()), decode_ok);
  EXPECT_EQ(got, data);
}

TEST_F(StreamDecoder, OutputStillPendingAfterAllInputIsConsumed) {
  // Zeros compress to a few bytes: the first step eats all input and fills the buffer, and
  // the rest must still come out rather than be reported as truncated.
  bytes data(3 * payload_holding_size + 5, 0);
  open(compress(data));
  bytes got;
  for (int i = 0; i < 3; ++i) ASSERT_EQ(read(got, payload_holding_size), decode_ok);
  ASSERT_EQ(read(got, 5), decode_ok);
  EXPECT_EQ(got, data);
  bytes extra;
  EXPECT_EQ(read(extra, 1), decode_truncated);
}

TEST_F(StreamDecoder, ExactHoldingBufferFillEndsCleanly) {
  bytes data = pattern(payload_holding_size);
  open(compress(data, false));
  bytes got;
  ASSERT_EQ(read(got, payload_holding_size), decode_ok);
  EXPECT_EQ(got, data);
  bytes extra;
  EXPECT_EQ(read(extra, 1), decode_truncated);
}

TEST_F(StreamDecoder, BytesLeftBehindByAnEarlierReadStillComeOut) {
  // A frame cut inside a raw block: the library streams the bytes present, so the first
  // step fills the holding buffer, consumes all input and keeps 12 bytes. The read that
  // needs them starts after the step, in a later call.
  bytes input = {0x28, 0xB5, 0x2F, 0xFD, 0x00, 0x48};  // window 512 KiB, no checksum
  bytes data = pattern(payload_holding_size + 12);
  for (size_t at : {size_t{0}, payload_holding_size}) {
    uint32_t header = static_cast<uint32_t>(payload_holding_size) << 3 | (at > 0 ? 1 : 0);  // raw
    append(input, {static_cast<unsigned char>(header), static_cast<unsigned char>(header >> 8),
                   static_cast<unsigned char>(header >> 16)});
    input.insert(input.end(), data.begin() + at, at > 0 ? data.end() : data.begin() + payload_holding_size);
  }
  open(input);
  bytes got;
  ASSERT_EQ(read(got, payload_holding_size), decode_ok);
  ASSERT_EQ(read(got, 12), decode_ok);
  EXPECT_EQ(got, data);
  bytes extra;
  EXPECT_EQ(read(extra, 1), decode_truncated);
}

TEST_F(StreamDecoder, FramesAndStepsWithoutOutputAreCrossed) {
  bytes skippable = {0x50, 0x2A, 0x4D, 0x18, 3, 0, 0, 0, 'x', 'y', 'z'};
  bytes input;
  append(input, compress({}));
  append(input, skippable);
  append(input, compress({}));
  append(input, compress({'a', 'b', 'c'}));
  append(input, compress({}));
  append(input, compress({'d'}));
  open(input);
  bytes got;
  ASSERT_EQ(read(got, 4), decode_ok);
  EXPECT_EQ(got, (bytes{'a', 'b', 'c', 'd'}));
  bytes extra;
  EXPECT_EQ(read(extra, 1), decode_truncated);
}

TEST_F(StreamDecoder, EntryFieldsSplitAcrossFrames) {
  // Every field boundary is also a frame boundary, and one content is cut in the middle.
  bytes content = pattern(200000, 7);
  std::vector<bytes> pieces = {name_bytes(u"bin\\app.dll"),
                               u64_bytes(content.size()),
                               bytes(content.begin(), content.begin() + 1000),
                               bytes(content.begin() + 1000, content.end()),
                               name_bytes(u"\u00e9"),
                               u64_bytes(0),
                               name_bytes(u"")};
  bytes input;
  for (const bytes& piece : pieces) append(input, compress(piece));
  open(input);

  char16_t name[entry_name_capacity];
  size_t length;
  decode_status why;
  uint64_t size;
  ASSERT_EQ(entry_read_name(&decoder_, name, entry_name_capacity, &length, &why), entry_ok);
  EXPECT_EQ(std::u16string(name, length), u"bin\\app.dll");
  ASSERT_EQ(entry_read_size(&decoder_, &size), decode_ok);
  ASSERT_EQ(size, content.size());
  bytes got;
  ASSERT_EQ(read(got, content.size()), decode_ok);
  EXPECT_EQ(got, content);
  ASSERT_EQ(entry_read_name(&decoder_, name, entry_name_capacity, &length, &why), entry_ok);
  EXPECT_EQ(std::u16string(name, length), u"\u00e9");
  ASSERT_EQ(entry_read_size(&decoder_, &size), decode_ok);
  EXPECT_EQ(size, 0u);
  ASSERT_EQ(entry_read_name(&decoder_, name, entry_name_capacity, &length, &why), entry_ok);
  EXPECT_EQ(length, 0u);
  bytes extra;
  EXPECT_EQ(read(extra, 1), decode_truncated);
}

TEST_F(StreamDecoder, MissingEndMarkerIsTruncation) {
  bytes stream = name_bytes(u"a");
  append(stream, u64_bytes(3));
  append(stream, {'x', 'y', 'z'});
  open(compress(stream));
  char16_t name[entry_name_capacity];
  size_t length;
  decode_status why = decode_ok;
  uint64_t size = 0;
  ASSERT_EQ(entry_read_name(&decoder_, name, entry_name_capacity, &length, &why), entry_ok);
  ASSERT_EQ(entry_read_size(&decoder_, &size), decode_ok);
  bytes got;
  ASSERT_EQ(read(got, size), decode_ok);
  EXPECT_EQ(entry_read_name(&decoder_, name, entry_name_capacity, &length, &why), entry_decode_failed);
  EXPECT_EQ(why, decode_truncated);
}

TEST_F(StreamDecoder, BytesAfterEndMarkerAreLeftForTheCaller) {
  bytes stream = name_bytes(u"");
  append(stream, {'!'});
  open(compress(stream));
  char16_t name[entry_name_capacity];
  size_t length;
  decode_status why;
  ASSERT_EQ(entry_read_name(&decoder_, name, entry_name_capacity, &length, &why), entry_ok);
  EXPECT_EQ(length, 0u);
  bytes extra;
  EXPECT_EQ(read(extra, 1), decode_ok);  // nothing in the decoder stops here: readers must check
}

TEST_F(StreamDecoder, NameCapacityIsEnforced) {
  std::u16string longest(entry_name_capacity - 1, u'n');
  bytes stream = name_bytes(longest);
  append(stream, name_bytes(longest + u'n'));
  open(compress(stream));
  char16_t name[entry_name_capacity];
  size_t length;
  decode_status why;
  ASSERT_EQ(entry_read_name(&decoder_, name, entry_name_capacity, &length, &why), entry_ok);
  EXPECT_EQ(length, entry_name_capacity - 1);
  EXPECT_EQ(entry_read_name(&decoder_, name, entry_name_capacity, &length, &why), entry_name_too_long);
  EXPECT_EQ(name[length], 0);
}

TEST_F(StreamDecoder, WindowLargerThan2To27IsRefused) {
  bytes content = {'o', 'k'};
  {
    open(raw_frame(17 << 3, content));  // 2^27: the largest the launcher takes
    bytes got;
    EXPECT_EQ(read(got, 2), decode_ok);
    EXPECT_EQ(got, content);
    decoder_close(&decoder_);
    opened_ = false;
  }
  open(raw_frame(18 << 3, content));  // 2^28
  bytes got;
  EXPECT_EQ(read(got, 2), decode_corrupt);
  EXPECT_EQ(ZSTD_getErrorCode(decoder_.last_error), ZSTD_error_frameParameter_windowTooLarge);
}

TEST_F(StreamDecoder, DamageIsReported) {
  bytes data = pattern(1000);
  {
    bytes frame = compress(data, true);
    frame.back() ^= 0x01;  // inside the checksum
    open(frame);
    bytes got;
    EXPECT_EQ(read(got, data.size() + 1), decode_corrupt);
    EXPECT_EQ(ZSTD_getErrorCode(decoder_.last_error), ZSTD_error_checksum_wrong);
    decoder_close(&decoder_);
    opened_ = false;
  }
  {
    // Without a checksum, altered content of a raw block goes unnoticed by the library; a
    // broken block header does not.
    bytes frame = raw_frame(0, data);
    frame[6] ^= 0x06;  // block type raw -> reserved
    open(frame);
    bytes got;
    EXPECT_EQ(read(got, data.size()), decode_corrupt);
    decoder_close(&decoder_);
    opened_ = false;
  }
  bytes cut = compress(data, false);
  cut.resize(cut.size() / 2);
  open(cut);
  bytes got;
  EXPECT_EQ(read(got, data.size()), decode_truncated);
}

TEST_F(StreamDecoder, BytesThatAreNoFrameAreCorrupt) {
  open(bytes{'J', 'Q', 'Z', 0, 1, 2, 3, 4});
  bytes got;
  EXPECT_EQ(read(got, 1), decode_corrupt);
}

// The calls the frame workers use: a frame started with a buffer that holds its content is
// decoded whole at the start; without one, or with one too small, step by step. Either way the
// spans give the same bytes and the end comes only after the checksum.
TEST_F(StreamDecoder, AFrameGivesTheSameBytesWholeOrStepByStepAndItsDamageAtItsEnd) {
  bytes data = pattern(300000);  // more than two holding buffers
  bytes frame = compress(data, true);
  open(bytes{});
  bytes buffer(data.size());
  // Every byte of the frame in spans of at most `limit`, then whether the stream ends there;
  // the first status that is not decode_ok ends it.
  auto read_all = [&](size_t limit, bytes* got) {
    const unsigned char* at = nullptr;
    size_t count = 0;
    while (got->size() < data.size()) {
      if (decode_status status = decoder_span(&decoder_, limit, &at, &count)) return status;
      EXPECT_LE(count, limit);
      got->insert(got->end(), at, at + count);
    }
    bool end = false;
    decode_status status = decoder_at_end(&decoder_, &end);
    return status == decode_ok && !end ? decode_truncated : status;
  };
  struct start_case {
    const char* what;
    unsigned char* buffer;
    size_t capacity;
  } cases[] = {{"whole", buffer.data(), buffer.size()},
               {"no buffer", nullptr, 0},
               {"a buffer one byte short", buffer.data(), buffer.size() - 1}};
  for (const start_case& c : cases) {
    SCOPED_TRACE(c.what);
    // A frame read partly and started again gives its bytes from the beginning.
    ASSERT_EQ(decoder_start_frame(&decoder_, frame.data(), frame.size(), c.buffer, c.capacity), decode_ok);
    const unsigned char* at = nullptr;
    size_t count = 0;
    ASSERT_EQ(decoder_span(&decoder_, 100000, &at, &count), decode_ok);
    ASSERT_EQ(decoder_start_frame(&decoder_, frame.data(), frame.size(), c.buffer, c.capacity), decode_ok);
    bytes got;
    EXPECT_EQ(read_all(70000, &got), decode_ok);
    EXPECT_TRUE(got == data);
  }
  bytes damaged = frame;
  damaged.back() ^= 0x01;  // inside the checksum
  EXPECT_EQ(decoder_start_frame(&decoder_, damaged.data(), damaged.size(), buffer.data(), buffer.size()),
            decode_corrupt);
  ASSERT_EQ(decoder_start_frame(&decoder_, damaged.data(), damaged.size(), nullptr, 0), decode_ok);
  bytes got;
  EXPECT_EQ(read_all(70000, &got), decode_corrupt);
  EXPECT_EQ(ZSTD_getErrorCode(decoder_.last_error), ZSTD_error_checksum_wrong);
}

}  // namespace
