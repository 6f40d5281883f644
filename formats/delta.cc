#include "formats/delta.h"

#include <stdlib.h>
#include <string.h>

#include <zstd.h>

#include "base/byte_order.h"

namespace {

// Bytes of base hashed or handed on at a time, so the sink sees pieces of a bounded size.
constexpr size_t apply_piece = size_t{1} << 20;

bool refuse(const char** why, const char* reason) {
  *why = reason;
  return false;
}

// Reads a LEB128 varint of at most 64 bits from [*at, end); false when it runs past the end
// or past 64 bits.
bool read_varint(const unsigned char** at, const unsigned char* end, uint64_t* value) {
  uint64_t result = 0;
  for (unsigned shift = 0; shift < 64; shift += 7) {
    if (*at == end) return false;
    unsigned char byte = *(*at)++;
    uint64_t bits = byte & 0x7F;
    if (shift == 63 && bits > 1) return false;
    result |= bits << shift;
    if (!(byte & 0x80)) {
      *value = result;
      return true;
    }
  }
  return false;
}

size_t write_varint(uint64_t value, unsigned char* out) {
  size_t n = 0;
  while (value >= 0x80) {
    out[n++] = static_cast<unsigned char>(value | 0x80);
    value >>= 7;
  }
  out[n++] = static_cast<unsigned char>(value);
  return n;
}

struct instruction {
  uint64_t literal_length, copy_length, copy_start;
};

// Walks the instructions one at a time, checking each against the base and the target.
struct instruction_reader {
  const unsigned char* at;
  const unsigned char* end;
  uint64_t base_size, target_size;
  uint64_t copy_end = 0, produced = 0, literals = 0;

  // False with a reason for an instruction that cannot be read or reaches outside either file.
  bool next(instruction* out, const char** why) {
    uint64_t literal_length, copy_length, zigzag;
    if (!read_varint(&at, end, &literal_length) || !read_varint(&at, end, &copy_length) ||
        !read_varint(&at, end, &zigzag))
      return refuse(why, "the delta's instructions are damaged");
    // Zigzag: even values are distances forward, odd ones backward.
    uint64_t magnitude = zigzag >> 1;
    uint64_t start = zigzag & 1 ? copy_end - magnitude - 1 : copy_end + magnitude;
    if ((zigzag & 1 ? magnitude + 1 > copy_end : magnitude > base_size - copy_end) || copy_length > base_size - start)
      return refuse(why, "the delta copies bytes from outside the old launcher");
    if (literal_length > target_size - produced || copy_length > target_size - produced - literal_length)
      return refuse(why, "the delta writes past the new launcher's size");
    produced += literal_length + copy_length;
    literals += literal_length;
    copy_end = start + copy_length;
    *out = {literal_length, copy_length, start};
    return true;
  }
  bool done() const { return at == end; }
};

// The literals' frames, decoded as the instructions ask for them.
struct literal_stream {
  ZSTD_DCtx* context = nullptr;
  ZSTD_inBuffer in{};
  unsigned char* buffer = nullptr;
  size_t buffer_size = 0;
  size_t frame_left = 0;  // the last step's result: zero at a frame's end

