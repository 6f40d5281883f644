// SHA-256 with the ARMv8 SHA-2 instructions: four rounds per pair of instructions, the message
// schedule in two more. This file alone is compiled for them (see base/CMakeLists.txt), and
// runs only where Windows says the processor has them.
#include "base/sha256_blocks.h"

#if defined(__aarch64__)

#include <arm_neon.h>

namespace {

// The next four schedule words into m0, from the sixteen before them in m0..m3 (oldest first).
#define SHA256_SCHEDULE(m0, m1, m2, m3) m0 = vsha256su1q_u32(vsha256su0q_u32(m0, m1), m2, m3)

#define SHA256_ROUNDS(m, group)                                         \
  do {                                                                  \
    uint32x4_t k = vaddq_u32(m, vld1q_u32(sha256_round_constants + 4 * (group))); \
    uint32x4_t abcd_in = abcd;                                          \
    abcd = vsha256hq_u32(abcd, efgh, k);                                \
    efgh = vsha256h2q_u32(efgh, abcd_in, k);                            \
  } while (0)

uint32x4_t load_big_endian(const unsigned char* data) { return vreinterpretq_u32_u8(vrev32q_u8(vld1q_u8(data))); }

void blocks_with_sha2_instructions(uint32_t state[8], const unsigned char* data, size_t blocks) {
  uint32x4_t abcd = vld1q_u32(state), efgh = vld1q_u32(state + 4);
  for (; blocks > 0; --blocks, data += 64) {
    uint32x4_t abcd_before = abcd, efgh_before = efgh;
    uint32x4_t m0 = load_big_endian(data);
    SHA256_ROUNDS(m0, 0);
    uint32x4_t m1 = load_big_endian(data + 16);
    SHA256_ROUNDS(m1, 1);
    uint32x4_t m2 = load_big_endian(data + 32);
    SHA256_ROUNDS(m2, 2);
    uint32x4_t m3 = load_big_endian(data + 48);
    SHA256_ROUNDS(m3, 3);
    for (int group = 4; group < 16; group += 4) {
      SHA256_SCHEDULE(m0, m1, m2, m3);
      SHA256_ROUNDS(m0, group);
      SHA256_SCHEDULE(m1, m2, m3, m0);
      SHA256_ROUNDS(m1, group + 1);
      SHA256_SCHEDULE(m2, m3, m0, m1);
      SHA256_ROUNDS(m2, group + 2);
      SHA256_SCHEDULE(m3, m0, m1, m2);
      SHA256_ROUNDS(m3, group + 3);
    }
    abcd = vaddq_u32(abcd, abcd_before);
    efgh = vaddq_u32(efgh, efgh_before);
  }
  vst1q_u32(state, abcd);
  vst1q_u32(state + 4, efgh);
}

}  // namespace

#if defined(_WIN32)
#include <windows.h>

sha256_blocks sha256_blocks_accelerated() {
  return IsProcessorFeaturePresent(PF_ARM_V8_CRYPTO_INSTRUCTIONS_AVAILABLE) ? blocks_with_sha2_instructions : nullptr;
}
#else
// Only the ARM64 launcher is built for this processor; elsewhere the portable code serves.
sha256_blocks sha256_blocks_accelerated() { return nullptr; }
#endif

#endif
