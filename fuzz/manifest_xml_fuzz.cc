// The packer's reading of a manifest: a user's --manifest file, and the manifest resource of a
// launcher that list and verify are handed (any PE bytes). Any input must give facts or a
// fault, never a crash, an overread or a hang; a manifest that is read must say where it
// failed only when it did fail.
#include <stddef.h>
#include <stdint.h>

#include <string>

#include "packer/manifest_xml.h"
#include "packer/pe/resource_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  manifest_facts facts = read_manifest(text);
  if (!facts.fault.empty() && (!facts.level.empty() || facts.long_path_aware || facts.supported_os != 0))
    __builtin_trap();
  if (facts.fault.empty() && text.find("assembly") == std::string::npos) __builtin_trap();
  if (std::optional<std::string> manifest = first_resource({data, size}, resource_type_manifest)) {
    if (manifest->size() > size) __builtin_trap();
    read_manifest(*manifest);
  }
  return 0;
}
