// What Windows shows about a launcher without running it: the version resource (Explorer's
// Details tab), the manifest the loader reads, and the icon.
#pragma once

#include <string>
#include <vector>

#include "packer/resource_section.h"

/// The texts a launcher is built with: its version resource and its path tokens.
struct launcher_texts {
  std::string company;
  std::string product;
  std::string file_version = "0.0.0.0";
  std::string product_version = "0.0.0.0";
};

/// True when `text` is four dot-separated decimal numbers, each 0..65535.
bool is_four_part_version(const std::string& text);

/// The manifest every launcher carries: runs as the invoking user, declares the Windows
/// versions it was made for (so none of them applies compatibility shims), turns on long
/// paths and asks for version 6 of the common controls.
const std::string& launcher_manifest();

/// The VS_VERSIONINFO block: fixed numbers from the versions (already checked as four
/// numbers), the texts (valid UTF-8) under US English / UTF-16, and InternalName and
/// OriginalFilename set to `file_name`.
std::string version_resource(const launcher_texts& texts, const std::string& file_name);

/// Every resource a launcher carries: the images of `ico` (a well-formed icon file) as icons
/// 1..n with icon group 1, version 1 and manifest 1, all US English. The manifest asks for
/// `execution_level` (an executable's own: asInvoker, highestAvailable, requireAdministrator;
/// empty for asInvoker), so the one elevation prompt comes at the launcher and the child
/// inherits its token.
std::vector<resource_item> launcher_resources(const launcher_texts& texts, const std::string& file_name,
                                              const std::string& ico, const std::string& execution_level = "");
