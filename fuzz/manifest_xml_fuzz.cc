// The packer's reading of a manifest: a user's --manifest file, an executable's own, and the
// manifest resource of a launcher that list and verify are handed (any PE bytes); and of a
// version resource, which a launcher of an executable carries over. Any input must give facts
// or a fault, never a crash, an overread or a hang. What Windows reads alike must read alike:
// the same text in UTF-16 either way round, with a byte-order mark, trailing NULs or white
// space before its declaration; a version resource written back must read back the same.
#include <stddef.h>
#include <stdint.h>

#include <string>

#include "packer/executable_looks.h"
#include "packer/manifest_xml.h"
#include "packer/names.h"
#include "packer/pe/resource_reader.h"

namespace {

bool same(const manifest_facts& a, const manifest_facts& b) {
  return a.fault.empty() == b.fault.empty() && a.level == b.level && a.long_path_aware == b.long_path_aware &&
         a.supported_os == b.supported_os;
}

std::string utf16(const std::u16string& units, bool big_endian) {
  std::string out = big_endian ? "\xFE\xFF" : "\xFF\xFE";
  for (char16_t unit : units) {
    char low = static_cast<char>(unit & 0xFF), high = static_cast<char>(unit >> 8);
    out += big_endian ? high : low;
    out += big_endian ? low : high;
  }
  return out;
}

bool same_version(const version_info& a, const version_info& b) {
  if (a.fixed != b.fixed || a.translations != b.translations || a.tables.size() != b.tables.size()) return false;
  for (size_t i = 0; i < a.tables.size(); ++i)
    if (a.tables[i].key != b.tables[i].key || a.tables[i].texts != b.tables[i].texts) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  manifest_facts facts = read_manifest(text);
  // A fault names a line of the text.
  if (!facts.fault.empty()) {
    size_t line = std::stoul(facts.fault.substr(5)), lines = 1;
    for (char c : text) lines += c == '\n';
    if (line < 1 || line > lines) __builtin_trap();
  }
  bool utf8 = size < 2 || (data[0] != 0 && data[1] != 0 && !(data[0] == 0xFF && data[1] == 0xFE) &&
                           !(data[0] == 0xFE && data[1] == 0xFF));
  if (utf8 && utf8_to_utf16(text)) {
    std::string plain = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? text.substr(3) : text;
    if (!same(read_manifest("\xEF\xBB\xBF" + plain + std::string(3, '\0')), facts)) __builtin_trap();
    if (plain.compare(0, 5, "<?xml") == 0 && !same(read_manifest(" \r\n\t" + plain), facts)) __builtin_trap();
    // In UTF-16 the declaration names that encoding, as a real one does.
    std::string wide_text = plain;
    size_t encoding = plain.find("encoding");
    size_t declaration_end = plain.compare(0, 5, "<?xml") == 0 ? plain.find("?>") : std::string::npos;
    bool declared_utf8 = encoding != std::string::npos && (plain.compare(encoding, 16, "encoding=\"UTF-8\"") == 0 ||
                                                         plain.compare(encoding, 16, "encoding='UTF-8'") == 0);
    if (declared_utf8 && declaration_end != std::string::npos && encoding < declaration_end &&
        plain.find("encoding", encoding + 1) == std::string::npos) {
      wide_text.replace(encoding + 10, 5, "UTF-16");
      encoding = std::string::npos;
    }
    if (encoding == std::string::npos) {
      std::u16string units = *utf8_to_utf16(wide_text);
      for (bool big_endian : {false, true}) {
        std::string wide = utf16(units, big_endian);
        if (!same(read_manifest(wide), facts)) __builtin_trap();
        if (!big_endian && !plain.empty() && plain[0] == '<' &&
            !same(read_manifest(wide.substr(2) + std::string(2, '\0')), facts))
          __builtin_trap();
      }
    }
  }
  if (std::optional<version_info> version = read_version_info(text)) {
    std::string written = version_resource(*version);
    if (!written.empty()) {
      std::optional<version_info> again = read_version_info(written);
      if (!again || !same_version(*again, *version)) __builtin_trap();
    }
  }
  if (std::optional<std::string> manifest = first_resource({data, size}, resource_type_manifest)) {
    if (manifest->size() > size) __builtin_trap();
    read_manifest(*manifest);
  }
  return 0;
}
