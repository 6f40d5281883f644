// The record a cached launcher writes last into the folder it installs: what the install
// wrote, so that a later start can check the folder without reading any content. The launcher
// writes and reads it; the packer keeps every payload entry off its name.
//   record = mark (16 bytes), content key (8), file count (u32 LE), a zero u32, product (16),
//            then per file: size (u64 LE), last-write time (u64 LE), name units (u32 LE) and
//            that many UTF-16LE units, sorted by name
#pragma once

#include <stddef.h>

/// The file a cached launcher writes last into its folder; no payload entry may take its name.
#define TAVREN_CACHE_RECORD_NAME ".onefile-record"

/// The record's first bytes (15 characters and a zero). Records of the first layout
/// ("TAVREN-CACHE-01": no product, a list of what was on disk) are neither taken as intact nor
/// proof that a folder is this product's.
#define TAVREN_CACHE_RECORD_MARK "TAVREN-CACHE-02"
/// Bytes of the product identity a record carries.
constexpr size_t cache_product_size = 16;
/// Bytes of the record's header: the mark, the content key, the file count (u32), a zero u32
/// and the product identity.
constexpr size_t cache_record_header_size = 32 + cache_product_size;
/// Bytes of a file's entry before its name: size, last-write time, name units.
constexpr size_t cache_record_entry_fixed = 8 + 8 + 4;
