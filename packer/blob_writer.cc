#include "packer/blob_writer.h"

#include <errno.h>

#include <algorithm>
#include <string.h>
#include <thread>
#include <vector>

#include <zstd.h>

#include "base/byte_order.h"
#include "formats/payload.h"
#include "packer/host.h"
#include "packer/names.h"
#include "packer/pack_error.h"
#include "payload/entry_stream.h"
#include "payload/frame_split.h"

namespace {

constexpr size_t staging_capacity = size_t{1} << 20;

void write_all(int fd, const void* data, size_t size) {
  if (!host_write_all(fd, data, size)) throw pack_error("cannot write the output: " + errno_text(errno));
}

void check_zstd(size_t result, const char* what) {
  if (ZSTD_isError(result))
    throw pack_error(std::string("compression failed (") + what + "): " + ZSTD_getErrorName(result));
}

/// Feeds the entry stream through one compression context into `fd`, counting output bytes.
class frame_writer {
 public:
  frame_writer(const compression_options& options, int fd, progress_meter* progress)
      : options_(options), fd_(fd), progress_(progress), output_(ZSTD_CStreamOutSize()) {
    context_ = ZSTD_createCCtx();
    if (!context_) throw pack_error("out of memory for the compression context");
    staging_.reserve(staging_capacity);
    int workers = options.threads > 0 ? options.threads : static_cast<int>(std::thread::hardware_concurrency());
    if (workers < 1) workers = 1;
    check_zstd(ZSTD_CCtx_setParameter(context_, ZSTD_c_compressionLevel, options.level), "level");
    check_zstd(ZSTD_CCtx_setParameter(context_, ZSTD_c_checksumFlag, options.checksum ? 1 : 0), "checksum");
    // Always at least one worker: zstd's output depends on whether workers are used at all,
    // not on how many, so the blob is the same on every machine.
    check_zstd(ZSTD_CCtx_setParameter(context_, ZSTD_c_nbWorkers, workers), "threads");
  }

  /// Begins a frame of `stream_bytes` (the first, or once the last one is finished), with a
  /// window of at most 2^`window_log_max` bytes unless the options name one.
  void start(uint64_t stream_bytes, int window_log_max) {
    check_zstd(ZSTD_CCtx_reset(context_, ZSTD_reset_session_only), "reset");
    int window_log =
        options_.window_log ? options_.window_log : std::min(default_window_log(stream_bytes), window_log_max);
    check_zstd(ZSTD_CCtx_setParameter(context_, ZSTD_c_windowLog, window_log), "window log");
    check_zstd(ZSTD_CCtx_setPledgedSrcSize(context_, stream_bytes), "size");
  }
  ~frame_writer() { ZSTD_freeCCtx(context_); }

  void put(const void* data, size_t size) {
    const unsigned char* at = static_cast<const unsigned char*>(data);
    while (size > 0) {
      size_t k = std::min(size, staging_capacity - staging_.size());
      staging_.insert(staging_.end(), at, at + k);
      at += k;
      size -= k;
      if (staging_.size() == staging_capacity) flush(ZSTD_e_continue);
    }
  }

  /// Ends the frame.
  void finish() { flush(ZSTD_e_end); }

  /// The compressed size of every frame so far.
  uint64_t written() const { return written_; }

 private:
  void flush(ZSTD_EndDirective mode) {
    ZSTD_inBuffer in{staging_.data(), staging_.size(), 0};
    for (;;) {
      ZSTD_outBuffer out{output_.data(), output_.size(), 0};
      size_t remaining = ZSTD_compressStream2(context_, &out, &in, mode);
      check_zstd(remaining, "stream");
      write_all(fd_, output_.data(), out.pos);
      written_ += out.pos;
      bool done = mode == ZSTD_e_end ? remaining == 0 : in.pos == in.size;
      if (done) break;
    }
    if (progress_) progress_->advance(staging_.size());
    staging_.clear();
  }

  ZSTD_CCtx* context_;
  compression_options options_;
  int fd_;
  progress_meter* progress_;
  std::vector<unsigned char> staging_;
  std::vector<unsigned char> output_;
  uint64_t written_ = 0;
};

uint64_t entry_bytes(const app_entry& entry) { return 2 * (entry.name.size() + 1) + 8 + entry.size; }

void put_u64(frame_writer& frame, uint64_t value) {
  unsigned char bytes[8];
  store_le64(bytes, value);
  frame.put(bytes, sizeof bytes);
}

void put_name(frame_writer& frame, const std::u16string& name) {
  std::vector<unsigned char> bytes(2 * name.size() + 2);
  for (size_t i = 0; i < name.size(); ++i) store_le16(&bytes[2 * i], name[i]);
  frame.put(bytes.data(), bytes.size());
}

void put_content(frame_writer& frame, const app_entry& entry) {
  auto fail = [&](const std::string& reason) {
    throw pack_error("cannot read " + quote_name(entry.display) + ": " + reason);
  };
  int fd = host_open_read(entry.host_path);
  if (fd < 0) fail(errno_text(errno));
  std::vector<unsigned char> buffer(staging_capacity);
  uint64_t left = entry.size;
  try {
    // One byte more than expected is asked for at the end, to notice a file that grew.
    for (;;) {
      size_t want = left > 0 ? static_cast<size_t>(std::min<uint64_t>(left, buffer.size())) : 1;
      long long n = host_read(fd, buffer.data(), want);
      if (n < 0) fail(errno_text(errno));
      if (left == 0) {
        if (n > 0) fail("it grew while being packed");
        break;
      }
      if (n == 0) fail("it shrank while being packed");
      frame.put(buffer.data(), static_cast<size_t>(n));
      left -= static_cast<uint64_t>(n);
    }
  } catch (...) {
    host_close(fd);
    throw;
  }
  host_close(fd);
}

}  // namespace

