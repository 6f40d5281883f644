// A cached launcher's folder and its record: what the install wrote, checked on every start
// without reading any content (sizes and last-write times), and, for launchers that carry a
// digest table, the content itself.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <windows.h>

#include "formats/cache_record.h"
#include "payload/content_digest.h"

/// Largest record a start reads; a larger one is no record of ours.
constexpr DWORD cache_record_size_limit = 64u << 20;
/// Bytes of one folder listing fetch: a payload's folders hold up to a few hundred entries.
constexpr DWORD cache_listing_capacity = 64u << 10;
/// Bytes read at a time when a file's digest is computed.
constexpr DWORD cache_digest_chunk = 1u << 20;

/// Notes one payload entry (its name relative to the folder, and its size) for the next
/// write_cache_record. A failure to keep it shows there as ERROR_NOT_ENOUGH_MEMORY.
void cache_record_note_entry(const wchar_t* name, uint64_t size);

/// Writes the record of `folder`: every payload entry noted, sorted by name, with the size the
/// payload gives it and the last-write time of the regular file of that name and size below
/// `folder` (links are neither entered nor listed); an entry with no such file gets a time no
/// file has, so the folder never passes its check. For content key `key` and product
/// `product`, as the file TAVREN_CACHE_RECORD_NAME in `folder`, which must not exist yet,
/// flushed to the disk before it is closed. Returns ERROR_SUCCESS or the system error
/// (ERROR_NOT_ENOUGH_MEMORY, ERROR_FILENAME_EXCED_RANGE for a walk that could not be completed).
DWORD write_cache_record(const wchar_t* folder, const unsigned char key[content_key_size],
                         const unsigned char product[cache_product_size]);

/// True if `folder` holds a record of the current layout that names `product`.
bool cache_folder_holds_product(const wchar_t* folder, const unsigned char product[cache_product_size]);

/// True if `folder` holds a record for `key` and every file the record lists is below it as a
/// regular file of the recorded size and last-write time. Files the record does not list do
/// not count against it: an application may write into its own folder. Reads the record and
/// walks the folder once; reads no file's content.
bool cache_folder_intact(const wchar_t* folder, const unsigned char key[content_key_size]);

/// True if each of the `count` digest records at `table` (laid out as stub_descriptor.h says)
/// names a file below `folder` with that size and SHA-256.
bool cache_digests_match(const wchar_t* folder, const unsigned char* table, uint32_t count);
