// Reading one resource back out of a PE image's resource section, as the system's
// FindResource would: the packer reports what a launcher's manifest asks for.
#pragma once

#include <stdint.h>

#include <optional>
#include <string>

#include "packer/pe/pe_image.h"

/// RT_MANIFEST: the application manifest the loader reads, id 1 in an executable.
constexpr uint16_t resource_type_manifest = 24;

/// RT_ICON, RT_GROUP_ICON and RT_VERSION: an executable's icon images, its icon groups and its
/// version resource.
constexpr uint16_t resource_type_icon = 3, resource_type_icon_group = 14, resource_type_version = 16;

/// The bytes of the resource of numbered `type` and numbered `id` (the lowest id when `id` is
/// 0; with `named_first`, the first in the directory, where named ones come before numbered
/// ones, as Explorer picks an executable's icon group) in its lowest language, or nothing when
/// the image has none or its resource section cannot be read. Every offset is bounds-checked:
/// any bytes are safe input.
std::optional<std::string> find_resource(const pe_bytes& image, uint16_t type, uint16_t id, bool named_first = false);

/// The first resource of numbered `type`: find_resource with id 0.
std::optional<std::string> first_resource(const pe_bytes& image, uint16_t type, bool named_first = false);
