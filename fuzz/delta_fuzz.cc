// Arbitrary deltas through the apply, as a launcher runs it on a downloaded update: every input
// must end in a refusal or in exactly the target the delta names, never out of bounds. An
// input is a base (its length as u16 LE, then its bytes) and the delta after it, so that the
// seeds, real deltas for their bases, lead past the base's digest check.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "formats/delta.h"

namespace {

// Bounds the work per input: a header may name a target of any size.
constexpr uint64_t max_target_bytes = 4u << 20;

struct digest_sink {
  sha256 digest;
  uint64_t bytes = 0;
};

bool take(void* context, const unsigned char* data, size_t size) {
  digest_sink* sink = static_cast<digest_sink*>(context);
  sink->digest.add(data, size);
  sink->bytes += size;
  return sink->bytes <= max_target_bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  size_t base_size = data[0] | data[1] << 8;
  if (size - 2 < base_size) return 0;
  const unsigned char* base = data + 2;
  const unsigned char* delta = base + base_size;
  size_t delta_size = size - 2 - base_size;
  delta_header header;
  const char* why = nullptr;
  if (!delta_read_header(delta, delta_size, &header, &why)) {
    if (!why || !*why) __builtin_trap();
    return 0;
  }
  digest_sink sink;
  if (!delta_apply_to(base, base_size, delta, delta_size, take, &sink, &why)) {
    if (!why || !*why) __builtin_trap();
    return 0;
  }
  // Accepted: it must be the target the header names, all of it.
  unsigned char digest[sha256_size];
  sink.digest.finish(digest);
  if (sink.bytes != header.target_size || memcmp(digest, header.target_digest, sha256_size) != 0)
    __builtin_trap();
  return 0;
}