  ~literal_stream() {
    ZSTD_freeDCtx(context);
    free(buffer);
  }
};

bool literals_open(literal_stream* stream, const delta_header& header, const char** why) {
  stream->in = {header.literals, static_cast<size_t>(header.literal_frames_bytes), 0};
  if (header.literal_bytes == 0) return true;
  stream->context = ZSTD_createDCtx();
  stream->buffer_size = ZSTD_DStreamOutSize();
  stream->buffer = static_cast<unsigned char*>(malloc(stream->buffer_size));
  if (!stream->context || !stream->buffer) return refuse(why, "out of memory for the delta's literals");
  if (ZSTD_isError(ZSTD_DCtx_setParameter(stream->context, ZSTD_d_windowLogMax, delta_window_log_max)))
    return refuse(why, "out of memory for the delta's literals");
  return true;
}

// Hands `count` literal bytes to the sink, decoding them step by step.
bool literals_pass(literal_stream* stream, uint64_t count, delta_sink sink, void* context, sha256* digest,
                   const char** why) {
  while (count > 0) {
    size_t want = count < stream->buffer_size ? static_cast<size_t>(count) : stream->buffer_size;
    ZSTD_outBuffer out{stream->buffer, want, 0};
    if (stream->in.pos == stream->in.size && stream->frame_left == 0)
      return refuse(why, "the delta's literals end early (a truncated delta)");
    size_t result = ZSTD_decompressStream(stream->context, &out, &stream->in);
    if (ZSTD_isError(result)) return refuse(why, "the delta's literals are damaged");
    stream->frame_left = result;
    if (out.pos == 0 && stream->in.pos == stream->in.size && result != 0)
      return refuse(why, "the delta's literals end early (a truncated delta)");
    digest->add(stream->buffer, out.pos);
    if (out.pos && !sink(context, stream->buffer, out.pos)) return refuse(why, "cannot write the target");
    count -= out.pos;
  }
  return true;
}

// After the last literal: the frames must end right there, with the delta.
bool literals_finish(literal_stream* stream, const char** why) {
  if (!stream->context) return stream->in.size == 0 || refuse(why, "the delta has bytes after its end");
  unsigned char extra;
  while (stream->frame_left != 0 || stream->in.pos < stream->in.size) {
    ZSTD_outBuffer out{&extra, 1, 0};
    size_t result = ZSTD_decompressStream(stream->context, &out, &stream->in);
    if (ZSTD_isError(result)) return refuse(why, "the delta's literals are damaged");
    if (out.pos) return refuse(why, "the delta's literals are longer than its instructions say");
    if (result != 0 && stream->in.pos == stream->in.size)
      return refuse(why, "the delta's literals end early (a truncated delta)");
    stream->frame_left = result;
  }
  return true;
}

struct buffer_sink {
  unsigned char* at;
  size_t left;
};

bool into_buffer(void* context, const unsigned char* data, size_t size) {
  buffer_sink* sink = static_cast<buffer_sink*>(context);
  if (size > sink->left) return false;
  memcpy(sink->at, data, size);
  sink->at += size;
  sink->left -= size;
  return true;
}

}  // namespace

bool delta_read_header(const unsigned char* delta, size_t size, delta_header* out, const char** why) {
  if (size < delta_magic_size || memcmp(delta, delta_magic, delta_magic_size) != 0)
    return refuse(why, "not a delta (no delta magic)");
  if (size < delta_header_size) return refuse(why, "the delta is truncated inside its header");
  if (load_le32(delta + 8) != delta_version) return refuse(why, "the delta is of a layout this launcher does not read");
  delta_header header{};
  header.machine = load_le16(delta + 12);
  header.company_units = load_le16(delta + 14);
  header.product_units = load_le16(delta + 16);
  if (load_le16(delta + 18) != 0) return refuse(why, "the delta's header is damaged");
  header.base_size = load_le64(delta + 20);
  memcpy(header.base_digest, delta + 28, sha256_size);
  header.target_size = load_le64(delta + 28 + sha256_size);
  memcpy(header.target_digest, delta + 36 + sha256_size, sha256_size);
  header.instruction_bytes = load_le64(delta + 36 + 2 * sha256_size);
  header.literal_bytes = load_le64(delta + 44 + 2 * sha256_size);
  if (header.company_units > delta_text_units_max || header.product_units > delta_text_units_max)
    return refuse(why, "the delta's header is damaged");
  size_t texts = 2 * (header.company_units + header.product_units);
  if (size - delta_header_size < texts) return refuse(why, "the delta is truncated inside its header");
  header.company = delta + delta_header_size;
  header.product = header.company + 2 * header.company_units;
  size_t rest = size - delta_header_size - texts;
  if (header.instruction_bytes > rest) return refuse(why, "the delta is truncated inside its instructions");
  header.instructions = header.product + 2 * header.product_units;
  header.literals = header.instructions + header.instruction_bytes;
  header.literal_frames_bytes = rest - header.instruction_bytes;
  if (header.literal_bytes > header.target_size) return refuse(why, "the delta's header is damaged");
  *out = header;
  return true;
}

