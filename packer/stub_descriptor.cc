#include "packer/stub_descriptor.h"

#include <algorithm>
#include <vector>

#include "base/byte_order.h"
#include "packer/pack_error.h"
#include "packer/pe_image.h"

const unsigned char* find_stub_marker(const unsigned char* from, const unsigned char* end) {
  const unsigned char* marker = reinterpret_cast<const unsigned char*>(TAVREN_STUB_MARKER);
  return std::search(from, end, marker, marker + stub_marker_size);
}

namespace {

const unsigned char* find_marker(const unsigned char* from, const unsigned char* end, const char* text) {
  const unsigned char* marker = reinterpret_cast<const unsigned char*>(text);
  return std::search(from, end, marker, marker + stub_marker_size);
}

// The descriptor of this layout or, failing that, of the second one, and its size; null when
// neither is there in full.
const unsigned char* find_descriptor(const unsigned char* file, size_t size, size_t* descriptor_size) {
  const unsigned char* end = file + size;
  const unsigned char* marker = find_stub_marker(file, end);
  *descriptor_size = sizeof(stub_descriptor);
  if (marker == end) {
    marker = find_marker(file, end, TAVREN_STUB_MARKER_V02);
    *descriptor_size = stub_descriptor_v02_size;
  }
  if (marker == end || static_cast<size_t>(end - marker) < *descriptor_size) return nullptr;
  return marker;
}

}  // namespace

launcher_run_mode descriptor_run_mode(const unsigned char* file, size_t size) {
  launcher_run_mode result;
  size_t descriptor_size = 0;
  const unsigned char* marker = find_descriptor(file, size, &descriptor_size);
  if (!marker) return result;
  result.mode = load_le32(marker + offsetof(stub_descriptor, mode));
  std::copy_n(marker + offsetof(stub_descriptor, content_key), sizeof result.content_key, result.content_key);
  if (descriptor_size > offsetof(stub_descriptor, splash_rva))
    result.splash_rva = load_le32(marker + offsetof(stub_descriptor, splash_rva));
  return result;
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
  // The stub's own descriptor comes before anything appended, so the first marker is it. A
  // launcher of an older layout keeps its payload fields where this one has them.
  size_t descriptor_size = 0;
  const unsigned char* marker = find_descriptor(file, size, &descriptor_size);
  if (!marker) {
    marker = find_marker(file, file + size, TAVREN_STUB_MARKER_V01);
    descriptor_size = offsetof(stub_descriptor, mode) + 4;
  }
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
