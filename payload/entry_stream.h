// Reading the decoded entry stream: name (UTF-16LE units up to a zero unit), 64-bit size,
// content. Shared by the launcher's extraction and the packer's list/verify/extract.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "base/byte_order.h"
#include "formats/payload.h"
#include "payload/stream_decoder.h"

enum entry_status {
  entry_ok = 0,
  entry_decode_failed,  ///< the decoder failed; its status says how
  entry_name_too_long,  ///< no zero unit within capacity - 1 units
};

/// Reads one name, unit by unit, into `name` (capacity units, the zero included) and sets
/// `length` to the units before the zero. A length of 0 is the end marker.
template <class Unit>
entry_status entry_read_name(payload_decoder* decoder, Unit* name, size_t capacity, size_t* length,
                             decode_status* why) {
  size_t n = 0;
  for (;;) {
    unsigned char bytes[2];
    decode_status status = decoder_read(decoder, bytes, 2);
    if (status != decode_ok) {
      *why = status;
      name[n] = 0;
      *length = n;
      return entry_decode_failed;
    }
    Unit unit = static_cast<Unit>(load_le16(bytes));
    if (unit == 0) {
      name[n] = 0;
      *length = n;
      return entry_ok;
    }
    if (n + 1 >= capacity) {
      name[n] = 0;
      *length = n;
      return entry_name_too_long;
    }
    name[n++] = unit;
  }
}

/// Reads the unsigned 64-bit little-endian content size that follows a name.
inline decode_status entry_read_size(payload_decoder* decoder, uint64_t* size) {
  unsigned char bytes[8];
  decode_status status = decoder_read(decoder, bytes, 8);
  if (status != decode_ok) return status;
  *size = load_le64(bytes);
  return decode_ok;
}
