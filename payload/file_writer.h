// Writing the unpacked files on a thread of their own, so that decoding the next bytes
// overlaps creating folders and files and writing the last ones. The decoding thread fills
// slots with records (a file's path, then pieces of its content) and hands them over in
// order; the writer carries them out in that order.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

#include "formats/payload.h"

/// The largest piece of a file written with one call: as much as one decoding step yields.
/// Larger pieces saved little time and cost the parent memory beside the decoder's window.
constexpr size_t write_piece_capacity = 128 << 10;
/// Bytes of records one slot holds: a whole piece besides a record's header and longest path.
constexpr size_t write_slot_capacity = write_piece_capacity + 16 + 2 * launcher_path_capacity;
/// Slots in the ring: one being filled while up to three wait or are written. Two kept the
/// decoder waiting whenever the writer was not scheduled at once on a loaded machine; eight
/// were no faster than four on 287 MB of DLLs, and slots of 64 KiB were slower.
constexpr int write_slot_count = 4;

/// Allocates the ring (once per process) and makes it empty. With more than one processor
/// the writer thread starts when the first slot is handed over with more to come; until
/// then, and always on a single processor, the calling thread writes each slot it hands
/// over. Reports "Error, couldn't allocate memory." and exits with 2 when either fails.
void writer_start();

/// Has the writer flush each file to the disk before it closes it (true) or not (false, the
/// default), so that what is recorded after writer_finish survives a power loss. A flush that
/// fails is reported as a failed write.
void writer_flush_each_file(bool flush);

/// Whether writer_flush_each_file asked for flushes.
bool writer_flushes_each_file();

/// Creates the unpacked file at `path` for writing (replacing one of that name), its folders
/// already made; reports a failure and exits with 2.
void* create_unpacked_file(const wchar_t* path);

/// Starts the record of a file at `path` (`path_units` units, no terminator) whose content
/// is `size` bytes, and returns where the first piece of it goes, `*piece` bytes (possibly
/// 0, for an empty file). Every piece but a file's last is a multiple of
/// payload_request_size, so the decoder sees the same requests whatever the slots. The writer creates the file's
/// folders and the file when it reaches the record; a failure reports it and exits with 2 from the writer's thread.
unsigned char* writer_begin_file(const wchar_t* path, size_t path_units, uint64_t size, size_t* piece);

/// Hands over the piece just filled; while the file has content left, returns where the
/// next piece goes and its size in `*piece`, else null (the writer then closes the file).
unsigned char* writer_piece_filled(size_t* piece);

/// Hands over everything filled so far and waits until the writer has carried it out. A
/// piece not yet reported filled is dropped. Call it before a report that ends the run, so
/// every file before the failure is on disk, and at the end of the entries.
void writer_finish();
