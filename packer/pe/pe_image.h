// PE32+ images as bytes: the headers the packer reads (a main library's exports, a launcher's
// sections) and the few fields it rewrites when it appends sections to the launcher stub.
// Every offset is bounds-checked: any bytes are safe input.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "base/byte_order.h"

/// Offsets into the PE32+ optional header.
constexpr size_t pe_opt_size_of_initialized_data = 8;
constexpr size_t pe_opt_section_alignment = 32;
constexpr size_t pe_opt_file_alignment = 36;
constexpr size_t pe_opt_size_of_image = 56;
constexpr size_t pe_opt_size_of_headers = 60;
constexpr size_t pe_opt_checksum = 64;
constexpr size_t pe_opt_subsystem = 68;
constexpr size_t pe_opt_directory_count = 108;
constexpr size_t pe_opt_directories = 112;
/// Data directory slots.
constexpr unsigned pe_dir_export = 0, pe_dir_resource = 2, pe_dir_security = 4, pe_dir_debug = 6;
constexpr size_t pe_section_header_size = 40;
constexpr uint16_t pe_machine_amd64 = 0x8664, pe_machine_arm64 = 0xAA64;
constexpr uint16_t pe_magic_pe32 = 0x10B, pe_magic_pe32plus = 0x20B;
constexpr uint16_t pe_characteristic_dll = 0x2000;
/// The optional header's Subsystem values the launcher is made with.
constexpr uint16_t pe_subsystem_windows = 2, pe_subsystem_console = 3;

struct pe_bytes {
  const unsigned char* data;
  size_t size;

  bool has(uint64_t offset, uint64_t count) const { return offset <= size && count <= size - offset; }
  uint16_t u16(size_t at) const { return load_le16(data + at); }
  uint32_t u32(size_t at) const { return load_le32(data + at); }
};

struct pe_headers {
  size_t coff = 0;           ///< the COFF file header, right after "PE\0\0"
  size_t optional = 0;       ///< the optional header
  size_t section_table = 0;  ///< optional + its declared size
  uint16_t machine = 0, section_count = 0, optional_size = 0, characteristics = 0, magic = 0;
};

struct pe_section {
  uint32_t virtual_address, virtual_size, raw_offset, raw_size;
};

/// Finds the DOS, PE and COFF headers and the optional header's magic. Returns why `image` is
/// not a PE file, or nullptr.
const char* read_pe_headers(const pe_bytes& image, pe_headers* headers);

/// The Subsystem field of a PE32+ image, or 0 when `image` has none to read.
uint16_t pe_subsystem(const pe_bytes& image);

/// True if `head`, the first bytes of a file of `file_size` bytes (its headers at least), is
/// a PE image (PE32 or PE32+, any machine) whose certificate table, where an Authenticode
/// signature lives, is not empty and ends inside the file.
bool pe_carries_signature(const pe_bytes& head, uint64_t file_size);

/// The section table. Returns why it cannot be read, or nullptr.
const char* read_pe_sections(const pe_bytes& image, const pe_headers& headers, std::vector<pe_section>* sections);

/// File offset of `count` bytes at `rva`, or false when they are not all inside one
/// section's file data.
bool pe_rva_to_offset(const pe_bytes& image, const std::vector<pe_section>& sections, uint32_t rva, uint64_t count,
                      uint64_t* offset);

/// Running state of the PE checksum (16-bit one's-complement-style sum, as linkers compute
/// it), fed in pieces so a large payload need not be held twice.
class pe_checksum {
 public:
  /// Adds the next `size` bytes of the file; pieces come in file order and may split a word.
  void add(const unsigned char* data, size_t size);
  /// The checksum for a file of `file_size` bytes whose checksum field was zero when added.
  uint32_t finish(uint64_t file_size) const;

 private:
  uint64_t sum_ = 0;
  bool odd_ = false;
  unsigned char pending_ = 0;
};
