// Unpacking a payload cut between entries with one decoder per processor. On a payload of large
// binaries one decoder was the bound: it needs more processor time than the files take to
// write. Each worker takes the next frame, decodes it and writes its files itself, so the
// decoding, the writes and the system's file calls of all workers overlap.
#include "payload/frame_extract.h"

#include <stdlib.h>
#include <windows.h>

#include "base/diagnostics.h"
#include "base/wide_buffer.h"
#include "payload/entry_stream.h"
#include "payload/file_writer.h"
#include "payload/frame_split.h"
#include "payload/payload.h"
#include "payload/stream_decoder.h"

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameHeader: a frame's window
#include <zstd.h>

namespace {

// Each worker holds a frame in memory: more than four would cost memory for little on the
// machines this runs on.
constexpr int worker_capacity = 4;
// A frame whose content fits is decoded whole into the worker's buffer: no window beside it, no
// copy out of one, and no byte of a damaged frame is written. Larger frames (one large file
// makes one), and frames that do not say their size, are decoded step by step.
constexpr size_t frame_buffer_capacity = size_t{64} << 20;
// What the workers may hold at once: as much as one decoder's window of a payload packed as
// one frame, so that unpacking side by side costs no more memory than one decoder did.
constexpr size_t worker_memory_budget = size_t{128} << 20;
// Reserved, not committed, as for the writer of one decoder.
constexpr size_t worker_stack_reservation = 256 << 10;

enum failure_kind : LONG { no_failure, failed_decoding, failed_no_memory, failed_name_too_long, failed_path_too_long };

payload_frame frames[split_frame_capacity];
size_t frame_count;
// The frames in the order workers take them: largest first, so that the small ones even out
// the end instead of one worker finishing a large frame while the others wait.
uint16_t frame_order[split_frame_capacity];
uint64_t frame_content[split_frame_capacity];
const wchar_t* target;
size_t target_units;
void (*entry_hook)(const wchar_t* name, uint64_t size);

volatile LONG next_frame;
volatile LONG failure = no_failure;
volatile LONG64 input_read;  // compressed bytes of the frames the workers are done with
size_t input_total;
volatile bool workers_started;  // read by a splash's thread; stays set once the workers began
size_t frame_buffer_size;  // the largest frame's content, when frame_buffer_capacity holds it

// Folders are made by one worker at a time: the set of known folders is shared.
SRWLOCK folder_lock = SRWLOCK_INIT;
SRWLOCK hook_lock = SRWLOCK_INIT;

struct worker {
  payload_decoder decoder;
  HANDLE thread;
  wchar_t name[entry_name_capacity];
  wchar_t path[launcher_path_capacity];
  // The last file's folder (folder_units units, -1 before the first): the next file is usually
  // beside it, and then its folders need no asking at all.
  wchar_t folder[launcher_path_capacity];
  size_t folder_units;
  wchar_t main_library[launcher_path_capacity];
  unsigned char* frame_buffer;  // frame_buffer_size bytes, or null: frames are decoded step by step
};

worker workers[worker_capacity];

void fail(failure_kind kind) { InterlockedCompareExchange(&failure, kind, no_failure); }

bool failed() { return failure != no_failure; }

// The folders above `w.path`, unless they are those of the worker's last file.
void make_folders(worker& w, size_t units) {
  size_t folder = units;
  while (folder > 0 && w.path[folder - 1] != L'\\') --folder;
  if (folder == w.folder_units && wmemcmp(w.path, w.folder, folder) == 0) return;
  AcquireSRWLockExclusive(&folder_lock);
  ensure_parent_directories(w.path);
  ReleaseSRWLockExclusive(&folder_lock);
  wmemcpy(w.folder, w.path, folder);
  w.folder_units = folder;
}

// Writes the entry whose name is in w.name, or with `write` false only reads past it; false when
// the run is to stop.
bool write_entry(worker& w, size_t name_units, bool flush, bool write) {
  if (target_units + 1 + name_units > launcher_path_capacity - 1) {
    fail(failed_path_too_long);
    return false;
  }
  wmemcpy(w.path + target_units + 1, w.name, name_units + 1);
  uint64_t size = 0;
  decode_status status = entry_read_size(&w.decoder, &size);
  if (status != decode_ok) {
    fail(failed_decoding);
    return false;
  }
  HANDLE file = INVALID_HANDLE_VALUE;
  if (write) {
    if (entry_hook) {
      AcquireSRWLockExclusive(&hook_lock);
      entry_hook(w.name, size);
      ReleaseSRWLockExclusive(&hook_lock);
    }
    make_folders(w, target_units + 1 + name_units);
    file = create_unpacked_file(w.path);
  }
  // Written straight from where the decoder holds it: no copy between decoding and the system.
  while (size > 0 && !failed()) {
    const unsigned char* data = nullptr;
    size_t count = 0;
    status = decoder_span(&w.decoder, size, &data, &count);
    if (status != decode_ok) {
      fail(failed_decoding);
      break;
    }
    DWORD written = 0;
    if (write && !WriteFile(file, data, static_cast<DWORD>(count), &written, nullptr)) fatal_unpack_write();
    size -= count;
  }
  if (!write) return size == 0;
  if (size == 0 && flush && !FlushFileBuffers(file)) fatal_unpack_write();
  CloseHandle(file);
  return size == 0;
}

// Walks frame `index` from its start: decodes it into files, or with `write` false only checks
// that it decodes to its end, checksum included. Every frame holds whole entries; the last one
// ends with the end marker and nothing after it.
void walk_frame(worker& w, size_t index, bool write) {
  decode_status started = decoder_start_frame(&w.decoder, frames[index].data, frames[index].size, w.frame_buffer,
                                              frame_buffer_size);
  if (started != decode_ok) return fail(failed_decoding);
  bool last = index + 1 == frame_count, flush = writer_flushes_each_file();
  for (bool first = true; !failed(); first = false) {
    size_t units = 0;
    decode_status why = decode_ok;
    entry_status read = entry_read_name(&w.decoder, w.name, entry_name_capacity, &units, &why);
    if (read == entry_name_too_long) return fail(failed_name_too_long);
    if (read != entry_ok) return fail(failed_decoding);
    if (units == 0) {
      // Only the last frame holds the end marker, after an entry of its own.
      if (!last || first) fail(failed_decoding);
      break;
    }
    if (!write_entry(w, units, flush, write)) return;
    if (write && first && index == 0) wbuf_copy(w.main_library, launcher_path_capacity, w.path);
    if (last) continue;
    bool at_end = false;
    decode_status status = decoder_at_end(&w.decoder, &at_end);
    if (status != decode_ok) return fail(failed_decoding);
    if (at_end) return;
  }
  if (failed()) return;
  // The end marker ends the frame: its checksum is checked before any file is trusted.
  bool at_end = false;
  decode_status status = decoder_at_end(&w.decoder, &at_end);
  if (status != decode_ok || !at_end) fail(failed_decoding);
}

// Decodes frame `index` into files. A frame decoded whole into the worker's buffer is checked,
// checksum and all, before its first file is made. One too large for the buffer, one that does
// not say its size, or one met without a buffer is decoded twice: once to check it, once to
// write it, so that damage never leaves a file cut short or wrong under its own name.
void extract_frame(worker& w, size_t index) {
  bool whole = w.frame_buffer && frame_content[index] <= frame_buffer_size;
  if (!whole) {
    walk_frame(w, index, false);
    if (failed()) return;
  }
  walk_frame(w, index, true);
}

DWORD WINAPI worker_main(void* parameter) {
  worker& w = *static_cast<worker*>(parameter);
  for (;;) {
    LONG next = InterlockedIncrement(&next_frame) - 1;
    if (failed() || static_cast<size_t>(next) >= frame_count) break;
    extract_frame(w, frame_order[next]);
    // Progress by whole frames: one takes tens of milliseconds.
    InterlockedExchangeAdd64(&input_read, static_cast<LONG64>(frames[frame_order[next]].size));
  }
  return 0;
}

int larger_frame_first(const void* a, const void* b) {
  uint16_t x = *static_cast<const uint16_t*>(a), y = *static_cast<const uint16_t*>(b);
  if (frame_content[x] != frame_content[y]) return frame_content[x] > frame_content[y] ? -1 : 1;
  return x < y ? -1 : 1;
}

int processor_count() {
  DWORD_PTR process = 0, system = 0;
  if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) return 1;
  int count = 0;
  for (; process; process &= process - 1) ++count;
  return count;
}

}  // namespace

