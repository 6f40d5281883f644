// The packer's side of the launcher stub's descriptor: finding it in a file and reading
// where a packed launcher's payload lies.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "launcher/stub_descriptor.h"

/// The first descriptor marker in [from, end), or `end`.
const unsigned char* find_stub_marker(const unsigned char* from, const unsigned char* end);

/// The payload a launcher's filled descriptor points at, as a file offset and length; false
/// when `file` is no PE image or its descriptor is missing or unfilled. Throws pack_error
/// when a filled descriptor points outside the file's sections.
bool descriptor_payload(const unsigned char* file, size_t size, uint64_t* offset, uint64_t* length);
