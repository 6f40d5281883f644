// Reading a payload blob back: finding it (alone or inside a launcher), checking its layout
// byte by byte, walking its entries through the launcher's own decoder, and judging them by
// what a launcher accepts.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "formats/payload.h"
#include "packer/pe/pe_exports.h"
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

/// Splits a stored name into its components at either separator (Windows takes both), or
/// returns why a launcher could not write it below its folder: absolute, a drive or stream,
/// "..", an empty or "." component, or a component Windows does not take as a name.
const char* entry_name_fault(const std::string& name, std::vector<std::string>* parts);

struct payload_totals {
  uint64_t entries = 0;
  uint64_t bytes = 0;
  main_entry entry = main_entry::library;  ///< what the first entry is
  size_t frames = 0;  ///< frames of a split payload, which a launcher unpacks side by side; else 0
};

/// Walks every entry of `blob`, whose layout check gave `layout`, and throws pack_error
/// naming the first thing a launcher refuses or would mishandle: damage, a missing end
/// marker or data after it, no entry at all, a first entry that no launcher can run (see
/// main_file_fault), a name it cannot write, two names Windows takes for one, a file named
/// like a folder. `each` (when given) sees every entry before its content is read and must not read it.
payload_totals check_entries(const blob_span& blob, const blob_layout& layout,
                             const std::function<void(const entry_reader&)>& each = {});

/// What the first entry of the blob in `file` is, decoding only that entry: an executable
/// only when it is one a launcher can run; a library for anything else, as a blob is linked
/// as it is and a launcher reports what it cannot run when it starts. An executable's bytes
/// go to `image`, which is left empty for a library.
main_entry blob_main_entry(const unsigned char* file, size_t size, std::string* image);
