// The run of a cached launcher: one process, no child and no clean-up. The payload is
// unpacked once into a folder of the user's cache named after the product, the version and
// the payload's content key; later starts check that folder and load the main library from it.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "payload/content_digest.h"

/// The folder template, as the documentation names it; {KEY} is the content key in hex.
#define CACHE_DIRECTORY_TEMPLATE L"{CACHE_DIR}\\{COMPANY}\\{PRODUCT}\\{VERSION}-{KEY}"

/// What the descriptor tells a cached run.
struct cached_launch {
  const unsigned char* content_key = nullptr;   ///< content_key_size bytes
  const unsigned char* digest_table = nullptr;  ///< null unless every start checks digests
  uint32_t digest_count = 0;
  bool executable = false;  ///< the main file is an executable, started as a child
  bool prepare_only = false;  ///< install (or check) the folder and run nothing: a new release's trial
};

/// Folders of other builds of the product that one install removes at most.
constexpr int old_version_removal_limit = 4;

/// Runs a cached launcher over the `size`-byte payload at `payload` and returns the main
/// library's exit code. Installs when the folder is missing or not intact: into a new private
/// folder beside it that is renamed into place once complete and recorded, so no start ever
/// runs a half-written folder; then removes folders of this product's other builds (their record
/// names it) that nothing uses. A folder in place is run from only when its record stands for
/// its files and its owner and access list are the ones an install gives. Every
/// failure is reported as in the default run and ends the process, leaving no partial folder.
/// An executable entry runs as a child instead and its exit code is returned (run_cached_executable).
int run_cached_sequence(const unsigned char* payload, size_t size, const cached_launch& launch);
