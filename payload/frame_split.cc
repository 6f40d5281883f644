#include "payload/frame_split.h"

#include <string.h>

#include <zstd.h>

#include "base/byte_order.h"
#include "formats/payload.h"

size_t payload_split_frames(const unsigned char* region, size_t size, payload_frame* frames, size_t capacity) {
  constexpr size_t note_frame = 8 + payload_split_note_size;
  if (size < note_frame || load_le32(region) != payload_split_note_magic ||
      load_le32(region + 4) != payload_split_note_size || memcmp(region + 8, payload_split_note, payload_split_note_size) != 0)
    return 0;
  size_t at = note_frame, count = 0;
  // The frames end where the fill and trailer begin, which are no frame: a trailer is its own
  // offset, far below any frame magic for a blob a launcher can hold.
  while (size - at >= 4 && load_le32(region + at) == ZSTD_MAGICNUMBER) {
    size_t frame = ZSTD_findFrameCompressedSize(region + at, size - at);
    if (ZSTD_isError(frame) || count == capacity) return 0;
    frames[count++] = {region + at, frame};
    at += frame;
  }
  return count;
}
