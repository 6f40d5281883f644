// Unpacking the frames of a payload cut between entries side by side.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

#include "payload/frame_split.h"

/// Writes every entry of `region` (the blob after its magic, `size` bytes) below
/// `target_directory` as payload_extract does, when the region is split, and returns true;
/// returns false, having done nothing, otherwise. No file of a frame is made before the whole
/// frame decoded, checksum included: damage leaves no file of its frame behind.
/// Stores the first entry's full path in `main_library` and calls `written` (when not null, one
/// call at a time) with each entry's name and size. On damage it reports "Error, couldn't
/// decode attached data." and exits with 2 once every worker has stopped; a name or path that
/// does not fit aborts then. Write failures end the run as the writer's do.
bool extract_frames_side_by_side(const unsigned char* region, size_t size, const wchar_t* target_directory,
                                 wchar_t* main_library, size_t main_library_capacity,
                                 void (*written)(const wchar_t* name, uint64_t size));

/// How many workers unpack `count` frames on `processors` processors, and the buffer each takes
/// to decode a frame whole.
struct frame_plan {
  int workers;         ///< one per processor, at most four, at most one per frame, at least one
  size_t buffer_size;  ///< the largest frame content of at most 64 MiB; larger frames step
};

/// Plans the workers for `frames` so that what they hold at once (each a buffer and, when a
/// frame does not fit it, a window) stays within what one decoder of the whole payload took.
frame_plan plan_frame_workers(const payload_frame* frames, size_t count, int processors);

/// How far the workers have read through the region, in thousandths (1000 once every file is
/// written), or UINT_MAX before they start.
unsigned frames_progress_permille();
