// Finding the frames of a region whose entry stream was cut between entries, so that each can
// be decoded on its own. Portable: the launcher, the packer and the fuzzers share it.
#pragma once

#include <stddef.h>

/// Frames a split payload may have for a reader to take them apart; past this it is read as one
/// stream.
constexpr size_t split_frame_capacity = 4096;

struct payload_frame {
  const unsigned char* data;
  size_t size;
};

/// Fills `frames` with the Zstandard frames that follow a split note at the start of `region`
/// (`size` bytes: the blob after its magic, fill and trailer included) and returns how many
/// there are. Returns 0 when the region has no note, when a frame is not whole or `capacity`
/// frames do not hold them all: the region is then read as one stream, which reports any damage.
size_t payload_split_frames(const unsigned char* region, size_t size, payload_frame* frames, size_t capacity);
