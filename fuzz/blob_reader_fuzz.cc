// The packer's reading of a file it is asked to list, verify or extract: finding the blob
// (alone or inside a launcher), checking its layout, and walking its entries through the
// launcher's decoder. Any input must end in a pack_error or a clean walk: never a crash, an
// overread or a hang. Beyond that: names must reach messages as printable UTF-8, the two
// name encodings must convert into each other without loss, and a blob that verify accepts
// must be one the launcher reads to its end marker.
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "packer/blob_reader.h"
#include "packer/names.h"
#include "packer/pack_error.h"
#include "payload/entry_stream.h"

namespace {

// A few KB of compressed input can expand without bound; past this the walk has shown
// what it does with such an input.
constexpr uint64_t decoded_budget = 16u << 20;

// Strict UTF-8, written apart from the packer's converter so each checks the other: the
// code point at `*at`, or -1 (and one byte consumed) for anything malformed, overlong, a
// surrogate or past U+10FFFF.
int32_t next_code_point(std::string_view text, size_t* at) {
  unsigned char lead = static_cast<unsigned char>(text[(*at)++]);
  if (lead < 0x80) return lead;
  int extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
  if (extra == 0 || lead > 0xF4 || *at + extra > text.size()) return -1;
  int32_t c = lead & (0x3F >> extra);
  for (int i = 0; i < extra; ++i) {
    unsigned char next = static_cast<unsigned char>(text[*at + i]);
    if ((next & 0xC0) != 0x80) return -1;
    c = c << 6 | (next & 0x3F);
  }
  static const int32_t smallest[] = {0, 0x80, 0x800, 0x10000};
  if (c < smallest[extra] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return -1;
  *at += extra;
  return c;
}

bool is_utf8(std::string_view text) {
  for (size_t at = 0; at < text.size();)
    if (next_code_point(text, &at) < 0) return false;
  return true;
}

// What a terminal shows as text: no C0 or C1 control character, no DEL.
bool is_printable_utf8(std::string_view text) {
  for (size_t at = 0; at < text.size();) {
    int32_t c = next_code_point(text, &at);
    if (c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0)) return false;
  }
  return true;
}

void check_name(const std::u16string& name) {
  bool valid = true;
  std::string text = utf16_to_utf8(name, &valid);
  if (!is_utf8(text) || !is_printable_utf8(quote_name(text))) __builtin_trap();
  // Only an unpaired surrogate may be lost, and only to U+FFFD.
  std::optional<std::u16string> back = utf8_to_utf16(text);
  if (!back || back->size() != name.size()) __builtin_trap();
  for (size_t i = 0; i < name.size(); ++i) {
    bool surrogate = name[i] >= 0xD800 && name[i] <= 0xDFFF;
    if ((*back)[i] != name[i] && !(surrogate && !valid && (*back)[i] == 0xFFFD)) __builtin_trap();
  }
  size_t start = 0;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i < text.size() && text[i] != '\\' && text[i] != '/') continue;
    windows_component_fault(std::string_view(text).substr(start, i - start));
    start = i + 1;
  }
}

// The packer's converter takes host names in: it must accept exactly strict UTF-8, and
// what it accepts must come back byte for byte.
void check_host_name(std::string_view text) {
  std::optional<std::u16string> units = utf8_to_utf16(text);
  if (units.has_value() != is_utf8(text)) __builtin_trap();
  if (units && utf16_to_utf8(*units) != text) __builtin_trap();
}

struct seen_entry {
  std::u16string name;
  uint64_t size;
  uint64_t content_hash;
};

uint64_t hash_more(uint64_t hash, const unsigned char* bytes, size_t count) {
  for (size_t i = 0; i < count; ++i) hash = (hash ^ bytes[i]) * 0x100000001B3ull;
  return hash;
}

// The launcher's walk: the decoder over everything after the magic, fill and trailer
// included, reading until the end marker. Every entry verify saw must come out the same.
void check_launcher_reads(const blob_span& blob, const std::vector<seen_entry>& entries) {
  payload_decoder decoder;
  if (decoder_open(&decoder, blob.data + payload_magic_size, blob.size - payload_magic_size) != decode_ok)
    __builtin_trap();
  static unsigned char chunk[32768];
  for (size_t index = 0;; ++index) {
    char16_t name[entry_name_capacity];
    size_t length = 0;
    decode_status why = decode_ok;
    if (entry_read_name(&decoder, name, entry_name_capacity, &length, &why) != entry_ok) __builtin_trap();
    if (length == 0) {
      if (index != entries.size()) __builtin_trap();
      break;
    }
    uint64_t size = 0;
    if (index >= entries.size() || entries[index].name != std::u16string(name, length)) __builtin_trap();
    if (entry_read_size(&decoder, &size) != decode_ok || size != entries[index].size) __builtin_trap();
    uint64_t hash = 0xCBF29CE484222325ull;
    while (size > 0) {
      size_t n = size < sizeof chunk ? static_cast<size_t>(size) : sizeof chunk;
      if (decoder_read(&decoder, chunk, n) != decode_ok) __builtin_trap();
      hash = hash_more(hash, chunk, n);
      size -= n;
    }
    if (hash != entries[index].content_hash) __builtin_trap();
  }
  decoder_close(&decoder);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  check_host_name(std::string_view(reinterpret_cast<const char*>(data), size < 256 ? size : 256));
  blob_span blob;
  std::vector<seen_entry> seen;
  try {
    blob = locate_blob(data, size);
    blob_layout layout = check_blob_layout(blob);
    entry_reader entries(blob.data + payload_magic_size, layout.region_end - payload_magic_size);
    unsigned char chunk[4096];
    uint64_t decoded = 0;
    while (entries.next()) {
      check_name(entries.name());
      seen_entry entry{entries.name(), entries.size(), 0xCBF29CE484222325ull};
      // Read every entry here rather than let next() skip it, so the budget covers all of it.
      while (size_t got = entries.read(chunk, sizeof chunk)) {
        entry.content_hash = hash_more(entry.content_hash, chunk, got);
        decoded += got;
        if (decoded > decoded_budget) return 0;
      }
      seen.push_back(std::move(entry));
    }
    entries.finish();
  } catch (const pack_error&) {
    return 0;
  }
  check_launcher_reads(blob, seen);
  return 0;
}
