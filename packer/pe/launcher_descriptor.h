// The packer's side of the launcher stub's descriptor: finding it in a file and reading
// where a packed launcher's payload lies.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <optional>
#include <string>

#include "formats/stub_descriptor.h"

/// The first descriptor marker in [from, end), or `end`.
const unsigned char* find_stub_marker(const unsigned char* from, const unsigned char* end);

/// How a packed launcher runs, from its descriptor.
struct launcher_run_mode {
  uint32_t mode = 0;  ///< stub_mode_ bits; zero for the default run and the first layout
  unsigned char content_key[8] = {};
  uint32_t splash_rva = 0;  ///< zero: no splash (and in launchers of the older layouts)
};

/// A packed launcher's splash, as `list` reports it.
struct launcher_splash {
  uint32_t width = 0, height = 0, timeout_seconds = 0;
};

/// The run mode of the launcher `file`; the default for a file with no descriptor of this layout.
launcher_run_mode descriptor_run_mode(const unsigned char* file, size_t size);

/// The unpack folder template a launcher carries; nothing for the default (and for launchers
/// of the earlier layouts). Throws pack_error when the descriptor points outside the file.
std::optional<std::u16string> descriptor_unpack_dir(const unsigned char* file, size_t size);

/// The splash the launcher `file` shows; false when it has none or its record lies outside
/// the file's sections.
bool descriptor_splash(const unsigned char* file, size_t size, launcher_splash* splash);

/// The payload a launcher's filled descriptor points at, as a file offset and length; false
/// when `file` is no PE image or has no descriptor. Throws pack_error for a descriptor never
/// filled in (a bare stub) and for one that points outside the file's sections.
bool descriptor_payload(const unsigned char* file, size_t size, uint64_t* offset, uint64_t* length);