uint64_t entry_stream_size(const app_contents& contents) {
  uint64_t total = 2;
  for (const app_entry& entry : contents.entries) total += entry_bytes(entry);
  return total;
}

int default_window_log(uint64_t stream_bytes) {
  int log = 10;  // zstd's smallest window
  while (log < launcher_window_log_max && (uint64_t{1} << log) < stream_bytes) ++log;
  return log;
}

namespace {

// The scan refused names the disk takes for one file and files named like folders, so frames
// written side by side never meet on one name.
std::vector<size_t> frame_starts(const app_contents& contents, const compression_options& options) {
  uint64_t stream_bytes = entry_stream_size(contents);
  uint64_t target = options.frame_size != frame_size_automatic ? options.frame_size
                    : stream_bytes >= 2 * frame_size_least                    ? frame_size_least
                                                                              : 0;
  std::vector<size_t> starts{0};
  if (target == 0) return starts;
  // Past the frames a launcher takes apart it would read them as one stream: larger pieces then.
  for (uint64_t least = target;; least = std::max(least * 2, stream_bytes / (split_frame_capacity - 1) + 1)) {
    starts.assign(1, 0);
    uint64_t filled = 0, before = 0;
    for (size_t i = 0; i < contents.entries.size(); ++i) {
      // Frames shrink towards the end, down to an eighth, so that the workers run out of
      // frames at about the same moment instead of one waiting for the other's last large one.
      uint64_t tail = (stream_bytes - before) / 4;
      if (filled >= std::min(least, std::max(least / 8, tail))) {
        starts.push_back(i);
        filled = 0;
      }
      uint64_t bytes = entry_bytes(contents.entries[i]);
      filled += bytes;
      before += bytes;
    }
    if (starts.size() <= split_frame_capacity) return starts;
  }
}

}  // namespace

blob_figures write_blob(const app_contents& contents, const compression_options& options, int fd,
                        progress_meter* progress) {
  uint64_t stream_bytes = entry_stream_size(contents);
  write_all(fd, payload_magic, payload_magic_size);
  std::vector<size_t> starts = frame_starts(contents, options);
  starts.push_back(contents.entries.size());
  uint64_t note_bytes = 0;
  if (starts.size() > 2) {
    unsigned char note[8 + payload_split_note_size];
    store_le32(note, payload_split_note_magic);
    store_le32(note + 4, payload_split_note_size);
    memcpy(note + 8, payload_split_note, payload_split_note_size);
    write_all(fd, note, sizeof note);
    note_bytes = sizeof note;
  }
  auto bytes_of = [&](size_t frame) {
    uint64_t bytes = frame + 2 == starts.size() ? 2 : 0;  // the end marker ends the last frame
    for (size_t i = starts[frame]; i < starts[frame + 1]; ++i) bytes += entry_bytes(contents.entries[i]);
    return bytes;
  };
  // Frames decoded side by side each hold their window: one large file in a frame of its own
  // would otherwise ask for up to 128 MiB beside the other workers' frames.
  int window_log_max = starts.size() > 2 ? split_window_log_max : launcher_window_log_max;
  frame_writer frame(options, fd, progress);
  for (size_t f = 0; f + 1 < starts.size(); ++f) {
    frame.start(bytes_of(f), window_log_max);
    for (size_t i = starts[f]; i < starts[f + 1]; ++i) {
      const app_entry& entry = contents.entries[i];
      put_name(frame, entry.name);
      put_u64(frame, entry.size);
      put_content(frame, entry);
    }
    if (f + 2 == starts.size()) put_name(frame, u"");
    frame.finish();
  }
  uint64_t trailer_offset = payload_magic_size + note_bytes + frame.written();
  unsigned char tail[payload_trailer_alignment - 1 + payload_trailer_size] = {};
  size_t fill = static_cast<size_t>((payload_trailer_alignment - trailer_offset % payload_trailer_alignment) %
                                    payload_trailer_alignment);
  trailer_offset += fill;
  store_le64(tail + fill, trailer_offset);
  write_all(fd, tail, fill + payload_trailer_size);
  return {stream_bytes, trailer_offset + payload_trailer_size};
}
