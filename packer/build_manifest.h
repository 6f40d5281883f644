// The manifest a build puts into its launcher: ours with the settings asked for, or the
// user's own file.
#pragma once

#include <string>
#include <vector>

#include "packer/pack_request.h"

/// The manifest text for a launcher built with `request`: launcher_manifest of its settings,
/// or the file given with --manifest byte for byte. Throws pack_error (exit_usage) for a file
/// that is not well-formed XML with an assembly root, and for settings given beside a file,
/// which would not be in it. Adds a warning for each thing the user's file leaves out that
/// ours has (long paths, the supported Windows versions): the user's choice stands.
std::string build_manifest(const manifest_request& request, std::vector<std::string>& warnings);
