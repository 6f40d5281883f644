// Reading a payload blob back: finding it (alone or inside a launcher), checking its layout
// byte by byte, and walking its entries through the launcher's own decoder.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "payload/format.h"
#include "payload/stream_decoder.h"

struct blob_span {
  const unsigned char* data;
  size_t size;           ///< L
  uint64_t file_offset;  ///< where it starts in the file it came from
};

/// The blob in `file`: the whole file when it starts with the magic, else the blob after the
/// first marker in an executable whose header is consistent. Throws pack_error otherwise.
blob_span locate_blob(const unsigned char* file, size_t size);

struct blob_layout {
  size_t region_end;  ///< 3 + F: where the fill starts
  unsigned frames;    ///< Zstandard frames, skippable ones included
  size_t fill;        ///< P
};

/// Checks magic, trailer value and position, zero fill, and that the region is made of whole
/// frames whose windows the launcher can decode. Throws pack_error naming the first fault.
blob_layout check_blob_layout(const blob_span& blob);

/// Entries of a checked blob, decoded in order.
class entry_reader {
 public:
  /// Throws pack_error when the decoder cannot be set up.
  entry_reader(const unsigned char* region, size_t size);
  ~entry_reader();
  entry_reader(const entry_reader&) = delete;
  entry_reader& operator=(const entry_reader&) = delete;

  /// Skips what is left of the current entry, then reads the next name and size. Returns false
  /// at the end marker. Throws pack_error for damage, a missing end marker or too long a name.
  bool next();
  const std::u16string& name() const { return name_; }
  uint64_t size() const { return size_; }
  /// 1-based position of the current entry.
  uint64_t index() const { return index_; }
  /// Copies up to `capacity` content bytes of the current entry; 0 once it is all read.
  size_t read(unsigned char* destination, size_t capacity);
  /// After next() returned false: throws unless the decoded stream ends right there and every
  /// frame, checksum included, is complete.
  void finish();

 private:
  [[noreturn]] void fail(decode_status status, const std::string& where);
  payload_decoder decoder_{};
  std::u16string name_;
  uint64_t size_ = 0, left_ = 0, index_ = 0;
};

