// SHA-256, the one digest the packer and the launcher share: the packer names a payload by
// its digest (the content key of a cached launcher) and records each entry's digest for the
// launchers that check their cached files; the launcher computes the same over those files.
#pragma once

#include <stddef.h>
#include <stdint.h>

/// Bytes of a digest.
constexpr size_t content_digest_size = 32;
/// Bytes of the content key: the digest's first 8 bytes, shown as 16 hex digits.
constexpr size_t content_key_size = 8;

/// An incremental SHA-256. Feed any number of `add` calls, then `finish` once.
struct content_digest {
  uint32_t state[8];
  uint64_t length = 0;  ///< bytes added so far
  unsigned char block[64];
  size_t held = 0;  ///< bytes of `block` in use

  content_digest();
  void add(const void* data, size_t size);
  void finish(unsigned char out[content_digest_size]);
};

/// Writes the 16 lower-case hex digits of `key` and a terminating zero into `text`.
void content_key_text(const unsigned char key[content_key_size], wchar_t text[2 * content_key_size + 1]);
