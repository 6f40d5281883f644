#include "base/sha256.h"

#include <string.h>

#include "base/sha256_blocks.h"

extern const uint32_t sha256_round_constants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

namespace {

inline uint32_t rotate(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

// One round with the eight words in their roles for it: the next round passes them shifted by
// one, so no words move between rounds. Always inlined, or the launcher's size-first build
// would call it 64 times a block.
__attribute__((always_inline)) inline void digest_round(uint32_t a, uint32_t b, uint32_t c, uint32_t& d, uint32_t e,
                                                        uint32_t f, uint32_t g, uint32_t& h, uint32_t k_plus_w) {
  h += (rotate(e, 6) ^ rotate(e, 11) ^ rotate(e, 25)) + (g ^ (e & (f ^ g))) + k_plus_w;
  d += h;
  h += (rotate(a, 2) ^ rotate(a, 13) ^ rotate(a, 22)) + ((a & b) | (c & (a | b)));
}

void compress(uint32_t state[8], const unsigned char* p) {
  uint32_t w[64];
  for (int i = 0; i < 16; ++i)
    w[i] = uint32_t{p[4 * i]} << 24 | uint32_t{p[4 * i + 1]} << 16 | uint32_t{p[4 * i + 2]} << 8 | p[4 * i + 3];
  for (int i = 16; i < 64; ++i) {
    uint32_t s0 = rotate(w[i - 15], 7) ^ rotate(w[i - 15], 18) ^ (w[i - 15] >> 3);
    uint32_t s1 = rotate(w[i - 2], 17) ^ rotate(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4], f = state[5], g = state[6],
           h = state[7];
  const uint32_t* k = sha256_round_constants;
  for (int i = 0; i < 64; i += 8) {
    digest_round(a, b, c, d, e, f, g, h, k[i] + w[i]);
    digest_round(h, a, b, c, d, e, f, g, k[i + 1] + w[i + 1]);
    digest_round(g, h, a, b, c, d, e, f, k[i + 2] + w[i + 2]);
    digest_round(f, g, h, a, b, c, d, e, k[i + 3] + w[i + 3]);
    digest_round(e, f, g, h, a, b, c, d, k[i + 4] + w[i + 4]);
    digest_round(d, e, f, g, h, a, b, c, k[i + 5] + w[i + 5]);
    digest_round(c, d, e, f, g, h, a, b, k[i + 6] + w[i + 6]);
    digest_round(b, c, d, e, f, g, h, a, k[i + 7] + w[i + 7]);
  }
  state[0] += a, state[1] += b, state[2] += c, state[3] += d;
  state[4] += e, state[5] += f, state[6] += g, state[7] += h;
}

// Null until the first block is hashed; every thread picks the same, so a race is harmless.
sha256_blocks g_blocks = nullptr;

sha256_blocks chosen_blocks() {
  sha256_blocks blocks = __atomic_load_n(&g_blocks, __ATOMIC_RELAXED);
  if (!blocks) {
    blocks = sha256_blocks_accelerated();
    if (!blocks) blocks = sha256_blocks_portable;
    __atomic_store_n(&g_blocks, blocks, __ATOMIC_RELAXED);
  }
  return blocks;
}

}  // namespace

void sha256_blocks_portable(uint32_t state[8], const unsigned char* data, size_t blocks) {
  for (; blocks > 0; --blocks, data += 64) compress(state, data);
}

#if !defined(__x86_64__) && !defined(__aarch64__)
sha256_blocks sha256_blocks_accelerated() { return nullptr; }
#endif

bool sha256_use_portable(bool portable) {
  sha256_blocks accelerated = sha256_blocks_accelerated();
  sha256_blocks blocks = portable || !accelerated ? sha256_blocks_portable : accelerated;
  __atomic_store_n(&g_blocks, blocks, __ATOMIC_RELAXED);
  return accelerated != nullptr;
}

sha256::sha256()
    : state{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19} {}

void sha256::add(const void* data, size_t size) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  length += size;
  if (held > 0) {
    size_t take = size < 64 - held ? size : 64 - held;
    memcpy(block + held, p, take);
    held += take, p += take, size -= take;
    if (held < 64) return;
    chosen_blocks()(state, block, 1);
    held = 0;
  }
  if (size >= 64) {
    size_t whole = size / 64;
    chosen_blocks()(state, p, whole);
    p += 64 * whole, size -= 64 * whole;
  }
  if (size > 0) memcpy(block, p, size);  // an empty piece may come without bytes to point at
  held = size;
}

void sha256::finish(unsigned char out[sha256_size]) {
  uint64_t bits = length * 8;
  unsigned char pad[72] = {0x80};
  size_t pad_size = (held < 56 ? 56 : 120) - held;
  for (int i = 0; i < 8; ++i) pad[pad_size + i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
  add(pad, pad_size + 8);
  for (int i = 0; i < 8; ++i) {
    for (int j = 0; j < 4; ++j) out[4 * i + j] = static_cast<unsigned char>(state[i] >> (24 - 8 * j));
  }
}