frame_plan plan_frame_workers(const payload_frame* frames, size_t count, int processors) {
  frame_plan plan = {processors < worker_capacity ? processors : worker_capacity, 0};
  if (plan.workers < 1) plan.workers = 1;
  if (static_cast<size_t>(plan.workers) > count) plan.workers = static_cast<int>(count);
  // Each worker needs a buffer for the largest frame that fits one, and beside it the largest
  // window of a frame that does not: any worker may meet either kind.
  size_t window = 0;
  for (size_t i = 0; i < count; ++i) {
    unsigned long long content = ZSTD_getFrameContentSize(frames[i].data, frames[i].size);
    ZSTD_frameHeader header = {};
    if (content <= frame_buffer_capacity) {
      if (content > plan.buffer_size) plan.buffer_size = static_cast<size_t>(content);
    } else if (ZSTD_getFrameHeader(&header, frames[i].data, frames[i].size) == 0) {
      if (header.windowSize > window) window = static_cast<size_t>(header.windowSize);
    } else {
      // A header the library cannot read fails when decoded; until then it costs what the
      // largest window a launcher takes would.
      window = static_cast<size_t>(launcher_window_size_max);
    }
  }
  size_t need = plan.buffer_size + window;
  while (plan.workers > 1 && need * static_cast<size_t>(plan.workers) > worker_memory_budget) --plan.workers;
  return plan;
}

