#include "packer/delta_writer.h"

#include <string.h>

#include <algorithm>
#include <thread>

#include <zstd.h>

#include "base/byte_order.h"
#include "formats/delta.h"
#include "packer/pack_error.h"

namespace {

constexpr uint64_t hash_factor = 0x100000001B3ull;
// Bytes that must agree, after a copy, for the bytes at the same distance further on to be
// taken as the copy's continuation rather than as literals: an edit inside a stretch (a
// timestamp, a checksum, an offset) then costs only its own bytes.
constexpr size_t continuation_least = 12;

// A block of the base, as the table holds it: its index and a second hash to tell blocks
// that share a slot apart without reading them.
struct slot {
  uint32_t block = 0;  // index + 1; 0: empty
  uint32_t check = 0;
};

uint64_t mix(uint64_t h) {
  h ^= h >> 31;
  h *= 0x9E3779B97F4A7C15ull;
  return h ^ (h >> 29);
}

class base_index {
 public:
  base_index(const unsigned char* base, size_t size) : base_(base), size_(size) {
    // Blocks of the base are indexed; the table stays within a few times 2^22 entries for
    // launchers of hundreds of megabytes, and a match of two blocks' length is always found.
    block_ = 16;
    while (size_ / block_ > (size_t{4} << 20)) block_ *= 2;
    size_t blocks = size_ / block_;
    bits_ = 10;
    while ((size_t{1} << bits_) < blocks * 2) ++bits_;
    table_.assign(size_t{1} << bits_, slot{});
    power_ = 1;
    for (size_t i = 1; i < block_; ++i) power_ *= hash_factor;
    for (size_t b = 0; b < blocks; ++b) {
      uint64_t h = hash(base_ + b * block_);
      slot& s = table_[slot_of(h)];
      if (s.block == 0) s = {static_cast<uint32_t>(b + 1), check_of(h)};  // the first block keeps its slot
    }
  }

  size_t block() const { return block_; }
  uint64_t hash(const unsigned char* at) const {
    uint64_t h = 0;
    for (size_t i = 0; i < block_; ++i) h = h * hash_factor + at[i];
    return h;
  }
  uint64_t roll(uint64_t h, unsigned char out, unsigned char in) const { return (h - out * power_) * hash_factor + in; }

  /// The base offset of a block whose hash is `h`, or false.
  bool find(uint64_t h, size_t* offset) const {
    const slot& s = table_[slot_of(h)];
    if (s.block == 0 || s.check != check_of(h)) return false;
    *offset = (s.block - 1) * block_;
    return true;
  }

 private:
  size_t slot_of(uint64_t h) const { return static_cast<size_t>(mix(h) >> (64 - bits_)); }
  static uint32_t check_of(uint64_t h) { return static_cast<uint32_t>(mix(h ^ 0x5bd1e995) >> 32); }

  const unsigned char* base_;
  size_t size_;
  size_t block_;
  unsigned bits_;
  uint64_t power_;
  std::vector<slot> table_;
};

struct delta_builder {
  std::vector<unsigned char> instructions;
  std::vector<unsigned char> literals;
  uint64_t copy_end = 0;
  delta_figures figures;

