#include "packer/pe_exports.h"

#include <stdint.h>
#include <string.h>

#include "base/byte_order.h"

namespace {

constexpr uint16_t machine_amd64 = 0x8664;
constexpr uint16_t characteristic_dll = 0x2000;
constexpr uint16_t optional_magic_pe32plus = 0x20B;
constexpr uint16_t optional_magic_pe32 = 0x10B;

struct image_view {
  const unsigned char* bytes;
  size_t size;

  bool has(uint64_t offset, uint64_t count) const {
    return offset <= size && count <= size - offset;
  }
  uint16_t u16(size_t at) const { return load_le16(bytes + at); }
  uint32_t u32(size_t at) const { return load_le32(bytes + at); }
};

struct section {
  uint32_t virtual_address, virtual_size, raw_offset, raw_size;
};

/// File offset of `count` bytes at `rva`, or false when they are not all inside one section's
/// file data.
bool rva_to_offset(const image_view& image, const section* sections, size_t section_count,
                   uint32_t rva, uint64_t count, uint64_t* offset) {
  for (size_t i = 0; i < section_count; ++i) {
    const section& s = sections[i];
    uint64_t span = s.virtual_size > s.raw_size ? s.raw_size : s.virtual_size;
    if (span == 0) span = s.raw_size;
    if (rva >= s.virtual_address && rva - s.virtual_address < span &&
        count <= span - (rva - s.virtual_address)) {
      *offset = static_cast<uint64_t>(s.raw_offset) + (rva - s.virtual_address);
      return image.has(*offset, count);
    }
  }
  return false;
}

}  // namespace

const char* main_library_fault(const unsigned char* bytes, size_t size) {
  image_view image{bytes, size};
  if (!image.has(0, 64) || bytes[0] != 'M' || bytes[1] != 'Z') return "not a Windows executable file (no MZ header)";
  uint32_t pe = image.u32(0x3C);
  if (!image.has(pe, 24) || memcmp(bytes + pe, "PE\0\0", 4) != 0) return "not a PE file (no PE signature)";
  size_t coff = pe + 4;
  uint16_t machine = image.u16(coff);
  uint16_t section_count = image.u16(coff + 2);
  uint16_t optional_size = image.u16(coff + 16);
  uint16_t characteristics = image.u16(coff + 18);
  size_t optional = coff + 20;
  if (!image.has(optional, 2)) return "truncated PE header";
  uint16_t magic = image.u16(optional);
  if (magic == optional_magic_pe32) return "a 32-bit (PE32) image; the launcher loads only 64-bit DLLs";
  if (magic != optional_magic_pe32plus) return "not a PE32+ image";
  if (machine != machine_amd64) return "not built for x86-64";
  if (!(characteristics & characteristic_dll)) return "an executable, not a DLL";
  // PE32+ optional header: NumberOfRvaAndSizes at 108, the export directory right after.
  if (optional_size < 112 + 8 || !image.has(optional, optional_size)) return "truncated PE optional header";
  uint32_t directory_count = image.u32(optional + 108);
  if (directory_count < 1) return "has no export table";
  uint32_t export_rva = image.u32(optional + 112);
  uint32_t export_size = image.u32(optional + 116);
  if (export_rva == 0 || export_size == 0) return "has no export table";

  size_t table = optional + optional_size;
  if (!image.has(table, static_cast<uint64_t>(section_count) * 40)) return "truncated section table";
  section sections[96];
  if (section_count > sizeof sections / sizeof sections[0]) return "too many sections";
  for (size_t i = 0; i < section_count; ++i) {
    size_t at = table + i * 40;
    sections[i] = {image.u32(at + 12), image.u32(at + 8), image.u32(at + 20), image.u32(at + 16)};
  }

  uint64_t directory;
  if (!rva_to_offset(image, sections, section_count, export_rva, 40, &directory))
    return "export table lies outside the file";
  uint32_t name_count = image.u32(directory + 24);
  uint32_t names_rva = image.u32(directory + 32);
  uint64_t names;
  if (name_count == 0) return "exports nothing by name (run_code missing)";
  if (!rva_to_offset(image, sections, section_count, names_rva, uint64_t{name_count} * 4, &names))
    return "export name table lies outside the file";
  constexpr size_t wanted = sizeof main_library_export;  // the zero included
  for (uint32_t i = 0; i < name_count; ++i) {
    uint32_t name_rva = image.u32(names + uint64_t{i} * 4);
    uint64_t name;
    if (rva_to_offset(image, sections, section_count, name_rva, wanted, &name) &&
        memcmp(bytes + name, main_library_export, wanted) == 0)
      return nullptr;
  }
  return "does not export run_code";
}
