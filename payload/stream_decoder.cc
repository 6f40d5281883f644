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
    if (decoder->in.pos >= decoder->in.size && decoder->out.size < payload_holding_size) return decode_truncated;
    decoder->out.size = payload_holding_size;
    decoder->out.pos = 0;
    size_t result = ZSTD_decompressStream(decoder->context, &decoder->out, &decoder->in);
    if (ZSTD_isError(result)) {
      decoder->last_error = result;
      decoder->out.size = 0;
      decoder->out.pos = 0;
      return decode_corrupt;
    }
    size_t produced = decoder->out.pos;
    decoder->out.size = produced;
    decoder->out.pos = 0;
  }
  return decode_ok;
}

void decoder_close(payload_decoder* decoder) {
  ZSTD_freeDCtx(decoder->context);
  decoder->context = nullptr;
  free(decoder->holding);
  decoder->holding = nullptr;
}
