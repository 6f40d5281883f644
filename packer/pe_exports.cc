#include "packer/pe_exports.h"

#include <stdint.h>
#include <string.h>

#include <vector>

#include "packer/pe_image.h"

const char* main_library_fault(const unsigned char* bytes, size_t size) {
  pe_bytes image{bytes, size};
  pe_headers headers;
  if (const char* fault = read_pe_headers(image, &headers)) return fault;
  if (headers.magic == pe_magic_pe32) return "a 32-bit (PE32) image; the launcher loads only 64-bit DLLs";
  if (headers.magic != pe_magic_pe32plus) return "not a PE32+ image";
  if (headers.machine != pe_machine_amd64 && headers.machine != pe_machine_arm64)
    return "built neither for x86-64 nor for ARM64";
  if (!(headers.characteristics & pe_characteristic_dll)) return "an executable, not a DLL";
  size_t optional = headers.optional;
  // The export directory is the first after NumberOfRvaAndSizes.
  if (headers.optional_size < pe_opt_directories + 8 || !image.has(optional, headers.optional_size))
    return "truncated PE optional header";
  uint32_t directory_count = image.u32(optional + pe_opt_directory_count);
  if (directory_count < 1) return "has no export table";
  uint32_t export_rva = image.u32(optional + pe_opt_directories);
  uint32_t export_size = image.u32(optional + pe_opt_directories + 4);
  if (export_rva == 0 || export_size == 0) return "has no export table";

  std::vector<pe_section> sections;
  if (const char* fault = read_pe_sections(image, headers, &sections)) return fault;

  uint64_t directory;
  if (!pe_rva_to_offset(image, sections, export_rva, 40, &directory)) return "export table lies outside the file";
  uint32_t name_count = image.u32(directory + 24);
  uint32_t names_rva = image.u32(directory + 32);
  uint64_t names;
  if (name_count == 0) return "exports nothing by name (run_code missing)";
  if (!pe_rva_to_offset(image, sections, names_rva, uint64_t{name_count} * 4, &names))
    return "export name table lies outside the file";
  constexpr size_t wanted = sizeof main_library_export;  // the zero included
  for (uint32_t i = 0; i < name_count; ++i) {
    uint32_t name_rva = image.u32(names + uint64_t{i} * 4);
    uint64_t name;
    if (pe_rva_to_offset(image, sections, name_rva, wanted, &name) &&
        memcmp(bytes + name, main_library_export, wanted) == 0)
      return nullptr;
  }
  return "does not export run_code";
}
