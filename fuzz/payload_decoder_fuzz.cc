// Arbitrary blobs through the decoder and the entry-stream walk, as the launcher reads them:
// every input must end at the end marker or in a decoding failure, never out of bounds, and
// every byte the decoder hands out must be the byte a second, independent decoding of the
// same input gives at that position.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <zstd.h>

#include "payload/entry_stream.h"
#include "payload/stream_decoder.h"

// Small blobs can decode to a great deal (zstd's run-length blocks); bound the work per input.
static constexpr uint64_t max_decoded_bytes = 2ull << 20;

namespace {

// zstd's streaming API driven the other way round from the decoder under test: input a few
// bytes at a time and a small output buffer, so the library buffers internally and never
// takes the whole-frame path the decoder's large holding buffer allows.
constexpr size_t reference_output_capacity = 509;

enum class reference_end { running, clean, cut, damaged };

struct reference_stream {
  ZSTD_DCtx* context;
  ZSTD_inBuffer in;  ///< in.size grows by `step` up to `input_size` as the input is used up
  size_t input_size;
  size_t step;
  unsigned char out[reference_output_capacity];
  size_t held = 0, at = 0;
  reference_end end = reference_end::running;
  size_t last_result = 1;
};

/// Copies up to `count` decoded bytes; fewer only once the reference has stopped.
size_t reference_read(reference_stream* r, unsigned char* destination, size_t count) {
  size_t done = 0;
  while (done < count) {
    if (r->at < r->held) {
      size_t k = count - done < r->held - r->at ? count - done : r->held - r->at;
      memcpy(destination + done, r->out + r->at, k);
      done += k;
      r->at += k;
      continue;
    }
    if (r->end != reference_end::running) break;
    if (r->in.pos == r->in.size && r->in.size < r->input_size)
      r->in.size = r->input_size - r->in.size < r->step ? r->input_size : r->in.size + r->step;
    ZSTD_outBuffer out{r->out, sizeof r->out, 0};
    size_t consumed_before = r->in.pos;
    size_t result = ZSTD_decompressStream(r->context, &out, &r->in);
    r->held = out.pos;
    r->at = 0;
    if (ZSTD_isError(result)) {
      r->end = reference_end::damaged;
    } else if (out.pos == 0 && r->in.pos == consumed_before && r->in.size == r->input_size) {
      // Nothing more comes. The step that last made progress tells whether it completed a
      // frame (0); this one only asks for the next frame's header.
      r->end = r->last_result == 0 ? reference_end::clean : reference_end::cut;
    } else {
      r->last_result = result;
    }
  }
  return done;
}

/// Reads on until the reference stops or has decoded `budget` more bytes.
reference_end reference_drain(reference_stream* r, uint64_t budget) {
  unsigned char scrap[4096];
  while (budget > 0) {
    size_t got = reference_read(r, scrap, sizeof scrap);
    if (got < sizeof scrap) return r->end;
    budget = budget > got ? budget - got : 0;
  }
  return reference_end::running;
}

// Checks what the decoder under test did with a request for `count` bytes (`bytes` holds
// them when it succeeded) against the reference. Returns whether the walk may go on.
bool agrees(reference_stream* reference, decode_status status, const unsigned char* bytes, size_t count,
            uint64_t* total) {
  static unsigned char expected[32768];
  size_t got = reference_read(reference, expected, count);
  *total += count;
  switch (status) {
    case decode_ok:
      if (got != count || memcmp(bytes, expected, count) != 0) __builtin_trap();
      return *total <= max_decoded_bytes;
    case decode_truncated:
      // The input is used up: the reference cannot have these bytes either.
      if (got == count) __builtin_trap();
      return false;
    case decode_corrupt:
      // A frame's checksum is only checked at its end, so the reference may still hand out
      // the bytes; but it must find the same damage somewhere before the input ends.
      if (reference_drain(reference, max_decoded_bytes) == reference_end::clean) __builtin_trap();
      return false;
    case decode_no_memory: return false;
  }
  return false;
}

// A name as entry_read_name left it: `length` units delivered, then the zero unit when it
// succeeded, or the failed read when the decoder failed.
bool name_agrees(reference_stream* reference, entry_status status, decode_status why, const char16_t* name,
                 size_t length, uint64_t* total) {
  for (size_t i = 0; i <= length; ++i) {
    if (i == length && status != entry_ok) break;
    unsigned char unit[2] = {static_cast<unsigned char>(name[i] & 0xFF), static_cast<unsigned char>(name[i] >> 8)};
    if (!agrees(reference, decode_ok, unit, 2, total)) return false;
  }
  if (status == entry_decode_failed) return agrees(reference, why, nullptr, 2, total);
  return status == entry_ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < payload_magic_size || memcmp(data, payload_magic, payload_magic_size) != 0) return 0;
  payload_decoder decoder;
  if (decoder_open(&decoder, data + payload_magic_size, size - payload_magic_size) != decode_ok) __builtin_trap();
  reference_stream reference{
      ZSTD_createDCtx(), {data + payload_magic_size, 0, 0}, size - payload_magic_size, 1 + size % 61};
  if (!reference.context) __builtin_trap();

  uint64_t total = 0;
  static unsigned char chunk[32768];
  for (;;) {
    char16_t name[entry_name_capacity];
    size_t length = 0;
    decode_status why = decode_ok;
    entry_status named = entry_read_name(&decoder, name, entry_name_capacity, &length, &why);
    if (!name_agrees(&reference, named, why, name, length, &total) || length == 0) break;
    uint64_t content = 0;
    decode_status sized = entry_read_size(&decoder, &content);
    unsigned char size_bytes[8];
    for (int i = 0; i < 8; ++i) size_bytes[i] = static_cast<unsigned char>(content >> (8 * i));
    if (!agrees(&reference, sized, size_bytes, 8, &total)) break;
    bool going = true;
    while (content > 0 && going) {
      size_t n = content < sizeof chunk ? static_cast<size_t>(content) : sizeof chunk;
      going = agrees(&reference, decoder_read(&decoder, chunk, n), chunk, n, &total);
      content -= n;
    }
    if (!going) break;
  }
  ZSTD_freeDCtx(reference.context);
  decoder_close(&decoder);
  return 0;
}
