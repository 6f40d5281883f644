// Unpacking the frames of a payload cut between entries side by side.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

/// Writes every entry of `region` (the blob after its magic, `size` bytes) below
/// `target_directory` as payload_extract does, when the region is split and more than one
/// processor can work on it, and returns true; returns false, having done nothing, otherwise.
/// Stores the first entry's full path in `main_library` and calls `written` (when not null, one
/// call at a time) with each entry's name and size. On damage it reports "Error, couldn't
/// decode attached data." and exits with 2 once every worker has stopped; a name or path that
/// does not fit aborts then. Write failures end the run as the writer's do.
bool extract_frames_side_by_side(const unsigned char* region, size_t size, const wchar_t* target_directory,
                                 wchar_t* main_library, size_t main_library_capacity,
                                 void (*written)(const wchar_t* name, uint64_t size));

/// How far the workers have read through the region, in thousandths, or UINT_MAX when none
/// is at work.
unsigned frames_progress_permille();
