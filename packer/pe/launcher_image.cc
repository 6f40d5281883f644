#include "packer/pe/launcher_image.h"

#include <errno.h>
#include <string.h>

#include <algorithm>

#include "base/byte_order.h"
#include "packer/host.h"
#include "packer/names.h"
#include "packer/pack_error.h"
#include "packer/pe/launcher_descriptor.h"
#include "packer/progress.h"

namespace {

// Initialised, readable data: neither code nor writable, so the loader maps it read-only.
constexpr uint32_t read_only_data = 0x40000040;
constexpr size_t appended_sections = 3;
// Past this an image's addresses stop being safe as signed 32-bit offsets, which Windows
// tools and the loader assume.
constexpr uint64_t image_size_max = uint64_t{1} << 31;
// The smallest page of every Windows processor: x64 and ARM64 alike.
constexpr uint64_t page_size = 4096;

uint64_t align_up(uint64_t value, uint64_t alignment) { return (value + alignment - 1) / alignment * alignment; }

void store16(std::string& bytes, size_t at, uint32_t value) {
  store_le16(reinterpret_cast<unsigned char*>(&bytes[at]), static_cast<uint16_t>(value));
}

void store32(std::string& bytes, size_t at, uint32_t value) {
  store_le32(reinterpret_cast<unsigned char*>(&bytes[at]), value);
}

void store64(std::string& bytes, size_t at, uint64_t value) {
  store32(bytes, at, static_cast<uint32_t>(value));
  store32(bytes, at + 4, static_cast<uint32_t>(value >> 32));
}

void write_at(int fd, const std::string& bytes, uint64_t offset) {
  if (!host_write_at(fd, bytes.data(), bytes.size(), offset))
    throw pack_error("cannot write the launcher: " + errno_text(errno));
}

struct new_section {
  const char* name;
  uint64_t rva, virtual_size, offset, raw_size;
};

}  // namespace

