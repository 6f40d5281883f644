#include "payload/file_writer.h"

#include <windows.h>

#include "base/diagnostics.h"
#include "payload/payload.h"

namespace {

// Reserved, not committed: on Windows only the pages the folder and file calls touch count.
// Wine rounds any reservation up to 1 MiB and touches about 976 KiB of every new thread's
// stack region whatever the thread does, so there the thread costs that much in any case.
constexpr size_t writer_stack_reservation = 256 << 10;

// A record: this header, then (path_units != 0) the path and its terminator, then
// data_length bytes of content; each part padded to 8 bytes. A record without a path
// continues the file its predecessor opened.
struct record_header {
  uint32_t path_units;
  uint32_t closes_file;
  uint64_t data_length;
};

struct write_slot {
  size_t used;
  bool ends_writer;
  alignas(16) unsigned char bytes[write_slot_capacity];
};

size_t padded(size_t bytes) { return (bytes + 7) & ~size_t{7}; }

write_slot* slots;  // write_slot_count of them, kept for the life of the process
HANDLE writer_thread;
bool may_use_thread;  // more than one processor to run it on
// Slots handed over and not yet written, under ring_lock. A lock and two condition variables
// rather than two semaphores: under Wine every semaphore call is a round trip to the server,
// which is busy with the writer's own file calls, while these wait and wake in the process
// (futexes there, as in Windows' user mode). The thread that waits re-checks the count.
SRWLOCK ring_lock = SRWLOCK_INIT;
CONDITION_VARIABLE slot_freed = CONDITION_VARIABLE_INIT;
CONDITION_VARIABLE slot_handed = CONDITION_VARIABLE_INIT;
int full_count;

// The decoding thread's side.
int fill_index;
write_slot* filling;
record_header* open_record;
size_t open_record_head;  // header and path bytes of open_record
size_t piece_size;
uint64_t content_left;  // of the open file, after the current piece

// The writer's side.
bool flush_each_file;
int write_index;
HANDLE writer_file = INVALID_HANDLE_VALUE;
// The folder of the last file created: the next file is usually beside it, and then its
// folders need no asking at all.
wchar_t last_folder[launcher_path_capacity];
size_t last_folder_units;

void open_file(const wchar_t* path, size_t units) {
  size_t folder_units = units;
  while (folder_units > 0 && path[folder_units - 1] != L'\\') --folder_units;
  bool same_folder = folder_units == last_folder_units && wmemcmp(path, last_folder, folder_units) == 0;
  if (!same_folder) ensure_parent_directories(path);
  writer_file = create_unpacked_file(path);
  if (!same_folder) {
    wmemcpy(last_folder, path, folder_units);
    last_folder_units = folder_units;
  }
}

void close_open_file() {
  if (writer_file == INVALID_HANDLE_VALUE) return;
  CloseHandle(writer_file);
  writer_file = INVALID_HANDLE_VALUE;
}

void write_records(const write_slot* slot) {
  size_t at = 0;
  while (at < slot->used) {
    const auto* record = reinterpret_cast<const record_header*>(slot->bytes + at);
    at += sizeof(record_header);
    if (record->path_units != 0) {
      open_file(reinterpret_cast<const wchar_t*>(slot->bytes + at), record->path_units);
      at += padded((record->path_units + 1) * sizeof(wchar_t));
    }
    if (record->data_length != 0) {
      DWORD written = 0;
      if (!WriteFile(writer_file, slot->bytes + at, static_cast<DWORD>(record->data_length), &written, nullptr)) {
        fatal_unpack_write();
      }
      at += padded(static_cast<size_t>(record->data_length));
    }
    if (record->closes_file) {
      if (flush_each_file && !FlushFileBuffers(writer_file)) fatal_unpack_write();
      close_open_file();
    }
  }
}

DWORD WINAPI writer_main(void*) {
  for (;;) {
    AcquireSRWLockExclusive(&ring_lock);
    while (full_count == 0) SleepConditionVariableSRW(&slot_handed, &ring_lock, INFINITE, 0);
    ReleaseSRWLockExclusive(&ring_lock);
    const write_slot* slot = &slots[write_index];
    write_index = (write_index + 1) % write_slot_count;
    bool last = slot->ends_writer;
    write_records(slot);
    AcquireSRWLockExclusive(&ring_lock);
    --full_count;
    ReleaseSRWLockExclusive(&ring_lock);
    WakeConditionVariable(&slot_freed);
    if (last) break;
  }
  close_open_file();
  return 0;
}

void take_slot() {
  if (writer_thread) {
    // The slot taken next is free once fewer than all slots wait to be written.
    AcquireSRWLockExclusive(&ring_lock);
    while (full_count == write_slot_count) SleepConditionVariableSRW(&slot_freed, &ring_lock, INFINITE, 0);
    ReleaseSRWLockExclusive(&ring_lock);
  }
  filling = &slots[fill_index];
  fill_index = (fill_index + 1) % write_slot_count;
  filling->used = 0;
  filling->ends_writer = false;
}

bool more_than_one_processor() {
  DWORD_PTR process = 0, system = 0;
  if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) return false;
  return (process & (process - 1)) != 0;
}

