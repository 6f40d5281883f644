#include "packer/pe/launcher_descriptor.h"

#include <algorithm>
#include <vector>

#include "base/byte_order.h"
#include "packer/pack_error.h"
#include "packer/pe/pe_image.h"

const unsigned char* find_stub_marker(const unsigned char* from, const unsigned char* end) {
  const unsigned char* marker = reinterpret_cast<const unsigned char*>(TAVREN_STUB_MARKER);
  return std::search(from, end, marker, marker + stub_marker_size);
}

namespace {

// The descriptor of any layout this packer reads, and its size; `file + size` when none. The
// stub's own descriptor comes before anything appended, so the first marker is it.
const unsigned char* find_any_descriptor(const unsigned char* file, size_t size, size_t* descriptor_size) {
  struct layout {
    const char* marker;
    size_t size;
  };
  // The first layout keeps its payload fields where the later ones have them.
  const layout layouts[] = {{TAVREN_STUB_MARKER, sizeof(stub_descriptor)},
                            {TAVREN_STUB_MARKER_V02, stub_descriptor_v02_size},
                            {TAVREN_STUB_MARKER_V01, offsetof(stub_descriptor, mode) + 4}};
  for (const layout& l : layouts) {
    const unsigned char* marker = reinterpret_cast<const unsigned char*>(l.marker);
    const unsigned char* found = std::search(file, file + size, marker, marker + stub_marker_size);
    if (found != file + size && static_cast<size_t>(file + size - found) >= l.size) {
      *descriptor_size = l.size;
      return found;
    }
  }
  return file + size;
}

}  // namespace

launcher_run_mode descriptor_run_mode(const unsigned char* file, size_t size) {
  launcher_run_mode result;
  size_t descriptor_size = 0;
  const unsigned char* marker = find_any_descriptor(file, size, &descriptor_size);
  if (marker == file + size || descriptor_size < stub_descriptor_v02_size) return result;
  result.mode = load_le32(marker + offsetof(stub_descriptor, mode));
  std::copy_n(marker + offsetof(stub_descriptor, content_key), sizeof result.content_key, result.content_key);
  if (descriptor_size > offsetof(stub_descriptor, splash_rva))
    result.splash_rva = load_le32(marker + offsetof(stub_descriptor, splash_rva));
  return result;
}

std::optional<std::u16string> descriptor_unpack_dir(const unsigned char* file, size_t size) {
  size_t descriptor_size = 0;
  const unsigned char* marker = find_any_descriptor(file, size, &descriptor_size);
  if (marker == file + size || descriptor_size < sizeof(stub_descriptor)) return std::nullopt;
  uint32_t rva = load_le32(marker + offsetof(stub_descriptor, unpack_dir_rva));
  if (rva == 0) return std::nullopt;
  pe_bytes image{file, size};
  pe_headers headers;
  std::vector<pe_section> sections;
  uint64_t offset = 0;
  if (read_pe_headers(image, &headers) || read_pe_sections(image, headers, &sections) ||
      !pe_rva_to_offset(image, sections, rva, 2, &offset))
    throw pack_error("the launcher's descriptor places its unpack folder outside the file");
  std::u16string text;
  for (uint64_t at = offset; at + 2 <= size; at += 2) {
    char16_t unit = static_cast<char16_t>(file[at] | file[at + 1] << 8);
    if (unit == 0) return text;
    text += unit;
  }
  throw pack_error("the launcher's unpack folder has no end");
}

bool descriptor_splash(const unsigned char* file, size_t size, launcher_splash* splash) {
  uint32_t rva = descriptor_run_mode(file, size).splash_rva;
  pe_bytes image{file, size};
  pe_headers headers;
  std::vector<pe_section> sections;
  uint64_t offset = 0;
  if (rva == 0 || read_pe_headers(image, &headers) || read_pe_sections(image, headers, &sections) ||
      !pe_rva_to_offset(image, sections, rva, stub_splash_header_size, &offset))
    return false;
  const unsigned char* header = file + offset;
  *splash = {load_le32(header), load_le32(header + 4), load_le32(header + 8)};
  return true;
}

bool descriptor_payload(const unsigned char* file, size_t size, uint64_t* offset, uint64_t* length) {
  pe_bytes image{file, size};
  pe_headers headers;
  std::vector<pe_section> sections;
  if (read_pe_headers(image, &headers) || read_pe_sections(image, headers, &sections)) return false;
  size_t descriptor_size = 0;
  const unsigned char* marker = find_any_descriptor(file, size, &descriptor_size);
  size_t at = static_cast<size_t>(marker - file);
  if (marker == file + size || !image.has(at, descriptor_size)) return false;
  uint64_t value = load_le64(marker + offsetof(stub_descriptor, payload_size));
  if (value == 0) throw pack_error("a launcher stub with no payload (its descriptor was never filled in)");
  uint32_t rva = image.u32(at + offsetof(stub_descriptor, payload_rva));
  if (!pe_rva_to_offset(image, sections, rva, value, offset))
    throw pack_error("the launcher's descriptor places its payload outside the file");
  *length = value;
  return true;
}
