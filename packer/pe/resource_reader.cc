#include "packer/pe/resource_reader.h"

#include <vector>

namespace {

constexpr uint32_t subdirectory_bit = 0x80000000u;
constexpr size_t directory_header_size = 16, directory_entry_size = 8, data_entry_size = 16;

/// In the directory at `directory` (an offset into the section of `size` bytes at file offset
/// `base`): the target of the entry with numbered id `id`, or of the first numbered entry when
/// `id` is 0. Named entries come first in a directory and are skipped, unless `named_first`
/// asks for the very first entry whatever its name.
std::optional<uint32_t> entry_target(const pe_bytes& image, uint64_t base, uint32_t size, uint32_t directory,
                                     uint32_t id, bool named_first = false) {
  if (directory > size || size - directory < directory_header_size ||
      !image.has(base + directory, directory_header_size))
    return std::nullopt;
  uint32_t named = image.u16(base + directory + 12), numbered = image.u16(base + directory + 14);
  uint64_t first = uint64_t{directory} + directory_header_size;
  uint64_t count = uint64_t{named} + numbered;
  if (first + count * directory_entry_size > size) return std::nullopt;
  for (uint64_t i = id == 0 && named_first ? 0 : named; i < count; ++i) {
    uint64_t entry = base + first + i * directory_entry_size;
    if (id == 0 || image.u32(entry) == id) return image.u32(entry + 4);
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> first_resource(const pe_bytes& image, uint16_t type, bool named_first) {
  return find_resource(image, type, 0, named_first);
}

std::optional<std::string> find_resource(const pe_bytes& image, uint16_t type, uint16_t id, bool named_first) {
  pe_headers headers;
  if (read_pe_headers(image, &headers) || headers.magic != pe_magic_pe32plus) return std::nullopt;
  size_t slot = pe_opt_directories + 8 * pe_dir_resource;
  if (headers.optional_size < slot + 8 || !image.has(headers.optional, headers.optional_size) ||
      image.u32(headers.optional + pe_opt_directory_count) <= pe_dir_resource)
    return std::nullopt;
  uint32_t rva = image.u32(headers.optional + slot), size = image.u32(headers.optional + slot + 4);
  std::vector<pe_section> sections;
  uint64_t base = 0;
  if (rva == 0 || size == 0 || read_pe_sections(image, headers, &sections) ||
      !pe_rva_to_offset(image, sections, rva, size, &base))
    return std::nullopt;
  // Type, then id, then language: the first two levels point at subdirectories, the last at
  // a data entry.
  std::optional<uint32_t> ids = entry_target(image, base, size, 0, type);
  if (!ids || !(*ids & subdirectory_bit)) return std::nullopt;
  std::optional<uint32_t> languages = entry_target(image, base, size, *ids & ~subdirectory_bit, id, named_first);
  if (!languages || !(*languages & subdirectory_bit)) return std::nullopt;
  std::optional<uint32_t> entry = entry_target(image, base, size, *languages & ~subdirectory_bit, 0);
  if (!entry) return std::nullopt;
  uint32_t at = *entry;
  if ((at & subdirectory_bit) || at > size || size - at < data_entry_size) return std::nullopt;
  uint32_t data_rva = image.u32(base + at), data_size = image.u32(base + at + 4);
  uint64_t data = 0;
  if (!pe_rva_to_offset(image, sections, data_rva, data_size, &data)) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(image.data + data), data_size);
}
