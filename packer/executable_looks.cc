#include "packer/executable_looks.h"

#include <stdint.h>

#include <vector>

#include "packer/manifest_xml.h"
#include "packer/names.h"
#include "packer/pe/resource_reader.h"

namespace {

// Longer than this is damage; real version resources hold a few dozen texts.
constexpr size_t version_blocks_max = 4096;

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
std::string icon_file(const pe_bytes& image, const std::string& group) {
  if (group.size() < 6 || u16_at(group, 0) != 0 || u16_at(group, 2) != 1) return "";
  size_t count = u16_at(group, 4);
  if (count == 0 || group.size() < 6 + 14 * count) return "";
  std::vector<std::string> images(count);
  for (size_t i = 0; i < count; ++i) {
    uint16_t id = u16_at(group, 6 + 14 * i + 12);
    std::optional<std::string> found = id ? find_resource(image, resource_type_icon, id) : std::nullopt;
    if (!found || found->empty()) return "";
    images[i] = std::move(*found);
  }
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
    if (result.size() > version_blocks_max) break;
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

}  // namespace

executable_looks read_executable_looks(const unsigned char* data, size_t size) {
  executable_looks looks;
  pe_bytes image{data, size};
  if (std::optional<std::string> group = first_resource(image, resource_type_icon_group, true))
    looks.ico = icon_file(image, *group);
  if (std::optional<std::string> version = first_resource(image, resource_type_version)) read_version(*version, &looks);
  if (std::optional<std::string> manifest = first_resource(image, resource_type_manifest)) {
    manifest_facts facts = read_manifest(*manifest);
    for (execution_level level :
         {execution_level::as_invoker, execution_level::highest_available, execution_level::require_administrator})
      if (facts.fault.empty() && facts.level == execution_level_text(level)) looks.level = level;
  }
  return looks;
}
