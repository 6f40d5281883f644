// SHA-256, the one digest the packer and the launcher share: a payload's content key, each
// cached file's check, a delta's two launchers and an update's signature all rest on both ends
// computing the same. It runs on the processor's SHA-256 instructions where a run-time check
// finds them, on portable code otherwise (base/sha256_blocks.h).
#pragma once

#include <stddef.h>
#include <stdint.h>

/// Bytes of a digest.
constexpr size_t sha256_size = 32;

/// An incremental SHA-256. Feed any number of `add` calls, then `finish` once.
struct sha256 {
  uint32_t state[8];
  uint64_t length = 0;  ///< bytes added so far
  unsigned char block[64];
  size_t held = 0;  ///< bytes of `block` in use

  sha256();
  void add(const void* data, size_t size);
  void finish(unsigned char out[sha256_size]);
};
