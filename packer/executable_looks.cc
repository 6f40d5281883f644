#include "packer/executable_looks.h"

#include <stdint.h>

#include <vector>

#include "packer/names.h"
#include "packer/pe_image.h"

namespace {

constexpr uint16_t rt_icon = 3, rt_group_icon = 14, rt_version = 16, rt_manifest = 24;
// Deeper or longer than this is damage; real images hold a few dozen resources.
constexpr uint32_t directory_entries_max = 4096;

class resource_reader {
 public:
  explicit resource_reader(const pe_bytes& image) : image_(image) {
    pe_headers headers;
    if (read_pe_headers(image, &headers) || headers.magic != pe_magic_pe32plus ||
        read_pe_sections(image, headers, &sections_))
      return;
    size_t slot = pe_opt_directories + pe_dir_resource * 8;
    if (headers.optional_size < slot + 8 || !image.has(headers.optional, slot + 8) ||
        image.u32(headers.optional + pe_opt_directory_count) <= pe_dir_resource)
      return;
    uint32_t rva = image.u32(headers.optional + slot);
    uint64_t offset;
    if (rva && pe_rva_to_offset(image, sections_, rva, 16, &offset)) {
      root_ = offset;
      ok_ = true;
    }
  }

  /// The data of the first resource of `type` whose id is `id` (or any, with `id` 0), in its
  /// first language. Named resources come before numbered ones, as the directory sorts them.
  bool find(uint16_t type, uint16_t id, std::string* data) const {
    if (!ok_) return false;
    uint64_t names, languages, entry;
    if (!child(root_, type, false, &names) || !child(names, id, id == 0, &languages) ||
        !child(languages, 0, true, &entry) || !image_.has(entry, 16))
      return false;
    uint32_t rva = image_.u32(entry), size = image_.u32(entry + 4);
    uint64_t offset;
    if (!pe_rva_to_offset(image_, sections_, rva, size, &offset)) return false;
    data->assign(reinterpret_cast<const char*>(image_.data + offset), size);
    return true;
  }

 private:
  // The entry of `directory` (a file offset) with the numeric `id`, or its first entry with
  // `first`; its target's file offset, computed from the section's start.
  bool child(uint64_t directory, uint16_t id, bool first, uint64_t* target) const {
    if (!image_.has(directory, 16)) return false;
    uint32_t count = uint32_t{image_.u16(directory + 12)} + image_.u16(directory + 14);
    if (count > directory_entries_max || !image_.has(directory + 16, uint64_t{count} * 8)) return false;
    for (uint32_t i = 0; i < count; ++i) {
      uint64_t entry = directory + 16 + uint64_t{i} * 8;
      uint32_t name = image_.u32(entry), offset = image_.u32(entry + 4) & 0x7FFFFFFF;
      if (!first && ((name & 0x80000000) || name != id)) continue;
      *target = root_ + offset;
      return true;
    }
    return false;
  }

