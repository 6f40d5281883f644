// Arbitrary blobs through the decoder and the entry-stream walk, as the launcher reads them:
// every input must end at the end marker or in a decoding failure, never out of bounds.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "payload/entry_stream.h"
#include "payload/stream_decoder.h"

// Small blobs can decode to a great deal (zstd's run-length blocks); bound the work per input.
static constexpr uint64_t max_decoded_bytes = 2ull << 20;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < payload_magic_size || memcmp(data, payload_magic, payload_magic_size) != 0) return 0;
  payload_decoder decoder;
  if (decoder_open(&decoder, data + payload_magic_size, size - payload_magic_size) != decode_ok) __builtin_trap();
  uint64_t total = 0;
  static unsigned char chunk[32768];
  for (;;) {
    char16_t name[entry_name_capacity];
    size_t length = 0;
    decode_status why = decode_ok;
    if (entry_read_name(&decoder, name, entry_name_capacity, &length, &why) != entry_ok) break;
    if (length == 0) break;
    uint64_t content = 0;
    if (entry_read_size(&decoder, &content) != decode_ok) break;
    bool failed = false;
    while (content > 0 && !failed) {
      uint64_t n = content < sizeof chunk ? content : sizeof chunk;
      failed = decoder_read(&decoder, chunk, n) != decode_ok;
      content -= n;
      total += n;
      if (total > max_decoded_bytes) failed = true;
    }
    if (failed) break;
  }
  decoder_close(&decoder);
  return 0;
}
