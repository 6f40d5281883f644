// An update as the difference between two launchers of one product (a .tdelta file): what to
// copy from the old file and which new bytes to put between, so a release that changed little
// downloads little. Whoever applies it rebuilds the new launcher byte for byte, its signature
// included, and checks it against the SHA-256 the delta records.
//   delta  = header, company and product (UTF-16LE units), instructions, literals
//   header = magic (8 bytes), version (u32), processor (u16, the PE machine), company units
//            (u16), product units (u16), a zero u16, base size (u64), base SHA-256, target
//            size (u64), target SHA-256, instruction bytes (u64), literal bytes (u64); all LE
//   instruction = literal length, copy length, copy start as the signed distance from where
//            the previous copy ended (zigzag), each a LEB128 varint: that many literal bytes,
//            then that many bytes of the base from that start
//   literals = the literal bytes of every instruction in order, as Zstandard frames that fill
//            the rest of the file; none when there are no literal bytes
// Portable: the launcher, the packer and the fuzzers share it.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "base/sha256.h"

/// The first bytes of every delta.
constexpr char delta_magic[] = "TVRDELTA";
constexpr size_t delta_magic_size = sizeof delta_magic - 1;
/// The layout this code reads and writes.
constexpr uint32_t delta_version = 1;
/// Bytes of the header before the company's units.
constexpr size_t delta_header_size = 8 + 4 + 2 + 2 + 2 + 2 + 2 * (8 + sha256_size) + 8 + 8;
/// Longest company or product text, in UTF-16 units, a delta may carry.
constexpr size_t delta_text_units_max = 1024;
/// Largest window of the literals' frames: what the launcher decodes it with besides the two files.
constexpr int delta_window_log_max = 23;
/// Longest encoding of one instruction: three varints of at most 10 bytes.
constexpr size_t delta_instruction_size_max = 30;

struct delta_header {
  uint16_t machine;  ///< the processor both launchers are built for (0x8664 x64, 0xAA64 ARM64)
  /// The product both launchers belong to, as UTF-16LE units inside the delta's bytes (any
  /// alignment): compare them with memcmp against little-endian texts.
  const unsigned char* company;
  size_t company_units;
  const unsigned char* product;
  size_t product_units;
  uint64_t base_size, target_size;
  unsigned char base_digest[sha256_size], target_digest[sha256_size];
  const unsigned char* instructions;  ///< inside the delta
  uint64_t instruction_bytes;
  const unsigned char* literals;  ///< the Zstandard frames, inside the delta
  uint64_t literal_frames_bytes;  ///< up to the delta's end
  uint64_t literal_bytes;         ///< what those frames decode to
};

/// Reads and checks a delta's header: the magic, the version, texts, instructions and literals
/// inside `size` bytes. False with a one-line reason for anything malformed. Checks neither
/// the instructions nor the literals: delta_apply does.
bool delta_read_header(const unsigned char* delta, size_t size, delta_header* out, const char** why);

/// Where delta_apply_to hands the target, in order, piece by piece; false stops the apply.
typedef bool (*delta_sink)(void* context, const unsigned char* data, size_t size);

/// Rebuilds the target from `base` and hands it to `sink`, so that a large launcher needs no
/// buffer of its own size. Before the sink sees a byte, checks the base's size and SHA-256
/// and every instruction against both sizes; while it runs, the literals; at the end, the
/// target's SHA-256. False with a one-line reason (the sink's refusal gives "cannot write the
/// target"): what the sink got is then to be thrown away.
bool delta_apply_to(const unsigned char* base, size_t base_size, const unsigned char* delta, size_t delta_size,
                    delta_sink sink, void* context, const char** why);

/// Rebuilds the target from `base` into `out` (capacity at least the header's target size),
/// checking as delta_apply_to does; false with a one-line reason, `out` then meaningless.
bool delta_apply(const unsigned char* base, size_t base_size, const unsigned char* delta, size_t delta_size,
                 unsigned char* out, size_t out_capacity, const char** why);

/// Writes the header and the texts for `header` (its instruction, literal frame and literal
/// byte counts filled in; its pointers ignored, the texts taken from `company` and `product`)
/// to `out`, which holds delta_header_size + 2 * (company_units + product_units) bytes.
/// Returns the bytes written.
size_t delta_write_header(const delta_header& header, const unsigned char* company, const unsigned char* product,
                          unsigned char* out);

/// Writes one instruction to `out` (delta_instruction_size_max bytes) and returns its length.
/// `copy_distance` is the copy's start minus where the previous copy ended (0 at first).
size_t delta_write_instruction(uint64_t literal_length, uint64_t copy_length, int64_t copy_distance,
                               unsigned char* out);
