// What `build --cached` adds to a launcher: the payload's content key, and for launchers that
// check their files on every start, the digest of each entry.
#pragma once

#include <stddef.h>

#include "packer/pe/launcher_image.h"

/// Throws pack_error (exit_usage) when the texts cannot name the cache folder's levels: no
/// product, or a company or product that Windows does not take as a folder name.
void check_cache_texts(const launcher_texts& texts);

/// The cache fields for the `size`-byte blob at `blob`: the content key (the first bytes of
/// the blob's SHA-256, so the same blob always gets the same key) and, with `digests`, one
/// digest record per entry in payload order. Throws pack_error for a blob that does not
/// decode and for an entry that takes the name of the cache folder's record.
launcher_cache cache_facts(const unsigned char* blob, size_t size, bool digests);
