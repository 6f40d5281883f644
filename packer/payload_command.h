// `tavren-pack payload`: an app folder into a payload blob file.
#pragma once

#include "packer/pack_request.h"

/// Scans, packs and renames the blob into place; throws pack_error, leaving no output.
void run_payload(const pack_request& r);
