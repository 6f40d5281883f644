// A cached launcher's folder and its record: what the install wrote, checked on every start
// without reading any content (sizes and last-write times), and, for launchers that carry a
// digest table, the content itself.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <windows.h>

#include "payload/content_digest.h"

/// The record's first bytes (15 characters and a zero).
#define TAVREN_CACHE_RECORD_MARK "TAVREN-CACHE-01"
/// Bytes of the record's header: the mark, the content key, the file count (u32) and a zero u32.
constexpr size_t cache_record_header_size = 32;
/// Largest record a start reads; a larger one is no record of ours.
constexpr DWORD cache_record_size_limit = 64u << 20;
/// Bytes of one folder listing fetch: a payload's folders hold up to a few hundred entries.
constexpr DWORD cache_listing_capacity = 64u << 10;
/// Bytes read at a time when a file's digest is computed.
constexpr DWORD cache_digest_chunk = 1u << 20;

/// Writes the record of `folder`: every regular file below it (links are neither entered nor
/// listed) with its size and last-write time, sorted by name, for content key `key`, as the
/// file TAVREN_CACHE_RECORD_NAME in `folder`, which must not exist yet, flushed to the disk
/// before it is closed. Returns ERROR_SUCCESS
/// or the system error (ERROR_NOT_ENOUGH_MEMORY, ERROR_FILENAME_EXCED_RANGE for a walk that
/// could not be completed).
DWORD write_cache_record(const wchar_t* folder, const unsigned char key[content_key_size]);

/// True if `folder` holds a record for `key` and every file the record lists is below it as a
/// regular file of the recorded size and last-write time. Files the record does not list do
/// not count against it: an application may write into its own folder. Reads the record and
/// walks the folder once; reads no file's content.
bool cache_folder_intact(const wchar_t* folder, const unsigned char key[content_key_size]);

/// True if each of the `count` digest records at `table` (laid out as stub_descriptor.h says)
/// names a file below `folder` with that size and SHA-256.
bool cache_digests_match(const wchar_t* folder, const unsigned char* table, uint32_t count);
