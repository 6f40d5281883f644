// The compression step behind content_digest, in the two forms it comes in: portable C++
// everywhere, and the processor's own SHA-256 instructions where a run-time check finds them.
// Both give the same state for the same blocks; the choice is made once per process.
#pragma once

#include <stddef.h>
#include <stdint.h>

/// Runs `blocks` whole 64-byte blocks from `data` through SHA-256's compression into `state`.
using digest_blocks = void (*)(uint32_t state[8], const unsigned char* data, size_t blocks);

/// The round constants, shared by both forms.
extern const uint32_t digest_round_constants[64];

void digest_blocks_portable(uint32_t state[8], const unsigned char* data, size_t blocks);

/// The instructions' form when this processor has them (checked here, at run time); null
/// otherwise, and on processors this build has no such form for.
digest_blocks digest_blocks_accelerated();

/// Makes every content_digest from now on use the portable form (true) or the best the
/// processor offers (false, the default), so tests and benchmarks can hold the two against
/// each other. Returns whether this processor has an accelerated form at all.
bool content_digest_use_portable(bool portable);
