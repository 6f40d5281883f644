#include "packer/blob_reader.h"

#include <string.h>

#include <algorithm>
#include <vector>

#include "packer/names.h"
#include "packer/pack_error.h"
#include "packer/stub_descriptor.h"
#include "payload/entry_stream.h"

namespace {

constexpr uint32_t zstd_frame_magic = 0xFD2FB528;

uint64_t load_u64(const unsigned char* at) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = value << 8 | at[i];
  return value;
}

uint32_t load_u32(const unsigned char* at) {
  return static_cast<uint32_t>(at[0] | at[1] << 8 | at[2] << 16) | static_cast<uint32_t>(at[3]) << 24;
}

bool all_zero(const unsigned char* at, size_t count) {
  return std::all_of(at, at + count, [](unsigned char b) { return b == 0; });
}

std::string at_offset(size_t offset) { return "at offset " + std::to_string(offset); }

/// Window a zstd frame header asks for, or 0 when the header is cut short. The frame's total
/// size has been established already, so only the header is read.
uint64_t frame_window_size(const unsigned char* frame, size_t size) {
  if (size < 6) return 0;
  unsigned descriptor = frame[4];
  bool single_segment = descriptor & 0x20;
  if (!single_segment) {
    unsigned window = frame[5];
    uint64_t base = uint64_t{1} << (10 + (window >> 3));
    return base + (base / 8) * (window & 7);
  }
  static const size_t dictionary_bytes[] = {0, 1, 2, 4};
  static const size_t content_bytes[] = {1, 2, 4, 8};
  size_t at = 5 + dictionary_bytes[descriptor & 3];
  size_t length = content_bytes[descriptor >> 6];
  if (size < at + length) return 0;
  uint64_t value = 0;
  for (size_t i = length; i > 0; --i) value = value << 8 | frame[at + i - 1];
  return length == 2 ? value + 256 : value;
}

}  // namespace

blob_span locate_blob(const unsigned char* file, size_t size) {
  if (size >= 3 && memcmp(file, payload_magic, 3) == 0) return {file, size, 0};
  if (size >= 2 && file[0] == 'M' && file[1] == 'Z') {
    uint64_t offset = 0, length = 0;
    if (descriptor_payload(file, size, &offset, &length)) return {file + offset, static_cast<size_t>(length), offset};
    const unsigned char* end = file + size;
    const unsigned char* marker = reinterpret_cast<const unsigned char*>(launcher_payload_marker);
    for (const unsigned char* at = file;; ++at) {
      at = std::search(at, end, marker, marker + 16);
      if (at == end) break;
      size_t header = static_cast<size_t>(at - file);
      if (size - header < launcher_payload_header_size) break;
      uint64_t length = load_u64(at + 16);
      size_t start = header + launcher_payload_header_size;
      if (all_zero(at + 24, 8) && length >= 3 && length <= size - start && memcmp(file + start, payload_magic, 3) == 0)
        return {file + start, static_cast<size_t>(length), start};
    }
    throw pack_error("no payload in this executable (no TAVREN-PAYLOAD-1 marker followed by a blob)");
  }
  throw pack_error("not a payload: bad magic (expected \"JQZ\" or a launcher executable)");
}

blob_layout check_blob_layout(const blob_span& blob) {
  const unsigned char* data = blob.data;
  size_t size = blob.size;
  if (size < 3 || memcmp(data, payload_magic, 3) != 0) throw pack_error("bad magic (expected \"JQZ\")");
  if (size < 3 + 8) throw pack_error("too short for a blob (" + std::to_string(size) + " bytes)");
  size_t trailer = size - 8;
  uint64_t recorded = load_u64(data + trailer);
  if (recorded != trailer)
    throw pack_error("trailer " + at_offset(trailer) + " holds " + std::to_string(recorded) + ", not its own offset");
  if (trailer % 8 != 0) throw pack_error("trailer " + at_offset(trailer) + " is not at a multiple of 8");

  blob_layout layout{0, 0, 0};
  size_t at = 3;
  for (;;) {
    size_t left = trailer - at;
    if (layout.frames > 0 && left < 8) {
      for (size_t i = 0; i < left; ++i)
        if (data[at + i] != 0) throw pack_error("fill byte " + at_offset(at + i) + " is not zero");
      layout.region_end = at;
      layout.fill = left;
      return layout;
    }
    size_t frame = ZSTD_findFrameCompressedSize(data + at, left);
    if (ZSTD_isError(frame)) {
      if (layout.frames > 0 && all_zero(data + at, left))
        throw pack_error("fill " + at_offset(at) + " is " + std::to_string(left) + " bytes; at most 7 belong there");
      if (layout.frames == 0 && left == 0) throw pack_error("no Zstandard frame after the magic");
      throw pack_error("no whole Zstandard frame " + at_offset(at) + " (" + ZSTD_getErrorName(frame) + ")");
    }
    if (load_u32(data + at) == zstd_frame_magic) {
      uint64_t window = frame_window_size(data + at, frame);
      if (window > launcher_window_size_max)
        throw pack_error("frame " + at_offset(at) + " needs a " + std::to_string(window >> 20) +
                         " MiB window; the launcher decodes at most 128 MiB");
    }
    ++layout.frames;
    at += frame;
  }
}

entry_reader::entry_reader(const unsigned char* region, size_t size) {
  if (decoder_open(&decoder_, region, size) != decode_ok) {
    decoder_close(&decoder_);
    throw pack_error("out of memory for the decoder");
  }
}

entry_reader::~entry_reader() { decoder_close(&decoder_); }

void entry_reader::fail(decode_status status, const std::string& where) {
  switch (status) {
    case decode_no_memory:
      throw pack_error("out of memory while decoding " + where);
    case decode_truncated:
      throw pack_error("the entry stream ends " + where + " (no end marker)");
    default:
      throw pack_error("compressed data damaged " + where + " (" + ZSTD_getErrorName(decoder_.last_error) + ")");
  }
}

bool entry_reader::next() {
  unsigned char scrap[4096];
  while (left_ > 0) read(scrap, sizeof scrap);
  ++index_;
  std::string where = "in entry " + std::to_string(index_);
  char16_t units[entry_name_capacity];
  size_t length = 0;
  decode_status why = decode_ok;
  entry_status status = entry_read_name(&decoder_, units, entry_name_capacity, &length, &why);
  if (status == entry_name_too_long)
    throw pack_error("entry " + std::to_string(index_) + " has a name longer than " +
                     std::to_string(entry_name_capacity - 1) + " units");
  if (status != entry_ok) fail(why, where);
  name_.assign(units, length);
  if (length == 0) {
    --index_;
    size_ = left_ = 0;
    return false;
  }
  where += " " + quote_name(utf16_to_utf8(name_));
  decode_status size_status = entry_read_size(&decoder_, &size_);
  if (size_status != decode_ok) fail(size_status, where);
  left_ = size_;
  return true;
}

size_t entry_reader::read(unsigned char* destination, size_t capacity) {
  size_t count = static_cast<size_t>(std::min<uint64_t>(left_, capacity));
  if (count == 0) return 0;
  decode_status status = decoder_read(&decoder_, destination, count);
  if (status != decode_ok) fail(status, "in entry " + std::to_string(index_) + " " + quote_name(utf16_to_utf8(name_)));
  left_ -= count;
  return count;
}

void entry_reader::finish() {
  unsigned char probe;
  decode_status status = decoder_read(&decoder_, &probe, 1);
  if (status == decode_ok) throw pack_error("data follows the end marker");
  if (status != decode_truncated) fail(status, "after the end marker");
}