  void emit(const unsigned char* literal, size_t literal_length, uint64_t copy_start, uint64_t copy_length) {
    unsigned char encoded[delta_instruction_size_max];
    int64_t distance = static_cast<int64_t>(copy_start) - static_cast<int64_t>(copy_end);
    size_t n = delta_write_instruction(literal_length, copy_length, distance, encoded);
    instructions.insert(instructions.end(), encoded, encoded + n);
    literals.insert(literals.end(), literal, literal + literal_length);
    copy_end = copy_start + copy_length;
    figures.copied += copy_length;
    figures.literal += literal_length;
    ++figures.instructions;
  }
};

size_t common_length(const unsigned char* a, const unsigned char* b, size_t limit) {
  size_t n = 0;
  while (n < limit && a[n] == b[n]) ++n;
  return n;
}

void find_copies(const unsigned char* base, size_t base_size, const unsigned char* target, size_t target_size,
                 delta_builder* out) {
  base_index index(base, base_size);
  const size_t block = index.block();
  size_t literal_from = 0;  // the first target byte no instruction covers yet
  size_t at = 0;
  // Where the last copy ended, in the target and in the base: the continuation's origin (at
  // first both files' starts, which launchers of one product share).
  size_t copy_end_target = 0, copy_end_base = 0;
  bool hashed = false;
  uint64_t h = 0;
  auto take = [&](size_t target_at, size_t base_at, size_t length) {
    out->emit(target + literal_from, target_at - literal_from, base_at, length);
    at = literal_from = copy_end_target = target_at + length;
    copy_end_base = base_at + length;
    hashed = false;
  };
  while (at < target_size) {
    // An edit in place: the bytes as far past the last copy as `at` is agree again.
    size_t continued = copy_end_base + (at - copy_end_target);
    if (continued < base_size && base[continued] == target[at]) {
      size_t limit = std::min(base_size - continued, target_size - at);
      if (common_length(base + continued, target + at, std::min(continuation_least, limit)) == continuation_least) {
        take(at, continued, common_length(base + continued, target + at, limit));
        continue;
      }
    }
    if (base_size < block || target_size - at < block) {
      ++at;
      continue;
    }
    h = hashed ? index.roll(h, target[at - 1], target[at + block - 1]) : index.hash(target + at);
    hashed = true;
    size_t found;
    if (index.find(h, &found) && memcmp(base + found, target + at, block) == 0) {
      // Grow the match backwards into the pending literals, then forwards.
      size_t back = 0;
      while (at - back > literal_from && found - back > 0 && base[found - back - 1] == target[at - back - 1]) ++back;
      size_t length = back + block +
                      common_length(base + found + block, target + at + block,
                                    std::min(base_size - found - block, target_size - at - block));
      take(at - back, found - back, length);
      continue;
    }
    ++at;
  }
  if (literal_from < target_size || out->figures.instructions == 0)
    out->emit(target + literal_from, target_size - literal_from, out->copy_end, 0);
}

std::vector<unsigned char> compress_literals(const std::vector<unsigned char>& literals, int level, int threads) {
  std::vector<unsigned char> out;
  if (literals.empty()) return out;
  ZSTD_CCtx* context = ZSTD_createCCtx();
  if (!context) throw pack_error("out of memory for the compression context");
  auto check = [&](size_t result, const char* what) {
    if (ZSTD_isError(result)) {
      ZSTD_freeCCtx(context);
      throw pack_error(std::string("compression failed (") + what + "): " + ZSTD_getErrorName(result));
    }
  };
  int workers = threads > 0 ? threads : static_cast<int>(std::thread::hardware_concurrency());
  check(ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, level), "level");
  check(ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, delta_window_log_max), "window log");
  check(ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 1), "checksum");
  // Always at least one worker: the output then depends on the inputs alone, not on the machine.
  check(ZSTD_CCtx_setParameter(context, ZSTD_c_nbWorkers, std::max(workers, 1)), "threads");
  out.resize(ZSTD_compressBound(literals.size()));
  size_t written = ZSTD_compress2(context, out.data(), out.size(), literals.data(), literals.size());
  check(written, "literals");
  ZSTD_freeCCtx(context);
  out.resize(written);
  return out;
}

}  // namespace

std::vector<unsigned char> make_delta(const unsigned char* base, size_t base_size, const unsigned char* target,
                                      size_t target_size, const delta_identity& identity, int level, int threads,
                                      delta_figures* figures) {
  if (identity.company.size() > delta_text_units_max || identity.product.size() > delta_text_units_max)
    throw pack_error("the company or product name is too long for a delta");
  delta_builder builder;
  find_copies(base, base_size, target, target_size, &builder);
  std::vector<unsigned char> frames = compress_literals(builder.literals, level, threads);

  delta_header header{};
  header.machine = identity.machine;
  header.company_units = identity.company.size();
  header.product_units = identity.product.size();
  header.base_size = base_size;
  header.target_size = target_size;
  sha256 digest;
  digest.add(base, base_size);
  digest.finish(header.base_digest);
  sha256 target_digest;
  target_digest.add(target, target_size);
  target_digest.finish(header.target_digest);
  header.instruction_bytes = builder.instructions.size();
  header.literal_bytes = builder.literals.size();

  auto units = [](const std::u16string& text) {
    std::vector<unsigned char> bytes(2 * text.size());
    for (size_t i = 0; i < text.size(); ++i) store_le16(&bytes[2 * i], text[i]);
    return bytes;
  };
  std::vector<unsigned char> company = units(identity.company), product = units(identity.product);
  std::vector<unsigned char> delta(delta_header_size + company.size() + product.size());
  delta_write_header(header, company.data(), product.data(), delta.data());
  delta.insert(delta.end(), builder.instructions.begin(), builder.instructions.end());
  delta.insert(delta.end(), frames.begin(), frames.end());
  if (figures) *figures = builder.figures;
  return delta;
}
