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

launcher_run_mode descriptor_run_mode(const unsigned char* file, size_t size) {
  launcher_run_mode result;
  const unsigned char* marker = find_stub_marker(file, file + size);
  if (marker == file + size || static_cast<size_t>(file + size - marker) < sizeof(stub_descriptor)) return result;
  result.mode = load_le32(marker + offsetof(stub_descriptor, mode));
  std::copy_n(marker + offsetof(stub_descriptor, content_key), sizeof result.content_key, result.content_key);
  return result;
}

bool descriptor_payload(const unsigned char* file, size_t size, uint64_t* offset, uint64_t* length) {
  pe_bytes image{file, size};
  pe_headers headers;
  std::vector<pe_section> sections;
  if (read_pe_headers(image, &headers) || read_pe_sections(image, headers, &sections)) return false;
  // The stub's own descriptor comes before anything appended, so the first marker is it. A
  // launcher of the first layout keeps its payload fields where this one has them.
  const unsigned char* marker = find_stub_marker(file, file + size);
  size_t descriptor_size = sizeof(stub_descriptor);
  if (marker == file + size) {
    const unsigned char* first = reinterpret_cast<const unsigned char*>(TAVREN_STUB_MARKER_V01);
    marker = std::search(file, file + size, first, first + stub_marker_size);
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
