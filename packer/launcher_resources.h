// What Windows shows about a launcher without running it: the version resource (Explorer's
// Details tab), the manifest the loader reads, and the icon. Written as a resource script
// that windres compiles next to the launcher's other inputs.
#pragma once

#include <string>

#include "packer/link_launcher.h"

/// The manifest every launcher carries: runs as the invoking user, declares the Windows
/// versions it was made for (so none of them applies compatibility shims), turns on long
/// paths and asks for version 6 of the common controls.
const std::string& launcher_manifest();

/// `text` (valid UTF-8) as a resource script wide string literal, L"...": quotes, backslashes
/// and everything outside printable ASCII as \xHHHH UTF-16 units, so the script is pure ASCII
/// and reads the same whatever code page windres assumes.
std::string rc_wide_literal(const std::string& text);

/// The resource script: icon group 1 from `icon_file`, manifest 1 from `manifest_file`, and
/// version information from `texts` (versions already checked as four numbers) with
/// InternalName and OriginalFilename set to `file_name`. Files are named relative to the
/// folder windres runs in, so no build path reaches the output.
std::string launcher_resource_script(const launcher_texts& texts, const std::string& file_name,
                                     const std::string& icon_file, const std::string& manifest_file);
