#include "payload/stream_decoder.h"

#include <stdlib.h>

decode_status decoder_open(payload_decoder* decoder, const void* source, size_t size) {
  decoder->holding = static_cast<unsigned char*>(malloc(payload_holding_size));
  if (!decoder->holding) return decode_no_memory;
  decoder->context = ZSTD_createDCtx();
  if (!decoder->context) return decode_no_memory;
  decoder->in.src = source;
  decoder->in.size = size;
  decoder->in.pos = 0;
  decoder->out.dst = decoder->holding;
  decoder->out.size = 0;
  decoder->out.pos = 0;
  decoder->last_error = 0;
  decoder->frame_left = 1;
  return decode_ok;
}

// One library step into the emptied holding buffer.
static decode_status decode_step(payload_decoder* decoder) {
  decoder->holding = static_cast<unsigned char*>(decoder->out.dst);
  decoder->out.size = payload_holding_size;
  decoder->out.pos = 0;
  size_t result = ZSTD_decompressStream(decoder->context, &decoder->out, &decoder->in);
  if (ZSTD_isError(result)) {
    decoder->last_error = result;
    decoder->out.size = 0;
    decoder->out.pos = 0;
    return decode_corrupt;
  }
  decoder->frame_left = result;
  decoder->out.size = decoder->out.pos;
  decoder->out.pos = 0;
  return decode_ok;
}

decode_status decoder_start_frame(payload_decoder* decoder, const void* frame, size_t size, unsigned char* buffer,
                                  size_t capacity) {
  ZSTD_DCtx_reset(decoder->context, ZSTD_reset_session_only);
  decoder->holding = static_cast<unsigned char*>(decoder->out.dst);
  decoder->in.src = frame;
  decoder->in.size = size;
  decoder->in.pos = 0;
  decoder->out.size = 0;
  decoder->out.pos = 0;
  decoder->frame_left = 1;
  unsigned long long content = ZSTD_getFrameContentSize(frame, size);
  if (!buffer || content > capacity) return decode_ok;
  size_t result = ZSTD_decompressDCtx(decoder->context, buffer, capacity, frame, size);
  if (ZSTD_isError(result)) {
    decoder->last_error = result;
    return decode_corrupt;
  }
  // Served as if one step had produced it all, with the input read and the frame whole.
  decoder->holding = buffer;
  decoder->out.size = result;
  decoder->in.pos = size;
  decoder->frame_left = 0;
  return decode_ok;
}

decode_status decoder_span(payload_decoder* decoder, uint64_t limit, const unsigned char** data, size_t* count) {
  while (decoder->out.size == decoder->out.pos) {
    if (decoder->in.pos >= decoder->in.size && (decoder->out.size < payload_holding_size || decoder->frame_left == 0))
      return decode_truncated;
    if (decode_status status = decode_step(decoder)) return status;
  }
  size_t held = decoder->out.size - decoder->out.pos;
  size_t k = limit < held ? static_cast<size_t>(limit) : held;
  *data = decoder->holding + decoder->out.pos;
  *count = k;
  decoder->out.pos += k;
  return decode_ok;
}

decode_status decoder_at_end(payload_decoder* decoder, bool* at_end) {
  *at_end = false;
  while (decoder->out.size == decoder->out.pos) {
    if (decoder->frame_left == 0 && decoder->in.pos >= decoder->in.size) {
      *at_end = true;
      return decode_ok;
    }
    if (decoder->in.pos >= decoder->in.size && (decoder->out.size < payload_holding_size || decoder->frame_left == 0))
      return decode_truncated;
    if (decode_status status = decode_step(decoder)) return status;
  }
  return decode_ok;
}

decode_status decoder_read_steps(payload_decoder* decoder, unsigned char* destination, uint64_t count) {
  while (count > 0) {
    size_t held = decoder->out.size - decoder->out.pos;
    if (held > 0) {
      size_t k = count < held ? (size_t)count : held;
      memcpy(destination, decoder->holding + decoder->out.pos, k);
      destination += k;
      count -= k;
      decoder->out.pos += k;
      continue;
    }
    // Tells "the library still holds decoded bytes" apart from "the input ran out inside a
    // frame": a step that filled the holding buffer may have left output behind even with
    // all input consumed, and that step may have been taken by an earlier call, so its
    // output size (kept in out.size) decides rather than anything local to this call.
    if (decoder->in.pos >= decoder->in.size && (decoder->out.size < payload_holding_size || decoder->frame_left == 0))
      return decode_truncated;
    if (decode_status status = decode_step(decoder)) return status;
  }
  return decode_ok;
}

void decoder_close(payload_decoder* decoder) {
  ZSTD_freeDCtx(decoder->context);
  decoder->context = nullptr;
  free(decoder->out.dst);
  decoder->out.dst = nullptr;
  decoder->holding = nullptr;
}
