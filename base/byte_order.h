// Little-endian loads and stores. Everything the project reads or writes byte by byte (the
// payload, PE headers, icons) is little-endian whatever the host, so no code spells out
// shifts of its own. Header-only and portable: the launcher, the packer, the fuzzers and the
// tests all include it.
#pragma once

#include <stdint.h>

/// The 16-bit little-endian value at `at` (any alignment).
inline uint16_t load_le16(const unsigned char* at) { return static_cast<uint16_t>(at[0] | at[1] << 8); }

/// The 32-bit little-endian value at `at` (any alignment).
inline uint32_t load_le32(const unsigned char* at) {
  return static_cast<uint32_t>(load_le16(at)) | static_cast<uint32_t>(load_le16(at + 2)) << 16;
}

/// The 64-bit little-endian value at `at` (any alignment).
inline uint64_t load_le64(const unsigned char* at) {
  return static_cast<uint64_t>(load_le32(at)) | static_cast<uint64_t>(load_le32(at + 4)) << 32;
}

/// Writes `value` as 2 little-endian bytes at `at`.
inline void store_le16(unsigned char* at, uint16_t value) {
  at[0] = static_cast<unsigned char>(value);
  at[1] = static_cast<unsigned char>(value >> 8);
}

/// Writes `value` as 4 little-endian bytes at `at`.
inline void store_le32(unsigned char* at, uint32_t value) {
  store_le16(at, static_cast<uint16_t>(value));
  store_le16(at + 2, static_cast<uint16_t>(value >> 16));
}

/// Writes `value` as 8 little-endian bytes at `at`.
inline void store_le64(unsigned char* at, uint64_t value) {
  store_le32(at, static_cast<uint32_t>(value));
  store_le32(at + 4, static_cast<uint32_t>(value >> 32));
}
