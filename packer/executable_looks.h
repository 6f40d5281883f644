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
  std::string file_version;     ///< its fixed file version as "a.b.c.d", or empty
  std::string product_version;  ///< its fixed product version, or empty
  /// The whole version resource, every table and text; none when it has none that reads.
  std::optional<version_info> version;
  /// The level its manifest's requestedExecutionLevel asks for (asInvoker where it names
  /// none); none when it has no manifest, or one that does not read (see manifest_fault).
  std::optional<execution_level> level;
  /// Why its manifest gives no level: it is not a manifest Windows reads ("line 3: ..."), or
  /// names a level Windows does not know; empty when it has no manifest or one that reads.
  std::string manifest_fault;
};

/// The contents of a version resource (VS_VERSIONINFO), every table and text; none when its
/// root block does not read. Any bytes are safe input.
std::optional<version_info> read_version_info(const std::string& bytes);

/// The looks of the PE image `image` (`size` bytes). Texts are UTF-8.
executable_looks read_executable_looks(const unsigned char* image, size_t size);
