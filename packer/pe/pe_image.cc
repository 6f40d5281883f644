#include "packer/pe/pe_image.h"

#include <string.h>

// Beyond this a table is damage, not an image; the loader itself refuses more.
constexpr size_t section_count_max = 96;

const char* read_pe_headers(const pe_bytes& image, pe_headers* headers) {
  if (!image.has(0, 64) || image.data[0] != 'M' || image.data[1] != 'Z')
    return "not a Windows executable file (no MZ header)";
  uint32_t pe = image.u32(0x3C);
  if (!image.has(pe, 24) || memcmp(image.data + pe, "PE\0\0", 4) != 0) return "not a PE file (no PE signature)";
  headers->coff = pe + 4;
  headers->machine = image.u16(headers->coff);
  headers->section_count = image.u16(headers->coff + 2);
  headers->optional_size = image.u16(headers->coff + 16);
  headers->characteristics = image.u16(headers->coff + 18);
  headers->optional = headers->coff + 20;
  headers->section_table = headers->optional + headers->optional_size;
  if (!image.has(headers->optional, 2)) return "truncated PE header";
  headers->magic = image.u16(headers->optional);
  return nullptr;
}

uint16_t pe_subsystem(const pe_bytes& image) {
  pe_headers h;
  if (read_pe_headers(image, &h) || h.magic != pe_magic_pe32plus || h.optional_size < pe_opt_subsystem + 2 ||
      !image.has(h.optional, pe_opt_subsystem + 2))
    return 0;
  return image.u16(h.optional + pe_opt_subsystem);
}

bool pe_carries_signature(const pe_bytes& head, uint64_t file_size) {
  pe_headers h;
  if (read_pe_headers(head, &h)) return false;
  // The data directories follow the fixed fields, which PE32+ makes 16 bytes longer.
  size_t directories = h.magic == pe_magic_pe32plus ? pe_opt_directories : h.magic == pe_magic_pe32 ? 96 : 0;
  size_t entry = directories + 8 * pe_dir_security;
  if (directories == 0 || h.optional_size < entry + 8 || !head.has(h.optional + entry, 8)) return false;
  uint64_t offset = head.u32(h.optional + entry), size = head.u32(h.optional + entry + 4);
  return size != 0 && offset != 0 && offset + size <= file_size;
}

const char* read_pe_sections(const pe_bytes& image, const pe_headers& headers, std::vector<pe_section>* sections) {
  if (!image.has(headers.section_table, uint64_t{headers.section_count} * pe_section_header_size))
    return "truncated section table";
  if (headers.section_count > section_count_max) return "too many sections";
  sections->clear();
  for (size_t i = 0; i < headers.section_count; ++i) {
    size_t at = headers.section_table + i * pe_section_header_size;
    sections->push_back({image.u32(at + 12), image.u32(at + 8), image.u32(at + 20), image.u32(at + 16)});
  }
  return nullptr;
}

bool pe_rva_to_offset(const pe_bytes& image, const std::vector<pe_section>& sections, uint32_t rva, uint64_t count,
                      uint64_t* offset) {
  for (const pe_section& s : sections) {
    uint64_t span = s.virtual_size > s.raw_size ? s.raw_size : s.virtual_size;
    if (span == 0) span = s.raw_size;
    if (rva >= s.virtual_address && rva - s.virtual_address < span && count <= span - (rva - s.virtual_address)) {
      *offset = static_cast<uint64_t>(s.raw_offset) + (rva - s.virtual_address);
      return image.has(*offset, count);
    }
  }
  return false;
}

void pe_checksum::add(const unsigned char* data, size_t size) {
  size_t i = 0;
  if (odd_ && size > 0) {
    sum_ += static_cast<uint64_t>(pending_) | static_cast<uint64_t>(data[0]) << 8;
    odd_ = false;
    i = 1;
  }
  uint64_t sum = sum_;
  for (; i + 1 < size; i += 2) sum += static_cast<uint64_t>(data[i]) | static_cast<uint64_t>(data[i + 1]) << 8;
  // 64 bits hold 2^48 words before carries could be lost; the fold happens at the end.
  sum_ = sum;
  if (i < size) {
    pending_ = data[i];
    odd_ = true;
  }
}

uint32_t pe_checksum::finish(uint64_t file_size) const {
  uint64_t sum = sum_ + (odd_ ? pending_ : 0);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint32_t>(sum + file_size);
}
