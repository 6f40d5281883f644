// The splash a launcher shows while it unpacks: an image decoded once, at pack time, into
// the record the launcher hands to a layered window as it is.
#pragma once

#include <stdint.h>

#include <string>

/// Smallest side a splash image may have: below it the progress bar hides the picture.
constexpr int splash_side_min = 16;

/// The splash record (formats/stub_descriptor.h lays it out) for --splash `path`, a PNG
/// (alpha kept) or a BMP of splash_side_min..stub_splash_side_max pixels a side, shown at most
/// `timeout_seconds`. Deterministic. Throws pack_error with exit_usage naming the file and
/// the reason: unreadable, not a PNG or BMP, damaged, too small or too large.
std::string load_splash(const std::string& path, uint32_t timeout_seconds);
