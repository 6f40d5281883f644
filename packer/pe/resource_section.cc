#include "packer/pe/resource_section.h"

#include <algorithm>
#include <tuple>

#include "base/byte_order.h"

namespace {

constexpr uint32_t subdirectory_bit = 0x80000000u;
constexpr size_t directory_header_size = 16, directory_entry_size = 8, data_entry_size = 16;

void put16(std::string& out, size_t at, uint32_t value) {
  store_le16(reinterpret_cast<unsigned char*>(&out[at]), static_cast<uint16_t>(value));
}

void put32(std::string& out, size_t at, uint32_t value) {
  store_le32(reinterpret_cast<unsigned char*>(&out[at]), value);
}

/// One directory table: its place in the section and the numbers of its entries.
struct directory {
  size_t offset;
  std::vector<uint16_t> ids;
  std::vector<size_t> targets;  ///< a subdirectory's or a data entry's offset, per entry
  bool leaves;                  ///< entries point at data entries
};

}  // namespace

std::string resource_section(std::vector<resource_item> items, uint32_t rva) {
  std::stable_sort(items.begin(), items.end(), [](const resource_item& a, const resource_item& b) {
    return std::tie(a.type, a.id, a.language) < std::tie(b.type, b.id, b.language);
  });
  // Level by level: the root lists types, each type lists ids, each id lists languages.
  std::vector<directory> directories;
  std::vector<size_t> item_directory(items.size());  // the language directory of each item
  directories.push_back({0, {}, {}, false});
  // Type directories, then id directories, in order, so the tree reads front to back.
  std::vector<size_t> type_dirs, id_dirs;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i == 0 || items[i].type != items[i - 1].type) {
      directories[0].ids.push_back(items[i].type);
      type_dirs.push_back(directories.size());
      directories.push_back({0, {}, {}, false});
    }
    if (i == 0 || items[i].type != items[i - 1].type || items[i].id != items[i - 1].id)
      directories[type_dirs.back()].ids.push_back(items[i].id);
  }
  for (size_t i = 0; i < items.size(); ++i) {
    if (i == 0 || items[i].type != items[i - 1].type || items[i].id != items[i - 1].id) {
      id_dirs.push_back(directories.size());
      directories.push_back({0, {}, {}, true});
    }
    directories[id_dirs.back()].ids.push_back(items[i].language);
    item_directory[i] = id_dirs.back();
  }
  size_t at = 0;
  for (directory& d : directories) {
    d.offset = at;
    at += directory_header_size + directory_entry_size * d.ids.size();
  }
  // Each directory's entries point at the next level's tables in creation order.
  size_t next = 1;
  for (size_t d = 0; d < 1 + type_dirs.size(); ++d)
    for (size_t e = 0; e < directories[d].ids.size(); ++e) directories[d].targets.push_back(directories[next++].offset);
  size_t entries = at;
  at += data_entry_size * items.size();
  for (size_t i = 0; i < items.size(); ++i)
    directories[item_directory[i]].targets.push_back(entries + data_entry_size * i);

  std::vector<size_t> data_at;
  for (const resource_item& item : items) {
    at = (at + 7) & ~size_t{7};
    data_at.push_back(at);
    at += item.data.size();
  }
  std::string out((at + 7) & ~size_t{7}, '\0');
  for (const directory& d : directories) {
    put16(out, d.offset + 14, static_cast<uint32_t>(d.ids.size()));  // numbered entries; no named ones
    for (size_t e = 0; e < d.ids.size(); ++e) {
      size_t entry = d.offset + directory_header_size + directory_entry_size * e;
      put32(out, entry, d.ids[e]);
      put32(out, entry + 4, static_cast<uint32_t>(d.targets[e]) | (d.leaves ? 0 : subdirectory_bit));
    }
  }
  for (size_t i = 0; i < items.size(); ++i) {
    size_t entry = entries + data_entry_size * i;
    put32(out, entry, rva + static_cast<uint32_t>(data_at[i]));
    put32(out, entry + 4, static_cast<uint32_t>(items[i].data.size()));
    std::copy(items[i].data.begin(), items[i].data.end(), out.begin() + static_cast<std::ptrdiff_t>(data_at[i]));
  }
  return out;
}