// Creating a thread costs a Wine process about 10 ms, more than a small payload takes to
// write: the writer starts only when a second slot is about to be filled, and never for
// the last one.
bool start_writer_thread(const write_slot* handed) {
  full_count = 0;
  write_index = static_cast<int>(handed - slots);
  writer_thread =
      CreateThread(nullptr, writer_stack_reservation, writer_main, nullptr, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  return writer_thread != nullptr;
}

void hand_over(bool more_to_come) {
  write_slot* slot = filling;
  filling = nullptr;
  if (!writer_thread && more_to_come && may_use_thread && !start_writer_thread(slot)) {
    fatal_plain("Error, couldn't allocate memory.");
  }
  if (writer_thread) {
    AcquireSRWLockExclusive(&ring_lock);
    ++full_count;
    ReleaseSRWLockExclusive(&ring_lock);
    WakeConditionVariable(&slot_handed);
  } else {
    write_records(slot);
  }
}

unsigned char* start_piece(size_t head) {
  piece_size = write_slot_capacity - filling->used - head;
  if (piece_size > write_piece_capacity) piece_size = write_piece_capacity;
  if (content_left <= piece_size) {
    piece_size = static_cast<size_t>(content_left);
  } else {
    piece_size -= piece_size % payload_request_size;
  }
  content_left -= piece_size;
  open_record_head = head;
  return filling->bytes + filling->used + head;
}

}  // namespace

void writer_flush_each_file(bool flush) { flush_each_file = flush; }

bool writer_flushes_each_file() { return flush_each_file; }

HANDLE create_unpacked_file(const wchar_t* path) {
  // A new file, not one truncated: Wine truncates what it opens to replace, even a file it
  // has just made, and on ext4 a file truncated to nothing is flushed to disk when it is
  // closed, which made every later delete of it wait for the disk (milliseconds a file).
  // A name that exists already (a payload may carry one twice) is replaced as before, and a
  // failure is reported as that open reports it.
  HANDLE file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_NEW, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) fatal_open_for_writing(path);
  return file;
}

void writer_start() {
  if (!slots) {
    slots = static_cast<write_slot*>(
        VirtualAlloc(nullptr, sizeof(write_slot) * write_slot_count, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (!slots) fatal_plain("Error, couldn't allocate memory.");
  }
  fill_index = 0;
  write_index = 0;
  filling = nullptr;
  last_folder_units = static_cast<size_t>(-1);
  writer_thread = nullptr;
  may_use_thread = more_than_one_processor();
}

unsigned char* writer_begin_file(const wchar_t* path, size_t path_units, uint64_t size, size_t* piece) {
  size_t head = sizeof(record_header) + padded((path_units + 1) * sizeof(wchar_t));
  // A file that fits a piece is never split over two slots, so it takes one write; a larger
  // one starts a slot of its own.
  size_t wanted = head + (size < write_piece_capacity ? static_cast<size_t>(size) : write_piece_capacity);
  if (filling && write_slot_capacity - filling->used < wanted) hand_over(true);
  if (!filling) take_slot();
  open_record = reinterpret_cast<record_header*>(filling->bytes + filling->used);
  open_record->path_units = static_cast<uint32_t>(path_units);
  open_record->closes_file = 0;
  open_record->data_length = 0;
  wchar_t* copy = reinterpret_cast<wchar_t*>(open_record + 1);
  wmemcpy(copy, path, path_units);
  copy[path_units] = 0;
  content_left = size;
  unsigned char* to = start_piece(head);
  *piece = piece_size;
  return to;
}

unsigned char* writer_piece_filled(size_t* piece) {
  open_record->data_length = piece_size;
  open_record->closes_file = content_left == 0;
  filling->used += open_record_head + padded(piece_size);
  if (content_left == 0) return nullptr;
  hand_over(true);
  take_slot();
  open_record = reinterpret_cast<record_header*>(filling->bytes);
  open_record->path_units = 0;
  open_record->closes_file = 0;
  open_record->data_length = 0;
  unsigned char* to = start_piece(sizeof(record_header));
  *piece = piece_size;
  return to;
}

void writer_finish() {
  if (!slots) return;
  if (filling && filling->used != 0) hand_over(false);
  if (writer_thread) {
    if (!filling) take_slot();
    filling->ends_writer = true;
    hand_over(false);
    WaitForSingleObject(writer_thread, INFINITE);
    CloseHandle(writer_thread);
    writer_thread = nullptr;
  }
  filling = nullptr;
  close_open_file();
}
