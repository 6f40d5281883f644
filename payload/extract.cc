#include <stdlib.h>
#include <windows.h>

#include "base/diagnostics.h"
#include "paths/path_spec.h"
#include "base/wide_buffer.h"
#include "payload/file_writer.h"
#include "payload/frame_extract.h"
#include "payload/payload.h"

static wchar_t entry_name[entry_name_capacity];
static wchar_t entry_path[launcher_path_capacity];
static void (*entry_hook)(const wchar_t* name, uint64_t size) = nullptr;

void payload_on_entry(void (*written)(const wchar_t* name, uint64_t size)) { entry_hook = written; }

// Directories known to exist, in the order they became known; copies are never released.
static wchar_t* known_directories[known_directory_capacity];
static int known_directories_count = 0;
static bool home_known = false;

int known_directory_count() { return known_directories_count; }

static void remember_directory(const wchar_t* directory) {
  wchar_t* copy = _wcsdup(directory);
  // An entry without a string would break every later comparison.
  if (!copy) abort();
  known_directories[known_directories_count++] = copy;
}

bool create_directory_cached(const wchar_t* directory) {
  for (int i = 0; i < known_directories_count; ++i) {
    if (wcscmp(directory, known_directories[i]) == 0) return true;
  }
  if (directory[0] != 0 && directory[1] == L':' && directory[2] == 0) return true;
  if (CreateDirectoryW(directory, nullptr)) {
    if (known_directories_count < known_directory_capacity) remember_directory(directory);
    return true;
  }
  DWORD error = GetLastError();
  if (error == ERROR_ALREADY_EXISTS) {
    if (known_directories_count < known_directory_capacity) remember_directory(directory);
    return true;
  }
  // The profile folder counts as existing without ever being created, for a system that
  // refuses to make it again with another error than "exists". A folder whose parent is
  // missing cannot be that folder, and that is the usual failure (a new folder inside a new
  // folder), so only the other failures ask for it: asking loads Shell32 and what it pulls
  // in (the window and font libraries), which costs a parent more memory and time than the
  // rest of a small unpack.
  if (error == ERROR_PATH_NOT_FOUND) return false;
  if (!home_known) {
    home_known = true;
    wchar_t home[launcher_path_capacity];
    if (!expand_path_spec(home, L"{HOME}", launcher_path_capacity)) fatal_expand_spec(L"{HOME}");
    if (known_directories_count < known_directory_capacity) remember_directory(home);
    if (wcscmp(directory, home) == 0) return true;
  }
  return false;
}

// Tries the file's own folder first; only when a folder cannot be made are its ancestors
// tried, and then the failed ones are made again, outermost first. A name may pass through
// hundreds of new folders, so this walks one buffer up and back down instead of recursing
// with a path copy per level, which overflowed the stack.
void ensure_parent_directories(const wchar_t* path) {
  wchar_t directory[launcher_path_capacity];
  wbuf_copy(directory, launcher_path_capacity, path);
  size_t length = wcslen(directory);
  size_t failed = 0;  // folders cut off on the way up that could not be made then
  bool done = false;  // the string ends at a folder already settled; step down past it
  while (length > 0) {
    size_t i = length - 1;
    while (i > 0 && directory[i] != L'\\') --i;
    if (i == 0) break;  // the first unit is never taken as a separator
    directory[i] = 0;
    length = i;
    if (create_directory_cached(directory)) {
      done = true;
      break;
    }
    ++failed;
  }
  // Back down: each cut is undone by putting its separator back; the next cut still ends the string.
  for (; failed > 0; --failed) {
    if (done) {
      directory[length] = L'\\';
      length = wcslen(directory);
    }
    done = true;
    create_directory_cached(directory);
  }
}

void payload_extract(const wchar_t* target_directory, wchar_t* main_library, size_t main_library_capacity,
                     extract_scope scope, volatile bool* unpacking_started) {
  *unpacking_started = true;
  if (main_library_capacity > 0) main_library[0] = 0;
  entry_path[0] = 0;
  wbuf_append(entry_path, launcher_path_capacity, target_directory);
  wbuf_append(entry_path, launcher_path_capacity, L"\\");
  size_t prefix_units = wcslen(entry_path);
  if (scope == extract_every_entry) {
    const unsigned char* region = nullptr;
    size_t region_size = 0;
    payload_unread(&region, &region_size);
    if (extract_frames_side_by_side(region, region_size, target_directory, main_library, main_library_capacity,
                                    entry_hook))
      return;
  }
  bool writing = false;
  for (;;) {
    if (!payload_read_name(entry_name, entry_name_capacity)) break;
    size_t name_units = wcslen(entry_name);
    if (prefix_units + name_units > launcher_path_capacity - 1) {
      writer_finish();  // what came before the entry is written, as it would have been
      abort();
    }
    wmemcpy(entry_path + prefix_units, entry_name, name_units + 1);

    if (!writing) {
      wbuf_copy(main_library, main_library_capacity, entry_path);
      if (scope == extract_first_name_only) return;
      writer_start();
      // A report that ends the run comes only after every file before it is written.
      payload_on_failure(writer_finish);
      writing = true;
    }

    uint64_t size = 0;
    payload_read(&size, 8);  // little-endian on this platform, as in the stream
    if (entry_hook) entry_hook(entry_name, size);
    size_t piece = 0;
    unsigned char* to = writer_begin_file(entry_path, prefix_units + name_units, size, &piece);
    do {
      // Requests of the old write size: where a damaged stream fails depends on them.
      for (size_t done = 0; done < piece;) {
        size_t n = piece - done < payload_request_size ? piece - done : payload_request_size;
        payload_read(to + done, n);
        done += n;
      }
      to = writer_piece_filled(&piece);
    } while (to);
  }
  if (writing) {
    writer_finish();
    payload_on_failure(nullptr);
  }
}
