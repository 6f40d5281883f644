// A launcher executable made from the stub: the stub's bytes with three read-only sections
// appended (the payload, the build texts, the resources), the stub's descriptor filled in and
// the headers fixed, so the result is an ordinary image that the loader maps and
// Authenticode signs whole.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "packer/pe/launcher_resources.h"
#include "packer/pe/pe_image.h"

/// A stub that passed check_stub, and where the payload goes in the file made from it.
struct launcher_stub {
  const unsigned char* data = nullptr;
  size_t size = 0;
  pe_headers headers;
  uint32_t file_alignment = 0, section_alignment = 0;
  size_t descriptor = 0;        ///< file offset of the descriptor in the stub
  /// Zero bytes the launcher has before the stub's first section (at first_raw), which puts
  /// that section, the code, on a page; the headers grow over them.
  size_t first_raw = 0, code_shift = 0;
  uint64_t payload_offset = 0;  ///< file offset of the payload: the stub's end, on a page where it can be
  uint32_t payload_rva = 0;     ///< the first address past the stub's sections
  /// The stub's last section in the file, grown with zeros up to payload_offset (its header's
  /// offset, or 0 when nothing grows), and its new raw and virtual sizes.
  size_t grown_section = 0;
  uint32_t grown_raw_size = 0, grown_virtual_size = 0;
};

/// Checks that `data` is a stub this packer can complete: an x64 or ARM64 image with one unfilled
/// descriptor, no resources, no signature, no data after its sections and room for three
/// more section headers. Throws pack_error "launcher stub <display> ..." otherwise. The payload
/// goes on a page boundary in the file whenever the stub's last section can grow to it, and so
/// does the stub's first section where the headers can grow to it.
launcher_stub check_stub(const unsigned char* data, size_t size, const std::string& display);

/// What a launcher's descriptor carries besides the payload and the build texts.
struct launcher_cache {
  uint32_t mode = 0;  ///< stub_mode_ bits; zero: the default run
  unsigned char content_key[8] = {};
  std::string digest_table;  ///< records as stub_descriptor.h lays them out, or empty
  uint32_t digest_count = 0;
  std::string unpack_dir;  ///< the unpack folder template (UTF-8, checked), or empty for the default
};

/// With `payload_size` bytes of payload already at stub.payload_offset in `fd`: writes the
/// stub's bytes, the texts and the resources, fills in the descriptor, fixes the headers and
/// the checksum. A non-empty `splash` (a splash record) rides in the texts' section.
/// `subsystem` (pe_subsystem_windows or pe_subsystem_console) replaces the
/// stub's own: one stub serves both kinds, as its code never asks which it is. Returns the executable's size. Throws
/// pack_error when the image would be too large for Windows, or for a write error.
uint64_t write_launcher(const launcher_stub& stub, uint64_t payload_size, const launcher_texts& texts,
                        const std::vector<resource_item>& resources, uint16_t subsystem, int fd,
                        const launcher_cache& cache = {}, const std::string& splash = {});