bool delta_apply_to(const unsigned char* base, size_t base_size, const unsigned char* delta, size_t delta_size,
                    delta_sink sink, void* context, const char** why) {
  delta_header header;
  if (!delta_read_header(delta, delta_size, &header, why)) return false;
  if (header.base_size != base_size) return refuse(why, "the delta was made for another release (its size differs)");
  unsigned char digest[sha256_size];
  sha256 base_digest;
  base_digest.add(base, base_size);
  base_digest.finish(digest);
  if (memcmp(digest, header.base_digest, sha256_size) != 0)
    return refuse(why, "the delta was made for another release (its SHA-256 differs)");

  // Every instruction is checked before the sink sees a byte, so a damaged delta that still
  // parses writes nothing.
  instruction_reader check{header.instructions, header.instructions + header.instruction_bytes, base_size,
                           header.target_size};
  instruction step;
  while (!check.done())
    if (!check.next(&step, why)) return false;
  if (check.produced != header.target_size)
    return refuse(why, "the delta's instructions fall short of the new launcher");
  if (check.literals != header.literal_bytes) return refuse(why, "the delta's literals do not match its instructions");

  literal_stream literals;
  if (!literals_open(&literals, header, why)) return false;
  sha256 target_digest;
  instruction_reader walk{header.instructions, header.instructions + header.instruction_bytes, base_size,
                          header.target_size};
  while (!walk.done()) {
    walk.next(&step, why);
    if (!literals_pass(&literals, step.literal_length, sink, context, &target_digest, why)) return false;
    for (uint64_t done = 0; done < step.copy_length;) {
      uint64_t left = step.copy_length - done;
      size_t piece = left < apply_piece ? static_cast<size_t>(left) : apply_piece;
      const unsigned char* from = base + step.copy_start + done;
      target_digest.add(from, piece);
      if (!sink(context, from, piece)) return refuse(why, "cannot write the target");
      done += piece;
    }
  }
  if (!literals_finish(&literals, why)) return false;
  target_digest.finish(digest);
  if (memcmp(digest, header.target_digest, sha256_size) != 0)
    return refuse(why, "the result does not have the SHA-256 the delta names (a damaged delta)");
  return true;
}

bool delta_apply(const unsigned char* base, size_t base_size, const unsigned char* delta, size_t delta_size,
                 unsigned char* out, size_t out_capacity, const char** why) {
  delta_header header;
  if (!delta_read_header(delta, delta_size, &header, why)) return false;
  if (header.target_size > out_capacity) return refuse(why, "the new launcher does not fit the buffer given");
  buffer_sink sink{out, out_capacity};
  return delta_apply_to(base, base_size, delta, delta_size, into_buffer, &sink, why);
}

size_t delta_write_header(const delta_header& header, const unsigned char* company, const unsigned char* product,
                          unsigned char* out) {
  memcpy(out, delta_magic, delta_magic_size);
  store_le32(out + 8, delta_version);
  store_le16(out + 12, header.machine);
  store_le16(out + 14, static_cast<uint16_t>(header.company_units));
  store_le16(out + 16, static_cast<uint16_t>(header.product_units));
  store_le16(out + 18, 0);
  store_le64(out + 20, header.base_size);
  memcpy(out + 28, header.base_digest, sha256_size);
  store_le64(out + 28 + sha256_size, header.target_size);
  memcpy(out + 36 + sha256_size, header.target_digest, sha256_size);
  store_le64(out + 36 + 2 * sha256_size, header.instruction_bytes);
  store_le64(out + 44 + 2 * sha256_size, header.literal_bytes);
  unsigned char* at = out + delta_header_size;
  if (header.company_units) memcpy(at, company, 2 * header.company_units);
  at += 2 * header.company_units;
  if (header.product_units) memcpy(at, product, 2 * header.product_units);
  return delta_header_size + 2 * (header.company_units + header.product_units);
}

size_t delta_write_instruction(uint64_t literal_length, uint64_t copy_length, int64_t copy_distance,
                               unsigned char* out) {
  uint64_t zigzag = copy_distance >= 0 ? static_cast<uint64_t>(copy_distance) << 1
                                       : ((static_cast<uint64_t>(-(copy_distance + 1))) << 1) | 1;
  size_t n = write_varint(literal_length, out);
  n += write_varint(copy_length, out + n);
  n += write_varint(zigzag, out + n);
  return n;
}
