// SHA-256 with the x86-64 SHA extensions: four rounds per pair of instructions, and the
// message schedule in three more. Compiled for those instructions function by function, so
// the rest of the program still runs on processors without them.
#include "base/sha256_blocks.h"

#if defined(__x86_64__)

#include <cpuid.h>
#include <immintrin.h>

namespace {

#define SHA256_TARGET __attribute__((target("sha,sse4.1,ssse3")))

// The next four schedule words into m0, from the sixteen before them in m0..m3 (oldest first).
#define SHA256_SCHEDULE(m0, m1, m2, m3) \
  m0 = _mm_sha256msg2_epu32(_mm_add_epi32(_mm_sha256msg1_epu32(m0, m1), _mm_alignr_epi8(m3, m2, 4)), m3)

#define SHA256_ROUNDS(m, group)                                                                          \
  do {                                                                                                   \
    __m128i k = _mm_add_epi32(                                                                           \
        m, _mm_loadu_si128(reinterpret_cast<const __m128i*>(sha256_round_constants + 4 * (group)))); \
    cdgh = _mm_sha256rnds2_epu32(cdgh, abef, k);                                                         \
    abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(k, 0x0E));                                \
  } while (0)

SHA256_TARGET void blocks_with_sha_extensions(uint32_t state[8], const unsigned char* data, size_t blocks) {
  // Words arrive big-endian; the instructions hold the state as ABEF and CDGH.
  const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  __m128i dcba = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0xB1);
  __m128i efgh = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4)), 0x1B);
  __m128i abef = _mm_alignr_epi8(dcba, efgh, 8);
  __m128i cdgh = _mm_blend_epi16(efgh, dcba, 0xF0);
  for (; blocks > 0; --blocks, data += 64) {
    __m128i abef_before = abef, cdgh_before = cdgh;
    const __m128i* in = reinterpret_cast<const __m128i*>(data);
    __m128i m0 = _mm_shuffle_epi8(_mm_loadu_si128(in), byte_swap);
    SHA256_ROUNDS(m0, 0);
    __m128i m1 = _mm_shuffle_epi8(_mm_loadu_si128(in + 1), byte_swap);
    SHA256_ROUNDS(m1, 1);
    __m128i m2 = _mm_shuffle_epi8(_mm_loadu_si128(in + 2), byte_swap);
    SHA256_ROUNDS(m2, 2);
    __m128i m3 = _mm_shuffle_epi8(_mm_loadu_si128(in + 3), byte_swap);
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
    abef = _mm_add_epi32(abef, abef_before);
    cdgh = _mm_add_epi32(cdgh, cdgh_before);
  }
  __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
  __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xF0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}

}  // namespace

sha256_blocks sha256_blocks_accelerated() {
  unsigned a, b, c, d;
  // Leaf 1: SSSE3 (ECX bit 9) and SSE4.1 (bit 19) for the shuffles; leaf 7: SHA (EBX bit 29).
  if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & (1u << 9)) || !(c & (1u << 19))) return nullptr;
  if (!__get_cpuid_count(7, 0, &a, &b, &c, &d) || !(b & (1u << 29))) return nullptr;
  return blocks_with_sha_extensions;
}

#endif
