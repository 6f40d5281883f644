// The compression step behind struct sha256, in the two forms it comes in: portable C++
// everywhere, and the processor's own SHA-256 instructions where a run-time check finds them.
// Both give the same state for the same blocks; the choice is made once per process.
#pragma once

#include <stddef.h>
#include <stdint.h>

/// Runs `blocks` whole 64-byte blocks from `data` through SHA-256's compression into `state`.
using sha256_blocks = void (*)(uint32_t state[8], const unsigned char* data, size_t blocks);

/// The round constants, shared by both forms.
extern const uint32_t sha256_round_constants[64];

void sha256_blocks_portable(uint32_t state[8], const unsigned char* data, size_t blocks);

/// The instructions' form when this processor has them (checked here, at run time); null
/// otherwise, and on processors this build has no such form for.
sha256_blocks sha256_blocks_accelerated();

/// Makes every sha256 digest from now on use the portable form (true) or the best the
/// processor offers (false, the default), so tests and benchmarks can hold the two against
/// each other. Returns whether this processor has an accelerated form at all.
bool sha256_use_portable(bool portable);