bool extract_frames_side_by_side(const unsigned char* region, size_t size, const wchar_t* target_directory,
                                 wchar_t* main_library, size_t main_library_capacity,
                                 void (*written)(const wchar_t* name, uint64_t size)) {
  frame_count = payload_split_frames(region, size, frames, split_frame_capacity);
  if (frame_count < 2) return false;
  frame_plan plan = plan_frame_workers(frames, frame_count, processor_count());
  int count = plan.workers;
  frame_buffer_size = plan.buffer_size;

  target = target_directory;
  target_units = wcslen(target_directory);
  if (target_units + 2 > launcher_path_capacity) abort();
  entry_hook = written;
  next_frame = 0;
  failure = no_failure;
  input_read = 0;
  input_total = size;
  for (size_t i = 0; i < frame_count; ++i) {
    // A frame that does not say its size counts as the largest.
    frame_content[i] = ZSTD_getFrameContentSize(frames[i].data, frames[i].size);
    frame_order[i] = static_cast<uint16_t>(i);
  }
  qsort(frame_order, frame_count, sizeof frame_order[0], larger_frame_first);
  for (int i = 0; i < count; ++i) {
    worker& w = workers[i];
    if (decoder_open(&w.decoder, region, 0) != decode_ok) fatal_plain("Error, couldn't allocate memory.");
    // Without the buffer the frames are decoded step by step, as large ones are anyway.
    w.frame_buffer = frame_buffer_size ? static_cast<unsigned char*>(malloc(frame_buffer_size)) : nullptr;
    wmemcpy(w.path, target_directory, target_units);
    w.path[target_units] = L'\\';
    w.folder_units = static_cast<size_t>(-1);
    w.main_library[0] = 0;
    w.thread = nullptr;
  }
  workers_started = true;
  // The calling thread is the first worker; the others start beside it.
  for (int i = 1; i < count; ++i) {
    workers[i].thread = CreateThread(nullptr, worker_stack_reservation, worker_main, &workers[i],
                                     STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (!workers[i].thread) fail(failed_no_memory);
  }
  worker_main(&workers[0]);
  for (int i = 1; i < count; ++i) {
    if (!workers[i].thread) continue;
    WaitForSingleObject(workers[i].thread, INFINITE);
    CloseHandle(workers[i].thread);
  }
  for (int i = 0; i < count; ++i) {
    if (workers[i].main_library[0]) wbuf_copy(main_library, main_library_capacity, workers[i].main_library);
    decoder_close(&workers[i].decoder);
    free(workers[i].frame_buffer);
  }
  switch (failure) {
    case no_failure:
      // Every file is written: the bar stays full while the run goes on to its next steps.
      input_read = static_cast<LONG64>(input_total);
      return true;
    case failed_name_too_long:
    case failed_path_too_long: abort();
    case failed_no_memory: fatal_plain("Error, couldn't allocate memory.");
    default: fatal_plain("Error, couldn't decode attached data.");
  }
}

unsigned frames_progress_permille() {
  if (!workers_started || input_total == 0) return static_cast<unsigned>(-1);
  return static_cast<unsigned>(static_cast<double>(input_read) / static_cast<double>(input_total) * 1000);
}
