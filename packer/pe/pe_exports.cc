#include "packer/pe/pe_exports.h"

#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "packer/pe/pe_image.h"

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

namespace {

constexpr uint16_t pe_machine_i386 = 0x14C, pe_machine_arm = 0x1C4, pe_machine_ia64 = 0x200;
constexpr uint16_t pe_subsystem_native = 1;
constexpr size_t pe_opt_dll_characteristics = 70;
constexpr uint16_t pe_dll_characteristic_wdm_driver = 0x2000;
// The CLR header's directory, and where PE32 keeps its directories (PE32+ has 8 bytes more).
constexpr unsigned pe_dir_clr = 14;
constexpr size_t pe32_opt_directories = 96;
constexpr uint32_t clr_flag_il_only = 1, clr_flag_32bit_required = 2, clr_flag_32bit_preferred = 0x20000;

const char* machine_text(uint16_t machine) {
  switch (machine) {
    case pe_machine_i386: return "a 32-bit (x86)";
    case pe_machine_arm: return "a 32-bit ARM";
    case pe_machine_arm64: return "an ARM64";
    case pe_machine_ia64: return "an Itanium";
    default: return "a non-x64";
  }
}

// A .NET image of IL alone that asks for no 32-bit process ("Any CPU"): Windows runs it as an
// x64 process, whatever machine its header names.
bool runs_as_x64_il(const pe_bytes& image, const pe_headers& headers) {
  if (headers.magic != pe_magic_pe32 || headers.machine != pe_machine_i386) return false;
  size_t directory = pe32_opt_directories + pe_dir_clr * 8;
  if (headers.optional_size < directory + 8 || !image.has(headers.optional, directory + 8)) return false;
  if (image.u32(headers.optional + pe32_opt_directories - 4) <= pe_dir_clr) return false;
  uint32_t rva = image.u32(headers.optional + directory);
  std::vector<pe_section> sections;
  uint64_t at;
  if (rva == 0 || read_pe_sections(image, headers, &sections) || !pe_rva_to_offset(image, sections, rva, 20, &at))
    return false;
  uint32_t flags = image.u32(at + 16);
  return (flags & clr_flag_il_only) && !(flags & (clr_flag_32bit_required | clr_flag_32bit_preferred));
}

}  // namespace

const char* main_file_fault(const unsigned char* bytes, size_t size, main_entry* entry) {
  // The reasons that name a kind are made once per call; the packer asks about one file.
  static std::string reason;
  pe_bytes image{bytes, size};
  pe_headers headers;
  if (const char* fault = read_pe_headers(image, &headers)) return fault;
  bool library = headers.characteristics & pe_characteristic_dll;
  const char* kind = library ? "DLL" : "executable";
  if (headers.magic != pe_magic_pe32 && headers.magic != pe_magic_pe32plus) return "not a PE32 or PE32+ image";
  // The packer carries a launcher for each of these; which one runs a file is chosen by it.
  bool runnable = (headers.magic == pe_magic_pe32plus &&
                   (headers.machine == pe_machine_amd64 || headers.machine == pe_machine_arm64)) ||
                  (!library && runs_as_x64_il(image, headers));
  if (!runnable) {
    const char* what = headers.machine == pe_machine_amd64 ? "a 32-bit (PE32)" : machine_text(headers.machine);
    reason = std::string(what) + " " + kind + "; only x64 and ARM64 programs can be packed";
    return reason.c_str();
  }
  if (library) {
    *entry = main_entry::library;
    return main_library_fault(bytes, size);
  }
  if (headers.optional_size < pe_opt_dll_characteristics + 2 ||
      !image.has(headers.optional, pe_opt_dll_characteristics + 2))
    return "truncated PE optional header";
  uint16_t subsystem = image.u16(headers.optional + pe_opt_subsystem);
  if (subsystem == pe_subsystem_windows) {
    *entry = main_entry::executable_windowed;
    return nullptr;
  }
  if (subsystem == pe_subsystem_console) {
    *entry = main_entry::executable_console;
    return nullptr;
  }
  if (subsystem == pe_subsystem_native)
    return image.u16(headers.optional + pe_opt_dll_characteristics) & pe_dll_characteristic_wdm_driver
               ? "a kernel driver; only windowed and console executables can be packed"
               : "a driver or program of the native subsystem; only windowed and console executables can be packed";
  reason = "an executable of subsystem " + std::to_string(subsystem) +
           ", neither windowed nor console; only those can be packed";
  return reason.c_str();
}

const char* main_entry_text(main_entry entry) {
  switch (entry) {
    case main_entry::library: return "library";
    case main_entry::executable_windowed: return "executable, windowed";
    case main_entry::executable_console: return "executable, console";
  }
  return "library";
}
