// `tavren-pack build`: an app folder (or a given blob) into a launcher executable.
#pragma once

#include "packer/pack_request.h"

/// Checks every option before any compression, then writes the launcher; throws pack_error,
/// leaving no output.
void run_build(const pack_request& r);