  const pe_bytes& image_;
  std::vector<pe_section> sections_;
  uint64_t root_ = 0;  ///< the root directory's file offset; every other offset counts from it
  bool ok_ = false;
};

uint16_t u16_at(const std::string& bytes, size_t at) {
  return static_cast<uint16_t>(static_cast<unsigned char>(bytes[at]) | static_cast<unsigned char>(bytes[at + 1]) << 8);
}
uint32_t u32_at(const std::string& bytes, size_t at) {
  return u16_at(bytes, at) | uint32_t{u16_at(bytes, at + 2)} << 16;
}
void put16(std::string& out, uint32_t value) {
  out.push_back(static_cast<char>(value & 0xFF));
  out.push_back(static_cast<char>(value >> 8 & 0xFF));
}
void put32(std::string& out, uint32_t value) {
  put16(out, value & 0xFFFF);
  put16(out, value >> 16);
}

// An .ico file of the group's images: the group's directory, each entry's resource number
// replaced by its offset in the file. A group whose images are not all there gives nothing.
std::string icon_file(const resource_reader& resources, const std::string& group) {
  if (group.size() < 6 || u16_at(group, 0) != 0 || u16_at(group, 2) != 1) return "";
  size_t count = u16_at(group, 4);
  if (count == 0 || group.size() < 6 + 14 * count) return "";
  std::vector<std::string> images(count);
  for (size_t i = 0; i < count; ++i)
    if (!resources.find(rt_icon, u16_at(group, 6 + 14 * i + 12), &images[i]) || images[i].empty()) return "";
  std::string ico = group.substr(0, 6);
  uint32_t offset = static_cast<uint32_t>(6 + 16 * count);
  for (size_t i = 0; i < count; ++i) {
    ico += group.substr(6 + 14 * i, 8);  // size, colours, planes, bits per pixel
    put32(ico, static_cast<uint32_t>(images[i].size()));
    put32(ico, offset);
    offset += static_cast<uint32_t>(images[i].size());
  }
  for (const std::string& image : images) ico += image;
  return ico;
}

// One block of a version resource: its extent, key and where its value and children start.
struct version_block {
  size_t start = 0, end = 0, value = 0, children = 0;
  uint16_t value_length = 0, type = 0;
  std::u16string key;
};

size_t align4(size_t at) { return (at + 3) & ~size_t{3}; }

bool read_block(const std::string& bytes, size_t at, size_t limit, version_block* block) {
  if (at + 6 > limit) return false;
  uint16_t length = u16_at(bytes, at);
  if (length < 6 || at + length > limit) return false;
  block->start = at;
  block->end = at + length;
  block->value_length = u16_at(bytes, at + 2);
  block->type = u16_at(bytes, at + 4);
  block->key.clear();
  size_t key = at + 6;
  while (key + 2 <= block->end && u16_at(bytes, key) != 0) block->key.push_back(u16_at(bytes, key)), key += 2;
  if (key + 2 > block->end) return false;
  block->value = align4(key + 2);
  // A text value counts characters, a binary one bytes.
  size_t value_bytes = block->type == 1 ? size_t{block->value_length} * 2 : block->value_length;
  block->children = align4(block->value + value_bytes);
  return block->value <= block->end;
}

// The blocks directly inside `parent`.
std::vector<version_block> children_of(const std::string& bytes, const version_block& parent) {
  std::vector<version_block> result;
  version_block block;
  for (size_t at = parent.children; at < parent.end && read_block(bytes, at, parent.end, &block);
       at = align4(block.end)) {
    result.push_back(block);
    if (result.size() > directory_entries_max) break;
  }
  return result;
}

void read_version(const std::string& bytes, executable_looks* looks) {
  version_block root;
  if (!read_block(bytes, 0, bytes.size(), &root) || root.key != u"VS_VERSION_INFO") return;
  if (root.value_length >= 52 && root.value + 52 <= root.end && u32_at(bytes, root.value) == 0xFEEF04BD) {
    uint32_t high = u32_at(bytes, root.value + 8), low = u32_at(bytes, root.value + 12);
    looks->file_version = std::to_string(high >> 16) + "." + std::to_string(high & 0xFFFF) + "." +
                          std::to_string(low >> 16) + "." + std::to_string(low & 0xFFFF);
  }
  for (const version_block& info : children_of(bytes, root)) {
    if (info.key != u"StringFileInfo") continue;
    std::vector<version_block> tables = children_of(bytes, info);
    if (tables.empty()) return;
    for (const version_block& text : children_of(bytes, tables[0])) {
      std::u16string value;
      for (size_t at = text.value; at + 2 <= text.end && u16_at(bytes, at) != 0; at += 2)
        value.push_back(u16_at(bytes, at));
      std::string utf8 = utf16_to_utf8(value);
      if (text.key == u"CompanyName") looks->company = utf8;
      if (text.key == u"ProductName") looks->product = utf8;
    }
    return;
  }
}

std::string execution_level(const std::string& manifest) {
  size_t element = manifest.find("requestedExecutionLevel");
  if (element == std::string::npos) return "";
  size_t end = manifest.find('>', element);
  size_t level = manifest.find("level=", element);
  if (level == std::string::npos || level > end || level + 7 >= manifest.size()) return "";
  char quote = manifest[level + 6];
  size_t close = manifest.find(quote, level + 7);
  if ((quote != '"' && quote != '\'') || close == std::string::npos) return "";
  std::string value = manifest.substr(level + 7, close - level - 7);
  for (const char* known : {"asInvoker", "highestAvailable", "requireAdministrator"})
    if (value == known) return value;
  return "";
}

}  // namespace

executable_looks read_executable_looks(const unsigned char* data, size_t size) {
  executable_looks looks;
  pe_bytes image{data, size};
  resource_reader resources(image);
  std::string bytes;
  if (resources.find(rt_group_icon, 0, &bytes)) looks.ico = icon_file(resources, bytes);
  if (resources.find(rt_version, 0, &bytes)) read_version(bytes, &looks);
  if (resources.find(rt_manifest, 0, &bytes)) looks.execution_level = execution_level(bytes);
  return looks;
}
