// The packer's reading of a file it is asked to list, verify or extract: finding the blob
// (alone or inside a launcher), checking its layout, and walking its entries through the
// launcher's decoder. Any input must end in a pack_error or a clean walk: never a crash, an
// overread or a hang.
#include <stddef.h>
#include <stdint.h>

#include <string>

#include "packer/blob_reader.h"
#include "packer/names.h"
#include "packer/pack_error.h"

namespace {

// A few KB of compressed input can expand without bound; past this the walk has shown
// what it does with such an input.
constexpr uint64_t decoded_budget = 16u << 20;

void inspect_name(const std::u16string& name) {
  bool valid = true;
  std::string text = utf16_to_utf8(name, &valid);
  quote_name(text);
  size_t start = 0;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i < text.size() && text[i] != '\\' && text[i] != '/') continue;
    windows_component_fault(std::string_view(text).substr(start, i - start));
    start = i + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    blob_span blob = locate_blob(data, size);
    blob_layout layout = check_blob_layout(blob);
    entry_reader entries(blob.data + payload_magic_size, layout.region_end - payload_magic_size);
    unsigned char chunk[4096];
    uint64_t decoded = 0;
    while (entries.next()) {
      inspect_name(entries.name());
      // Read every entry here rather than let next() skip it, so the budget covers all of it.
      while (size_t got = entries.read(chunk, sizeof chunk)) {
        decoded += got;
        if (decoded > decoded_budget) return 0;
      }
    }
    entries.finish();
  } catch (const pack_error&) {
  }
  return 0;
}
