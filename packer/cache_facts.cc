#include "packer/cache_facts.h"

#include <string.h>

#include "formats/cache_record.h"
#include "formats/stub_descriptor.h"
#include "packer/blob_reader.h"
#include "packer/names.h"
#include "packer/pack_error.h"
#include "payload/content_digest.h"

namespace {

bool is_record_name(const std::u16string& name) {
  const char* record = TAVREN_CACHE_RECORD_NAME;
  if (name.size() != strlen(record)) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    char16_t unit = name[i] >= u'A' && name[i] <= u'Z' ? static_cast<char16_t>(name[i] + 32) : name[i];
    if (unit != static_cast<unsigned char>(record[i])) return false;
  }
  return true;
}

void append_le64(std::string& out, uint64_t value) {
  for (int i = 0; i < 8; ++i) out += static_cast<char>(value >> (8 * i));
}

}  // namespace

void check_cache_texts(const launcher_texts& texts) {
  if (texts.product.empty())
    throw pack_error("--cached needs a product name (--product): the cache folder is named after it", exit_usage);
  for (const std::string* text : {&texts.company, &texts.product}) {
    if (text->empty()) continue;
    const char* fault = windows_component_fault(*text);
    if (!fault && text->find('/') != std::string::npos)
      fault = "contains a slash, which Windows reads as a folder separator";
    if (!fault && (*text == "." || *text == "..")) fault = "names a folder's own or its parent";
    if (fault) throw pack_error("--cached names a folder after " + quote_name(*text) + ", which " + fault, exit_usage);
  }
}

launcher_cache cache_facts(const unsigned char* blob, size_t size, bool digests) {
  launcher_cache cache;
  cache.mode = stub_mode_cached | (digests ? stub_mode_verify_digests : 0);
  sha256 whole;
  whole.add(blob, size);
  unsigned char digest[sha256_size];
  whole.finish(digest);
  memcpy(cache.content_key, digest, content_key_size);

  blob_span span{blob, size, 0};
  blob_layout layout = check_blob_layout(span);
  entry_reader entries(blob + payload_magic_size, layout.region_end - payload_magic_size);
  std::vector<unsigned char> buffer(1 << 20);
  while (entries.next()) {
    if (is_record_name(entries.name()))
      throw pack_error("the application holds a file named " + quote_name(TAVREN_CACHE_RECORD_NAME) +
                       " at its top, which a cached launcher writes itself; rename it or leave out --cached");
    if (!digests) continue;
    sha256 one;
    while (size_t n = entries.read(buffer.data(), buffer.size())) one.add(buffer.data(), n);
    one.finish(digest);
    cache.digest_table.append(reinterpret_cast<const char*>(digest), sha256_size);
    append_le64(cache.digest_table, entries.size());
    for (char16_t unit : entries.name()) {
      cache.digest_table += static_cast<char>(unit & 0xFF);
      cache.digest_table += static_cast<char>(unit >> 8);
    }
    cache.digest_table.append(2, '\0');
    ++cache.digest_count;
  }
  entries.finish();
  return cache;
}
