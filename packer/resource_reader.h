// Reading one resource back out of a PE image's resource section, as the system's
// FindResource would: the packer reports what a launcher's manifest asks for.
#pragma once

#include <stdint.h>

#include <optional>
#include <string>

#include "packer/pe_image.h"

/// RT_MANIFEST: the application manifest the loader reads, id 1 in an executable.
constexpr uint16_t resource_type_manifest = 24;

/// The bytes of the first resource of numbered `type` (its lowest id, then lowest language),
/// or nothing when the image has none or its resource section cannot be read. Every offset is
/// bounds-checked: any bytes are safe input.
std::optional<std::string> first_resource(const pe_bytes& image, uint16_t type);
