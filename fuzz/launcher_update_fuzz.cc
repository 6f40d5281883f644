// The update check's reading of a downloaded file, the one input a launcher takes from the
// network: any bytes must end in a fault text or in facts whose every pointer lies inside
// the input (the sanitizer sees any overread), and hashing what was read must stay inside it.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "formats/launcher_update.h"

namespace {

bool inside(const uint8_t* data, size_t size, const unsigned char* at, size_t length) {
  if (length == 0 && !at) return true;  // an empty text
  return at >= data && static_cast<size_t>(at - data) <= size && length <= size - static_cast<size_t>(at - data);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  launcher_update_facts facts;
  const char* fault = read_launcher_update_facts(data, size, &facts);
  if (fault) {
    if (strchr(fault, '\n') || fault[strlen(fault) - 1] == '.') __builtin_trap();  // one line, no period
    return 0;
  }
  if (!inside(data, size, facts.key, stub_update_key_size) ||
      !inside(data, size, facts.signature, stub_update_signature_size) ||
      !inside(data, size, facts.company.units, 2 * facts.company.count) ||
      !inside(data, size, facts.product.units, 2 * facts.product.count) || facts.signed_end > size)
    __builtin_trap();
  unsigned char digest[update_digest_size];
  launcher_update_digest(data, facts, digest);
  // A launcher is its own release: never refused for who made it.
  if (facts.version_known && update_identity_refusal(facts, facts, false)) __builtin_trap();
  return 0;
}
