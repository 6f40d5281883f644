// A resource section (.rsrc) as the loader and the resource functions read it: a directory
// of types, then names, then languages, each sorted by number, then the data entries and the
// data itself.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

struct resource_item {
  uint16_t type;      ///< RT_ICON is 3, RT_GROUP_ICON 14, RT_VERSION 16, RT_MANIFEST 24
  uint16_t id;        ///< numbered resources only
  uint16_t language;  ///< 0x0409 for US English
  std::string data;
};

/// The section's bytes for a section that starts at `rva`: data entries hold addresses
/// relative to the image base, so the bytes are right only there. Items may come in any order;
/// two with the same type, id and language are a caller's bug and both are kept.
std::string resource_section(std::vector<resource_item> items, uint32_t rva);
