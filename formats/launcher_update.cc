#include "formats/launcher_update.h"

#include <string.h>

#include "base/byte_order.h"
#include "base/sha256.h"

namespace {

constexpr size_t section_header_size = 40;
constexpr size_t optional_checksum = 64, optional_directory_count = 108, optional_directories = 112;
constexpr unsigned security_directory = 4;

bool has(size_t size, uint64_t offset, uint64_t count) { return offset <= size && count <= size - offset; }

struct section_table {
  const unsigned char* file;
  size_t size;
  size_t at;  ///< the first section header
  unsigned count;

  // Where `rva` lies in the file and how many bytes of its section's file data follow it.
  bool locate(uint64_t rva, size_t* offset, uint64_t* available) const {
    for (unsigned i = 0; i < count; ++i) {
      const unsigned char* h = file + at + i * section_header_size;
      uint64_t address = load_le32(h + 12), raw_size = load_le32(h + 16), raw_offset = load_le32(h + 20);
      if (rva < address || rva - address >= raw_size) continue;
      uint64_t inside = raw_offset + (rva - address);
      if (inside >= size) return false;
      *offset = static_cast<size_t>(inside);
      *available = raw_size - (rva - address) < size - inside ? raw_size - (rva - address) : size - inside;
      return true;
    }
    return false;
  }

  // The file offset of `length` bytes at `rva`, when they all lie in one section's file data.
  bool offset_of(uint64_t rva, uint64_t length, size_t* offset) const {
    uint64_t available = 0;
    return locate(rva, offset, &available) && length <= available;
  }

  // True when file bytes [offset, offset + length) lie in one section's file data, after the
  // section table.
  bool holds(size_t offset, size_t length) const {
    for (unsigned i = 0; i < count; ++i) {
      const unsigned char* h = file + at + i * section_header_size;
      uint64_t raw_size = load_le32(h + 16), raw_offset = load_le32(h + 20);
      if (raw_offset >= at + uint64_t{count} * section_header_size && offset >= raw_offset &&
          offset - raw_offset < raw_size && length <= raw_size - (offset - raw_offset))
        return true;
    }
    return false;
  }

  // The zero-terminated UTF-16LE text at `rva`, bounded by its section's file data; an rva of
  // zero is the empty text.
  bool text(uint32_t rva, launcher_text* text) const {
    *text = {};
    if (rva == 0) return true;
    size_t offset = 0;
    uint64_t available = 0;
    if (!locate(rva, &offset, &available)) return false;
    for (size_t units = 0; 2 * units + 2 <= available; ++units) {
      const unsigned char* unit = file + offset + 2 * units;
      if (unit[0] == 0 && unit[1] == 0) {
        *text = {file + offset, units};
        return true;
      }
    }
    return false;
  }
};

// The marker in two pieces: the launcher links this reader, and the marker spelled whole would
// be a second marker in the launcher's own file, where the packer wants exactly one.
constexpr char marker_head[] = "TAVREN-STUB-";
constexpr char marker_tail[] = "V04";
constexpr bool spells_marker() {
  const char whole[] = TAVREN_STUB_MARKER;
  for (size_t i = 0; i < stub_marker_size; ++i)
    if (whole[i] != (i < sizeof marker_head - 1 ? marker_head[i] : marker_tail[i - (sizeof marker_head - 1)]))
      return false;
  return sizeof marker_head - 1 + sizeof marker_tail == stub_marker_size;
}
static_assert(spells_marker(), "the pieces spell the current marker");

const unsigned char* find_marker(const unsigned char* from, const unsigned char* end) {
  constexpr size_t head = sizeof marker_head - 1;
  for (; static_cast<size_t>(end - from) >= stub_marker_size; ++from) {
    from = static_cast<const unsigned char*>(memchr(from, marker_head[0], static_cast<size_t>(end - from)));
    if (!from || static_cast<size_t>(end - from) < stub_marker_size) return end;
    if (memcmp(from, marker_head, head) == 0 && memcmp(from + head, marker_tail, sizeof marker_tail) == 0) return from;
  }
  return end;
}

}  // namespace

