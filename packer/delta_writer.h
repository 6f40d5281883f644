// Making a delta: finding the stretches of a new launcher that the old one already holds, so
// that the delta carries only what changed (see formats/delta.h for the layout).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

/// Who both launchers are, as the delta's header names them.
struct delta_identity {
  uint16_t machine = 0;
  std::u16string company, product;
};

struct delta_figures {
  uint64_t copied = 0;    ///< target bytes taken from the base
  uint64_t literal = 0;   ///< target bytes the delta carries
  uint64_t instructions = 0;
};

/// The delta that rebuilds `target` from `base`, its literals compressed at Zstandard `level`
/// with `threads` workers (0: one per core). The same inputs give the same bytes. Throws
/// pack_error when compression fails or a text is too long for the header.
std::vector<unsigned char> make_delta(const unsigned char* base, size_t base_size, const unsigned char* target,
                                      size_t target_size, const delta_identity& identity, int level, int threads,
                                      delta_figures* figures);