launcher_stub check_stub(const unsigned char* data, size_t size, const std::string& display) {
  auto refuse = [&](const std::string& why) { throw pack_error("launcher stub " + quote_name(display) + " " + why); };
  pe_bytes image{data, size};
  launcher_stub stub;
  stub.data = data;
  stub.size = size;
  pe_headers& h = stub.headers;
  if (const char* fault = read_pe_headers(image, &h)) refuse(std::string("is not a launcher stub (") + fault + ")");
  if (h.magic != pe_magic_pe32plus || (h.machine != pe_machine_amd64 && h.machine != pe_machine_arm64) || (h.characteristics & pe_characteristic_dll))
    refuse("is not a 64-bit Windows executable");
  if (h.optional_size < pe_opt_directories + 8 * (pe_dir_security + 1) || !image.has(h.optional, h.optional_size) ||
      image.u32(h.optional + pe_opt_directory_count) <= pe_dir_security)
    refuse("has a truncated optional header");
  std::vector<pe_section> sections;
  if (const char* fault = read_pe_sections(image, h, &sections)) refuse(std::string("has a ") + fault);
  stub.file_alignment = image.u32(h.optional + pe_opt_file_alignment);
  stub.section_alignment = image.u32(h.optional + pe_opt_section_alignment);
  uint32_t fa = stub.file_alignment, sa = stub.section_alignment;
  if (fa < 512 || fa > 65536 || (fa & (fa - 1)) || sa < fa || (sa & (sa - 1)))
    refuse("has alignments no loader accepts");

  const unsigned char* end = data + size;
  const unsigned char* marker = find_stub_marker(data, end);
  if (marker == end || !image.has(static_cast<size_t>(marker - data), sizeof(stub_descriptor)))
    refuse("has no descriptor (is it a launcher stub?)");
  if (find_stub_marker(marker + 1, end) != end) refuse("holds more than one descriptor");
  stub.descriptor = static_cast<size_t>(marker - data);
  const unsigned char* fields = marker + stub_marker_size;
  if (std::any_of(fields, marker + sizeof(stub_descriptor), [](unsigned char b) { return b != 0; }))
    refuse("is already a packed launcher (its descriptor is filled in)");
  if (image.u32(h.optional + pe_opt_directories + 8 * pe_dir_resource) != 0)
    refuse("already carries resources; the packer writes them (link the stub without any)");
  if (image.u32(h.optional + pe_opt_directories + 8 * pe_dir_security + 4) != 0)
    refuse("is signed; sign the packed launcher instead");

  uint64_t raw_end = image.u32(h.optional + pe_opt_size_of_headers), first_raw = UINT64_MAX;
  size_t last = sections.size();  // the section that ends the stub's file, if one does
  for (size_t i = 0; i < sections.size(); ++i) {
    const pe_section& s = sections[i];
    if (s.raw_size == 0) continue;
    if (uint64_t{s.raw_offset} + s.raw_size >= raw_end) {
      raw_end = uint64_t{s.raw_offset} + s.raw_size;
      last = i;
    }
    first_raw = std::min<uint64_t>(first_raw, s.raw_offset);
  }
  // Anything after the sections would sit outside every section, where a signature does not reach.
  if (size > raw_end) refuse("carries data after its last section");
  uint64_t table_end = h.section_table + (h.section_count + appended_sections) * uint64_t{pe_section_header_size};
  if (table_end > image.u32(h.optional + pe_opt_size_of_headers) || table_end > first_raw)
    refuse("has no room for three more section headers");

  // Wine maps a section from the file only where its file offset is a page boundary and
  // copies any other into private memory of every process. The stub's first section is its
  // code, which both processes run: the headers grow to the next page so that the code starts
  // on one (3 KB of file against about 100 KB of memory in each process). Nothing in a stub
  // without a debug directory names a file offset, but the descriptor, which moves along.
  uint64_t lowest_address = UINT64_MAX;
  for (const pe_section& s : sections) lowest_address = std::min<uint64_t>(lowest_address, s.virtual_address);
  uint64_t code_page = align_up(first_raw, page_size);
  bool debug_directory = image.u32(h.optional + pe_opt_directory_count) > pe_dir_debug &&
                         image.u32(h.optional + pe_opt_directories + 8 * pe_dir_debug + 4) != 0;
  if (fa < page_size && sa >= page_size && first_raw < raw_end && first_raw <= size && code_page > first_raw &&
      code_page <= lowest_address && !debug_directory) {
    stub.first_raw = first_raw;
    stub.code_shift = code_page - first_raw;
    for (pe_section& s : sections)
      if (s.raw_size > 0) s.raw_offset += static_cast<uint32_t>(stub.code_shift);
    raw_end += stub.code_shift;
  }
  stub.payload_offset = align_up(raw_end, fa);

  // For the payload a copy would cost its whole size in both processes at each start, so it
  // starts on a page even in a stub linked with the ordinary file alignment, and the stub's
  // last section grows over the gap with zeros: bytes between sections lie outside every
  // section, where a signature does not reach.
  uint64_t page_offset = align_up(raw_end, std::max<uint64_t>(fa, page_size));
  if (page_offset > stub.payload_offset && last < sections.size() && sa >= page_size) {
    pe_section& s = sections[last];
    uint64_t raw = page_offset - s.raw_offset, virtual_size = s.virtual_size;
    // Raw data past the section's rounded virtual size would spill into the next section's
    // addresses; only the section that also ends the image may grow there.
    if (raw > align_up(virtual_size, sa)) virtual_size = raw;
    bool fits = raw <= UINT32_MAX;
    for (const pe_section& other : sections)
      if (&other != &s && other.virtual_address > s.virtual_address &&
          s.virtual_address + align_up(virtual_size, sa) > other.virtual_address)
        fits = false;
    if (fits) {
      stub.grown_section = h.section_table + last * pe_section_header_size;
      s.raw_size = stub.grown_raw_size = static_cast<uint32_t>(raw);
      s.virtual_size = stub.grown_virtual_size = static_cast<uint32_t>(virtual_size);
      stub.payload_offset = page_offset;
    }
  }
  uint64_t virtual_end = 0;
  for (const pe_section& s : sections)
    virtual_end =
        std::max<uint64_t>(virtual_end, s.virtual_address + align_up(std::max(s.virtual_size, s.raw_size), sa));
  stub.payload_rva = static_cast<uint32_t>(align_up(virtual_end, sa));
  return stub;
}

