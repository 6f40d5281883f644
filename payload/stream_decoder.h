// The payload's compressed region as one sequential byte stream, decoded on demand.
// Portable: no Win32 here, so the launcher, the packer and the fuzzers share it.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <zstd.h>

/// Bytes the library may write per decode step; requests are served from here by plain copies.
constexpr size_t payload_holding_size = 131072;

enum decode_status {
  decode_ok = 0,
  decode_no_memory,  ///< the holding buffer or the context could not be allocated
  decode_corrupt,    ///< the library reported an error (damage, too large a window, bytes that are no frame)
  decode_truncated,  ///< all input consumed inside a frame and bytes are still wanted
};

struct payload_decoder {
  ZSTD_inBuffer in;    ///< the compressed region; pos advanced by the library
  ZSTD_outBuffer out;  ///< between steps: size = bytes held, pos = bytes delivered
  ZSTD_DCtx* context;
  unsigned char* holding;  ///< where held bytes are: out.dst (payload_holding_size bytes) or a whole frame
  size_t last_error;       ///< the library's result for the step that failed, for reports
  size_t frame_left;       ///< the last step's result: zero once a frame is whole and all of it out
};

/// Allocates the holding buffer and the context and points the input at `size` bytes at
/// `source`. Returns decode_ok or decode_no_memory (the holding buffer is kept on a failed
/// context, as nothing frees on failure paths).
decode_status decoder_open(payload_decoder* decoder, const void* source, size_t size);

/// Slow path of decoder_read: alternates copies and decode steps until `count` bytes are out.
decode_status decoder_read_steps(payload_decoder* decoder, unsigned char* destination, uint64_t count);

/// Copies exactly `count` decoded bytes, in stream order, to `destination`.
/// Anything but decode_ok leaves an unspecified number of bytes delivered.
inline decode_status decoder_read(payload_decoder* decoder, void* destination, uint64_t count) {
  size_t held = decoder->out.size - decoder->out.pos;
  if (count <= held) {
    memcpy(destination, decoder->holding + decoder->out.pos, (size_t)count);
    decoder->out.pos += (size_t)count;
    return decode_ok;
  }
  return decoder_read_steps(decoder, static_cast<unsigned char*>(destination), count);
}

/// Points an open decoder at the Zstandard frame of `size` bytes at `frame`, on its own: what
/// an earlier frame left is dropped. When the frame's header gives a content size of at most
/// `capacity` and `buffer` is not null, the whole frame is decoded into `buffer` at once, its
/// checksum checked, and reads are served from there (no window to allocate, no copy out of
/// it); otherwise it is decoded step by step as reads ask. Returns decode_corrupt when the
/// whole-frame decoding fails.
decode_status decoder_start_frame(payload_decoder* decoder, const void* frame, size_t size, unsigned char* buffer,
                                  size_t capacity);

/// Hands out up to `limit` decoded bytes where they are held, decoding a step when none are:
/// sets `*data` and `*count` (at least 1 on decode_ok) and counts them as delivered.
decode_status decoder_span(payload_decoder* decoder, uint64_t limit, const unsigned char** data, size_t* count);

/// Tells whether the decoded stream ends here: nothing held, the input all read and its last
/// frame whole, checksum checked. May decode a step to know; what it decodes stays held.
decode_status decoder_at_end(payload_decoder* decoder, bool* at_end);

/// Releases the context and then the holding buffer.
void decoder_close(payload_decoder* decoder);

/// Bytes of compressed input the library has consumed so far.
inline size_t decoder_input_consumed(const payload_decoder* decoder) { return decoder->in.pos; }