const char* read_launcher_update_facts(const unsigned char* file, size_t size, launcher_update_facts* facts) {
  *facts = {};
  if (!has(size, 0, 64) || file[0] != 'M' || file[1] != 'Z') return "it is not a Windows executable";
  uint32_t pe = load_le32(file + 0x3c);
  if (!has(size, pe, 24) || memcmp(file + pe, "PE\0\0", 4) != 0) return "it is not a Windows executable";
  size_t coff = pe + 4;
  facts->machine = load_le16(file + coff);
  unsigned sections = load_le16(file + coff + 2);
  size_t optional = coff + 20, optional_size = load_le16(file + coff + 16);
  if (!has(size, optional, optional_size) || optional_size < optional_directories + 8 * (security_directory + 1) ||
      load_le16(file + optional) != 0x20B ||
      load_le32(file + optional + optional_directory_count) <= security_directory)
    return "it is not a 64-bit Windows executable";
  section_table table{file, size, optional + optional_size, sections};
  if (!has(size, table.at, uint64_t{sections} * section_header_size)) return "its section table is cut short";
  facts->checksum_at = optional + optional_checksum;
  facts->security_at = optional + optional_directories + 8 * security_directory;
  uint32_t table_offset = load_le32(file + facts->security_at), table_size = load_le32(file + facts->security_at + 4);
  facts->signed_end = size;
  if (table_size != 0) {
    // Anything after the certificate table would be covered by neither signature.
    if (uint64_t{table_offset} + table_size != size) return "it carries data after its certificate table";
    facts->signed_end = table_offset;
  }

  // The stub's own descriptor lies in its read-only data, before anything the packer appends,
  // so the first marker is it; one inside the payload (a launcher packed as a file) comes later.
  const unsigned char* end = file + facts->signed_end;
  const unsigned char* marker = find_marker(file, end);
  if (marker == end || !has(facts->signed_end, static_cast<size_t>(marker - file), sizeof(stub_descriptor)))
    return "it is no launcher that takes updates (no descriptor of this kind)";
  const unsigned char* d = marker;
  facts->descriptor_offset = static_cast<size_t>(marker - file);
  // The digest skips the header fields before the descriptor's slot: it must come after them.
  if (!table.holds(facts->descriptor_offset, sizeof(stub_descriptor)))
    return "its descriptor lies outside its sections";
  uint64_t payload_size = load_le64(d + offsetof(stub_descriptor, payload_size));
  size_t payload = 0;
  if (payload_size == 0 ||
      !table.offset_of(load_le32(d + offsetof(stub_descriptor, payload_rva)), payload_size, &payload))
    return "its descriptor places its payload outside the file";
  if (facts->descriptor_offset >= payload && facts->descriptor_offset - payload < payload_size)
    return "its descriptor lies inside its payload";
  const unsigned char* text_rva = d + offsetof(stub_descriptor, text_rva);
  if (!table.text(load_le32(text_rva + 4 * stub_company), &facts->company) ||
      !table.text(load_le32(text_rva + 4 * stub_product), &facts->product) ||
      !table.text(load_le32(text_rva + 4 * stub_file_version), &facts->file_version))
    return "its descriptor places a build text outside the file";
  facts->version_known = read_four_part_version(facts->file_version, &facts->version);
  facts->policy = load_le32(d + offsetof(stub_descriptor, update_policy));
  facts->is_signed = load_le32(d + offsetof(stub_descriptor, update_signed)) == 1;
  facts->key = d + offsetof(stub_descriptor, update_key);
  facts->signature = d + offsetof(stub_descriptor, update_signature);
  return nullptr;
}

void launcher_update_digest(const unsigned char* file, const launcher_update_facts& facts,
                            unsigned char digest[update_digest_size]) {
  struct hole {
    size_t at, size;
  };
  size_t slot = facts.descriptor_offset + offsetof(stub_descriptor, update_signed);
  // In file order: the optional header comes before any section's data.
  const hole holes[] = {{facts.checksum_at, 4},
                        {facts.security_at, 8},
                        {slot, sizeof(stub_descriptor) - offsetof(stub_descriptor, update_signed)}};
  static const unsigned char zeros[sizeof(stub_descriptor)] = {};
  static const char context[] = "tavren update signature v1";
  sha256 sha;
  sha.add(context, sizeof context);
  size_t at = 0;
  for (const hole& h : holes) {
    sha.add(file + at, h.at - at);
    sha.add(zeros, h.size);
    at = h.at + h.size;
  }
  sha.add(file + at, facts.signed_end - at);
  sha.finish(digest);
}

bool read_four_part_version(const launcher_text& text, uint64_t* version) {
  uint64_t result = 0;
  size_t at = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (at >= text.count || load_le16(text.units + 2 * at) != '.') return false;
      ++at;
    }
    uint32_t value = 0;
    size_t digits = 0;
    for (; at < text.count; ++at, ++digits) {
      uint16_t unit = load_le16(text.units + 2 * at);
      if (unit < '0' || unit > '9') break;
      value = value * 10 + (unit - '0');
      if (value > 65535) return false;
    }
    if (digits == 0) return false;
    result = result << 16 | value;
  }
  if (at != text.count) return false;
  *version = result;
  return true;
}

namespace {

bool same_text(const launcher_text& a, const launcher_text& b) {
  return a.count == b.count && (a.count == 0 || memcmp(a.units, b.units, 2 * a.count) == 0);
}

}  // namespace

const char* update_identity_refusal(const launcher_update_facts& running, const launcher_update_facts& candidate,
                                    bool allow_downgrade) {
  if (!same_text(candidate.company, running.company)) return "it is another company's launcher";
  if (!same_text(candidate.product, running.product)) return "it is the launcher of another product";
  if (candidate.machine != running.machine) return "it is built for another processor";
  if (!candidate.version_known) return "its file version is not four numbers";
  if (!allow_downgrade && (!running.version_known || candidate.version < running.version))
    return "its version is older than the running one (and no downgrade was asked for)";
  return nullptr;
}
