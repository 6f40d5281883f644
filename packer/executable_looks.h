// What a launcher takes over from the executable it carries, so that it looks like the
// application it starts: the icon, the version texts and the execution level it asks for.
// Read from the image's resource section as bytes (resource_reader, manifest_xml): any bytes
// are safe input, and whatever cannot be read is simply not taken.
#pragma once

#include <stddef.h>

#include <optional>
#include <string>

#include "packer/pe/launcher_resources.h"

struct executable_looks {
  std::string ico;           ///< the first icon group with every image in it, as an .ico file; or empty
  std::string company;       ///< the version resource's CompanyName, or empty
  std::string product;       ///< its ProductName, or empty
  std::string file_version;  ///< its fixed file version as "a.b.c.d", or empty
  /// The level its manifest's requestedExecutionLevel asks for; none when it has no manifest
  /// that reads as one, or names no level the system knows.
  std::optional<execution_level> level;
};

/// The looks of the PE image `image` (`size` bytes). Texts are UTF-8.
executable_looks read_executable_looks(const unsigned char* image, size_t size);