uint64_t write_launcher(const launcher_stub& stub, uint64_t payload_size, const launcher_texts& texts,
                        const std::vector<resource_item>& resources, uint16_t subsystem, int fd,
                        const launcher_cache& cache, const std::string& splash) {
  uint64_t sa = stub.section_alignment;
  // Where the payload starts on a page, every appended section fills whole pages in the file:
  // the loader clears the rest of a section's last page, and writing to a mapped page copies it.
  uint64_t fa = stub.payload_offset % page_size == 0 ? std::max<uint64_t>(stub.file_alignment, page_size)
                                                     : stub.file_alignment;
  // An empty payload still gets a byte, so no section is empty; the descriptor keeps L = 0.
  new_section payload{".payload", stub.payload_rva, std::max<uint64_t>(payload_size, 1), stub.payload_offset, 0};
  payload.raw_size = align_up(payload.virtual_size, fa);

  std::string text_bytes;
  uint32_t text_rva[stub_text_count];
  uint64_t texts_rva = align_up(payload.rva + payload.virtual_size, sa);
  const std::string* values[stub_text_count] = {&texts.company, &texts.product, &texts.file_version,
                                                &texts.product_version};
  for (unsigned i = 0; i < stub_text_count; ++i) {
    text_rva[i] = static_cast<uint32_t>(texts_rva + text_bytes.size());
    // Callers pass text that converted before; anything else would be a bug upstream.
    for (char16_t unit : utf8_to_utf16(*values[i]).value_or(u"")) {
      text_bytes += static_cast<char>(unit & 0xFF);
      text_bytes += static_cast<char>(unit >> 8);
    }
    text_bytes.append(2, '\0');
  }
  uint32_t unpack_dir_rva = 0;
  if (!cache.unpack_dir.empty()) {
    unpack_dir_rva = static_cast<uint32_t>(texts_rva + text_bytes.size());
    for (char16_t unit : utf8_to_utf16(cache.unpack_dir).value_or(u"")) {
      text_bytes += static_cast<char>(unit & 0xFF);
      text_bytes += static_cast<char>(unit >> 8);
    }
    text_bytes.append(2, '\0');
  }
  // The digest table rides in the texts' section: read-only data the launcher finds by address.
  uint32_t digests_rva = 0;
  if (!cache.digest_table.empty()) {
    text_bytes.resize(align_up(text_bytes.size(), 8), '\0');
    digests_rva = static_cast<uint32_t>(texts_rva + text_bytes.size());
    text_bytes += cache.digest_table;
  }
  // So does the splash, aligned for the window's pixel rows.
  uint32_t splash_rva = 0;
  if (!splash.empty()) {
    text_bytes.resize(align_up(text_bytes.size(), 16), '\0');
    splash_rva = static_cast<uint32_t>(texts_rva + text_bytes.size());
    text_bytes += splash;
  }
  new_section text{".texts", texts_rva, text_bytes.size(), payload.offset + payload.raw_size, 0};
  text.raw_size = align_up(text.virtual_size, fa);
  uint64_t resources_rva = align_up(text.rva + text.virtual_size, sa);
  if (resources_rva >= image_size_max)
    throw pack_error("the payload (" + human_bytes(payload_size) +
                     ") is too large for a Windows executable (at most 2 GiB)");
  std::string resource_bytes = resource_section(resources, static_cast<uint32_t>(resources_rva));
  new_section resource{".rsrc", resources_rva, resource_bytes.size(), text.offset + text.raw_size, 0};
  resource.raw_size = align_up(resource.virtual_size, fa);
  uint64_t image_size = align_up(resource.rva + resource.virtual_size, sa);
  uint64_t file_size = resource.offset + resource.raw_size;
  if (image_size >= image_size_max)
    throw pack_error("the payload (" + human_bytes(payload_size) +
                     ") is too large for a Windows executable (at most 2 GiB)");

  const pe_headers& h = stub.headers;
  std::string head(reinterpret_cast<const char*>(stub.data), stub.size);
  if (stub.code_shift) {
    head.insert(stub.first_raw, stub.code_shift, '\0');
    for (size_t i = 0, at = h.section_table; i < h.section_count; ++i, at += pe_section_header_size)
      if (pe_bytes{stub.data, stub.size}.u32(at + 16) != 0)
        store32(head, at + 20, pe_bytes{stub.data, stub.size}.u32(at + 20) + static_cast<uint32_t>(stub.code_shift));
    store32(head, h.optional + pe_opt_size_of_headers, static_cast<uint32_t>(stub.first_raw + stub.code_shift));
  }
  head.resize(stub.payload_offset, '\0');
  store16(head, h.coff + 2, h.section_count + appended_sections);
  store32(head, h.coff + 4, 0);  // no time stamp: the same input gives the same bytes
  size_t at = h.section_table + h.section_count * pe_section_header_size;
  uint64_t initialized = pe_bytes{stub.data, stub.size}.u32(h.optional + pe_opt_size_of_initialized_data);
  if (stub.grown_section) {
    initialized += stub.grown_raw_size - pe_bytes{stub.data, stub.size}.u32(stub.grown_section + 16);
    store32(head, stub.grown_section + 8, stub.grown_virtual_size);
    store32(head, stub.grown_section + 16, stub.grown_raw_size);
  }
  for (const new_section* s : {&payload, &text, &resource}) {
    head.replace(at, 8, std::string(s->name).append(8 - strlen(s->name), '\0'));
    store32(head, at + 8, static_cast<uint32_t>(s->virtual_size));
    store32(head, at + 12, static_cast<uint32_t>(s->rva));
    store32(head, at + 16, static_cast<uint32_t>(s->raw_size));
    store32(head, at + 20, static_cast<uint32_t>(s->offset));
    head.replace(at + 24, 12, std::string(12, '\0'));  // no relocations or line numbers
    store32(head, at + 36, read_only_data);
    initialized += s->raw_size;
    at += pe_section_header_size;
  }
  store32(head, h.optional + pe_opt_size_of_initialized_data,
          static_cast<uint32_t>(std::min<uint64_t>(initialized, UINT32_MAX)));
  store32(head, h.optional + pe_opt_size_of_image, static_cast<uint32_t>(image_size));
  store32(head, h.optional + pe_opt_checksum, 0);
  store16(head, h.optional + pe_opt_subsystem, subsystem);
  store32(head, h.optional + pe_opt_directories + 8 * pe_dir_resource, static_cast<uint32_t>(resource.rva));
  store32(head, h.optional + pe_opt_directories + 8 * pe_dir_resource + 4,
          static_cast<uint32_t>(resource_bytes.size()));
  size_t d = stub.descriptor + (stub.descriptor >= stub.first_raw ? stub.code_shift : 0);
  store64(head, d + offsetof(stub_descriptor, payload_size), payload_size);
  store32(head, d + offsetof(stub_descriptor, payload_rva), static_cast<uint32_t>(payload.rva));
  for (unsigned i = 0; i < stub_text_count; ++i)
    store32(head, d + offsetof(stub_descriptor, text_rva) + 4 * i, text_rva[i]);
  store32(head, d + offsetof(stub_descriptor, mode), cache.mode);
  head.replace(d + offsetof(stub_descriptor, content_key), sizeof cache.content_key,
               reinterpret_cast<const char*>(cache.content_key), sizeof cache.content_key);
  store32(head, d + offsetof(stub_descriptor, digests_rva), digests_rva);
  store32(head, d + offsetof(stub_descriptor, digest_count), cache.digest_count);
  store32(head, d + offsetof(stub_descriptor, unpack_dir_rva), unpack_dir_rva);
  store32(head, d + offsetof(stub_descriptor, splash_rva), splash_rva);

  write_at(fd, head, 0);
  write_at(fd, text_bytes, text.offset);
  write_at(fd, resource_bytes, resource.offset);
  // Section padding and an empty payload's byte read as zeros.
  if (!host_resize(fd, file_size)) throw pack_error("cannot write the launcher: " + errno_text(errno));

  // The checksum covers the payload too, which is only in the file: read it back mapped.
  const unsigned char* map = host_map(fd, file_size);
  if (!map) throw pack_error("cannot read the launcher back for its checksum: " + errno_text(errno));
  pe_checksum sum;
  sum.add(map, file_size);
  host_unmap(map, file_size);
  std::string checksum(4, '\0');
  store32(checksum, 0, sum.finish(file_size));
  write_at(fd, checksum, h.optional + pe_opt_checksum);
  return file_size;
}
