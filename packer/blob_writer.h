// Writing a payload blob: magic, one Zstandard frame holding the entry stream, zero fill
// to a multiple of 8, and the trailer that records its own offset.
#pragma once

#include <stdint.h>

#include "packer/app_scan.h"
#include "packer/progress.h"
#include "payload/format.h"

struct compression_options {
  int level = 19;
  int threads = 0;     ///< compression workers; 0 = one per core
  int window_log = 0;  ///< 0 = just enough for the whole stream, at most launcher_window_log_max
  bool checksum = true;
};

struct blob_figures {
  uint64_t stream_bytes;  ///< decoded entry stream length
  uint64_t blob_bytes;    ///< L
};

/// Entry stream length for `contents`: names, sizes, contents and the end marker.
uint64_t entry_stream_size(const app_contents& contents);

/// Window log used for a stream of `stream_bytes` when none is asked for.
int default_window_log(uint64_t stream_bytes);

/// Writes the blob to `fd`, reading each file as it goes. The same contents and options give
/// the same bytes whatever the thread count. Throws pack_error naming the file for read
/// failures, and when a file's size differs from the scan.
blob_figures write_blob(const app_contents& contents, const compression_options& options, int fd,
                        progress_meter* progress);
