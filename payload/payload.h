// The attached payload as the launcher uses it: the magic check, the process's one decoder,
// and the walk that writes every entry under the target directory.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

#include "formats/payload.h"

/// Bytes of file content the entry walk asks the decoder for at a time. A stream cut inside
/// its last frame is found or not depending on where requests end, so this stays put.
constexpr size_t payload_request_size = 32768;
/// Directories remembered as existing.
constexpr int known_directory_capacity = 1024;

/// Points the payload position at the first byte of the `size`-byte blob at `blob`.
void payload_set_blob(const unsigned char* blob, size_t size);

/// Compares the bytes at the payload position with payload_magic and advances past them
/// either way. Returns whether all matched; a blob shorter than the magic does not.
bool payload_check_magic();

/// Allocates the decoder over the rest of the blob. Reports "Error, couldn't allocate
/// memory." and exits with 2 on failure.
void payload_open();

/// Copies exactly `count` decoded bytes to `destination`. Any failure reports "Error,
/// couldn't decode attached data." and exits with 2: a caller never sees a partial result.
void payload_read(void* destination, uint64_t count);

/// Reads the next entry name into `name` (capacity units). Returns false at the end marker.
/// A name that does not fit aborts; a decoding failure reports and exits with 2.
bool payload_read_name(wchar_t* name, size_t capacity);

/// Has `before_exit` (or nothing, when null) called before payload_read or payload_read_name
/// reports a failure and ends the run.
void payload_on_failure(void (*before_exit)());

/// How far the decoder has read through the blob, in thousandths; zero before payload_open,
/// 1000 after payload_close.
/// Another thread (a splash's progress bar) may ask at any time and gets a recent value.
unsigned payload_progress_permille();

/// The compressed bytes the decoder has not taken in yet; after payload_open, before any read,
/// the whole region after the magic.
void payload_unread(const unsigned char** data, size_t* size);

/// Releases the decompression context and the holding buffer.
void payload_close();

/// How far the entry walk goes.
enum extract_scope {
  extract_every_entry,      ///< write every file; return after the end marker
  extract_first_name_only,  ///< return right after the first name, creating nothing
};

/// Sets `*unpacking_started` (the caller's clean-up may read it from another thread), then
/// walks the entry stream, writing each file below `target_directory`. Stores the first
/// entry's full path in `main_library` (`main_library_capacity` units); with no entry at all
/// it returns with `main_library` empty. A path that does not fit aborts.
void payload_extract(const wchar_t* target_directory, wchar_t* main_library, size_t main_library_capacity,
                     extract_scope scope, volatile bool* unpacking_started);

/// Has `written` (or nothing, when null) called by payload_extract with each entry's name
/// (relative to the target directory) and size as it starts writing that entry.
void payload_on_entry(void (*written)(const wchar_t* name, uint64_t size));

/// Makes every directory above the file `path` exist as far as it can; one that cannot be
/// created shows up later as the failure to open the file.
void ensure_parent_directories(const wchar_t* path);

/// True if `directory` is known to exist afterwards: found in the known-directory set, a
/// bare drive ("X:"), created, or already there.
bool create_directory_cached(const wchar_t* directory);

/// Number of entries in the known-directory set (for tests and diagnostics).
int known_directory_count();
