#include "launcher/cache_folder.h"

#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "base/wide_buffer.h"
#include "formats/payload.h"
#include "formats/stub_descriptor.h"

namespace {

// A file found below the folder; its name (relative, backslashes) lives in the listing's pool.
struct listed_file {
  size_t name_at;
  uint32_t name_units;
  uint64_t size, write_time;
};

struct folder_listing {
  listed_file* files = nullptr;
  size_t count = 0, capacity = 0;
  wchar_t* names = nullptr;
  size_t names_used = 0, names_capacity = 0;
  bool complete = true;  ///< false: memory ran out or a name was too long to follow

  ~folder_listing() {
    free(files);
    free(names);
  }
  const wchar_t* name(const listed_file& file) const { return names + file.name_at; }
};

bool grow(void** buffer, size_t* capacity, size_t needed, size_t unit) {
  if (needed <= *capacity) return true;
  size_t wanted = *capacity ? *capacity : 256;
  while (wanted < needed) wanted *= 2;
  void* larger = realloc(*buffer, wanted * unit);
  if (!larger) return false;
  *buffer = larger;
  *capacity = wanted;
  return true;
}

void add_file(folder_listing& out, const wchar_t* name, size_t units, uint64_t size, uint64_t write_time) {
  if (!grow(reinterpret_cast<void**>(&out.files), &out.capacity, out.count + 1, sizeof(listed_file)) ||
      !grow(reinterpret_cast<void**>(&out.names), &out.names_capacity, out.names_used + units, sizeof(wchar_t))) {
    out.complete = false;
    return;
  }
  wmemcpy(out.names + out.names_used, name, units);
  out.files[out.count++] = {out.names_used, static_cast<uint32_t>(units), size, write_time};
  out.names_used += units;
}

// Lists one folder (`path`, `length` units; the cache folder is its first `root_length`) in
// fetches of cache_listing_capacity bytes through a handle that shares delete access and takes
// none: a start moving a damaged folder aside holds it with delete access, which a search by
// name (sharing no delete access under Wine) would be refused by, and this listing must never
// refuse such a start either. Files go to `out`, folders (named relative to the root) to
// `folders`, which the caller lists next.
void list_one(wchar_t* path, size_t length, size_t root_length, unsigned char* fetch, folder_listing& out,
              folder_listing& folders) {
  HANDLE handle = CreateFileW(path, FILE_LIST_DIRECTORY | SYNCHRONIZE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    out.complete = false;
    return;
  }
  const size_t record_units = wcslen(L"" TAVREN_CACHE_RECORD_NAME);
  FILE_INFO_BY_HANDLE_CLASS kind = FileFullDirectoryRestartInfo;
  while (GetFileInformationByHandleEx(handle, kind, fetch, cache_listing_capacity)) {
    kind = FileFullDirectoryInfo;
    for (size_t at = 0;;) {
      const auto* entry = reinterpret_cast<const FILE_FULL_DIR_INFO*>(fetch + at);
      const wchar_t* name = entry->FileName;
      size_t units = entry->FileNameLength / sizeof(wchar_t);
      bool dots = name[0] == L'.' && (units == 1 || (units == 2 && name[1] == L'.'));
      DWORD attributes = entry->FileAttributes;
      if (dots || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        // A link is no file we wrote: neither entered nor listed, so a recorded name it took is missing.
      } else if (length + 1 + units + 1 > launcher_path_capacity) {
        out.complete = false;
      } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        path[length] = L'\\';
        wmemcpy(path + length + 1, name, units);
        add_file(folders, path + root_length + 1, length + units - root_length, 0, 0);
      } else if (!(length == root_length && units == record_units &&
                   _wcsnicmp(name, L"" TAVREN_CACHE_RECORD_NAME, units) == 0)) {
        path[length] = L'\\';
        wmemcpy(path + length + 1, name, units);
        add_file(out, path + root_length + 1, length + units - root_length, entry->EndOfFile.QuadPart,
                 entry->LastWriteTime.QuadPart);
      }
      if (entry->NextEntryOffset == 0) break;
      at += entry->NextEntryOffset;
    }
  }
  if (GetLastError() != ERROR_NO_MORE_FILES) out.complete = false;
  CloseHandle(handle);
  path[length] = 0;
}

// The file system's order of names: two entries of a payload that differ only in case are
// one file on the disk, written by the later one.
int compare_names(const wchar_t* a, size_t a_units, const wchar_t* b, size_t b_units) {
  return CompareStringOrdinal(a, static_cast<int>(a_units), b, static_cast<int>(b_units), TRUE) - CSTR_EQUAL;
}

// By name, then in the order the files were added: of names the disk holds as one, the last
// added comes last.
const folder_listing* sorting;
int compare_listed(const void* a, const void* b) {
  const listed_file& x = *static_cast<const listed_file*>(a);
  const listed_file& y = *static_cast<const listed_file*>(b);
  int order = compare_names(sorting->name(x), x.name_units, sorting->name(y), y.name_units);
  return order != 0 ? order : x.name_at < y.name_at ? -1 : x.name_at > y.name_at ? 1 : 0;
}

// Lists `folder` sorted by name, a level at a time, so one fetch buffer serves every folder;
// false when the walk could not see everything.
bool list_folder(const wchar_t* folder, folder_listing& out) {
  wchar_t* path = static_cast<wchar_t*>(malloc(launcher_path_capacity * sizeof(wchar_t)));
  unsigned char* fetch = static_cast<unsigned char*>(malloc(cache_listing_capacity));
  size_t root_length = wcslen(folder);
  folder_listing folders;
  if (path && fetch && root_length + 1 < launcher_path_capacity) {
    wmemcpy(path, folder, root_length + 1);
    list_one(path, root_length, root_length, fetch, out, folders);
    for (size_t i = 0; i < folders.count && out.complete && folders.complete; ++i) {
      const listed_file& below = folders.files[i];
      path[root_length] = L'\\';
      wmemcpy(path + root_length + 1, folders.name(below), below.name_units);
      size_t length = root_length + 1 + below.name_units;
      path[length] = 0;
      list_one(path, length, root_length, fetch, out, folders);
    }
  } else {
    out.complete = false;
  }
  if (!folders.complete) out.complete = false;
  free(fetch);
  free(path);
  sorting = &out;
  if (out.count > 1) qsort(out.files, out.count, sizeof(listed_file), compare_listed);
  return out.complete;
}

void record_path(wchar_t* path, const wchar_t* folder) {
  wbuf_copy(path, launcher_path_capacity, folder);
  wbuf_append(path, launcher_path_capacity, L"\\" TAVREN_CACHE_RECORD_NAME);
}

void put_u32(unsigned char* at, uint32_t value) { memcpy(at, &value, 4); }  // little-endian, as the stream
void put_u64(unsigned char* at, uint64_t value) { memcpy(at, &value, 8); }
uint32_t get_u32(const unsigned char* at) {
  uint32_t value;
  memcpy(&value, at, 4);
  return value;
}
uint64_t get_u64(const unsigned char* at) {
  uint64_t value;
  memcpy(&value, at, 8);
  return value;
}

// No file's last-write time: FILETIME values stop at 0x7FFFFFFFFFFFFFFF.
constexpr uint64_t never_written = ~uint64_t{0};

// The payload's entries, noted as the one install of this process writes them.
folder_listing g_noted;

// The record of `folder`, read whole (`*bytes` long), or null: missing, unreadable, too large,
// shorter than a header, or of another layout. The caller frees it.
unsigned char* read_record(const wchar_t* folder, DWORD* bytes) {
  wchar_t path[launcher_path_capacity];
  record_path(path, folder);
  HANDLE handle = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  LARGE_INTEGER size;
  unsigned char* record = nullptr;
  *bytes = 0;
  if (GetFileSizeEx(handle, &size) && size.QuadPart >= static_cast<LONGLONG>(cache_record_header_size) &&
      size.QuadPart <= cache_record_size_limit) {
    record = static_cast<unsigned char*>(malloc(static_cast<size_t>(size.QuadPart)));
    DWORD got = 0;
    if (record && ReadFile(handle, record, static_cast<DWORD>(size.QuadPart), &got, nullptr)) *bytes = got;
  }
  CloseHandle(handle);
  if (*bytes < cache_record_header_size || memcmp(record, TAVREN_CACHE_RECORD_MARK, 16) != 0) {
    free(record);
    return nullptr;
  }
  return record;
}

}  // namespace

void cache_record_note_entry(const wchar_t* name, uint64_t size) { add_file(g_noted, name, wcslen(name), size, 0); }

DWORD write_cache_record(const wchar_t* folder, const unsigned char key[content_key_size],
                         const unsigned char product[cache_product_size]) {
  if (!g_noted.complete) return ERROR_NOT_ENOUGH_MEMORY;
  folder_listing listing;
  if (!list_folder(folder, listing)) return listing.count ? ERROR_FILENAME_EXCED_RANGE : ERROR_NOT_ENOUGH_MEMORY;
  sorting = &g_noted;
  if (g_noted.count > 1) qsort(g_noted.files, g_noted.count, sizeof(listed_file), compare_listed);
  // Of entries the disk holds as one file, the last one written stands for it.
  size_t kept = 0;
  for (size_t i = 0; i < g_noted.count; ++i) {
    const listed_file& entry = g_noted.files[i];
    if (i + 1 < g_noted.count &&
        compare_names(g_noted.name(entry), entry.name_units, g_noted.name(g_noted.files[i + 1]),
                      g_noted.files[i + 1].name_units) == 0)
      continue;
    g_noted.files[kept++] = entry;
  }
  g_noted.count = kept;
  size_t units = 0;
  for (size_t i = 0; i < g_noted.count; ++i) units += g_noted.files[i].name_units;
  size_t bytes = cache_record_header_size + g_noted.count * cache_record_entry_fixed + units * sizeof(wchar_t);
  if (bytes > cache_record_size_limit) return ERROR_FILENAME_EXCED_RANGE;
  unsigned char* record = static_cast<unsigned char*>(calloc(bytes, 1));
  if (!record) return ERROR_NOT_ENOUGH_MEMORY;
  memcpy(record, TAVREN_CACHE_RECORD_MARK, 16);
  memcpy(record + 16, key, content_key_size);
  put_u32(record + 24, static_cast<uint32_t>(g_noted.count));
  memcpy(record + 32, product, cache_product_size);
  unsigned char* at = record + cache_record_header_size;
  // What the payload holds, not what the disk shows: a file that went between its write and
  // now (an antivirus taking a new library) leaves an entry no folder can match.
  size_t found = 0;
  for (size_t i = 0; i < g_noted.count; ++i) {
    const listed_file& entry = g_noted.files[i];
    int order = -1;
    while (found < listing.count &&
           (order = compare_names(listing.name(listing.files[found]), listing.files[found].name_units,
                                  g_noted.name(entry), entry.name_units)) < 0)
      ++found;
    bool on_disk = found < listing.count && order == 0 && listing.files[found].size == entry.size;
    put_u64(at, entry.size);
    put_u64(at + 8, on_disk ? listing.files[found].write_time : never_written);
    put_u32(at + 16, entry.name_units);
    memcpy(at + cache_record_entry_fixed, g_noted.name(entry), entry.name_units * sizeof(wchar_t));
    at += cache_record_entry_fixed + entry.name_units * sizeof(wchar_t);
  }
  wchar_t path[launcher_path_capacity];
  record_path(path, folder);
  HANDLE handle = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD error = ERROR_SUCCESS;
  if (handle == INVALID_HANDLE_VALUE) {
    error = GetLastError();
  } else {
    DWORD written = 0;
    if (!WriteFile(handle, record, static_cast<DWORD>(bytes), &written, nullptr))
      error = GetLastError();
    else if (written != bytes)
      error = ERROR_DISK_FULL;
    else if (!FlushFileBuffers(handle))
      error = GetLastError();
    CloseHandle(handle);
  }
  free(record);
  // Consumed: the next record is of the next install's entries.
  g_noted.count = g_noted.names_used = 0;
  g_noted.complete = true;
  return error;
}

bool cache_folder_holds_product(const wchar_t* folder, const unsigned char product[cache_product_size]) {
  DWORD bytes = 0;
  unsigned char* record = read_record(folder, &bytes);
  bool ours = record && memcmp(record + 32, product, cache_product_size) == 0;
  free(record);
  return ours;
}

// Names the system may load code from when they lie beside an application: an executable or
// library the application loads by bare name, or a manifest or redirection file that changes
// where its libraries come from.
static bool loads_as_code(const wchar_t* name, size_t units) {
  static const wchar_t* const endings[] = {L".dll", L".exe", L".ocx", L".cpl", L".drv",
                                           L".sys", L".ax",  L".manifest", L".local"};
  for (const wchar_t* ending : endings) {
    size_t length = wcslen(ending);
    if (units >= length && _wcsnicmp(name + units - length, ending, length) == 0) return true;
  }
  return false;
}

bool cache_folder_intact(const wchar_t* folder, const unsigned char key[content_key_size], bool no_file_added) {
  DWORD bytes = 0;
  unsigned char* record = read_record(folder, &bytes);
  bool intact = record && memcmp(record + 16, key, content_key_size) == 0;
  folder_listing listing;
  if (intact) intact = list_folder(folder, listing);
  // A file on the disk that the record does not name: the application's own, or one planted
  // to be loaded in place of a system library.
  auto added_file_allowed = [&](const listed_file& file) {
    return !no_file_added && !loads_as_code(listing.name(file), file.name_units);
  };
  // Both are sorted alike: one pass finds each recorded file among those on disk.
  uint32_t count = intact ? get_u32(record + 24) : 0;
  size_t at = cache_record_header_size, found = 0;
  for (uint32_t i = 0; intact && i < count; ++i) {
    if (bytes - at < cache_record_entry_fixed) {
      intact = false;
      break;
    }
    uint64_t file_size = get_u64(record + at), write_time = get_u64(record + at + 8);
    uint32_t units = get_u32(record + at + 16);
    at += cache_record_entry_fixed;
    if (units > (bytes - at) / sizeof(wchar_t)) {
      intact = false;
      break;
    }
    wchar_t* name = reinterpret_cast<wchar_t*>(record + at);  // malloc's alignment, even offsets
    at += units * sizeof(wchar_t);
    int order = -1;
    while (intact && found < listing.count &&
           (order = compare_names(listing.name(listing.files[found]), listing.files[found].name_units, name, units)) < 0)
      intact = added_file_allowed(listing.files[found++]);
    intact = intact && found < listing.count && order == 0 && listing.files[found].size == file_size &&
             listing.files[found].write_time == write_time;
    if (intact) ++found;
  }
  if (intact && at != bytes) intact = false;
  while (intact && found < listing.count) intact = added_file_allowed(listing.files[found++]);
  free(record);
  return intact;
}

bool cache_digests_match(const wchar_t* folder, const unsigned char* table, uint32_t count) {
  unsigned char* chunk = static_cast<unsigned char*>(malloc(cache_digest_chunk));
  if (!chunk) return false;
  bool match = true;
  const unsigned char* at = table;
  wchar_t path[launcher_path_capacity];
  for (uint32_t i = 0; match && i < count; ++i) {
    const unsigned char* digest = at;
    uint64_t expected_size = get_u64(at + sha256_size);
    at += stub_digest_record_fixed;
    wbuf_copy(path, launcher_path_capacity, folder);
    wbuf_append(path, launcher_path_capacity, L"\\");
    size_t length = wcslen(path);
    // The table lies in our own read-only image: its names end within entry_name_capacity.
    for (size_t n = 0;; ++n, at += 2) {
      wchar_t unit = static_cast<wchar_t>(at[0] | (at[1] << 8));
      if (n >= entry_name_capacity || length + 1 >= launcher_path_capacity) abort();
      path[length] = unit;
      if (unit == 0) {
        at += 2;
        break;
      }
      ++length;
    }
    HANDLE file =
        CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      match = false;
      break;
    }
    sha256 sum;
    uint64_t total = 0;
    DWORD got = 0;
    while (ReadFile(file, chunk, cache_digest_chunk, &got, nullptr) && got > 0) {
      sum.add(chunk, got);
      total += got;
    }
    CloseHandle(file);
    unsigned char actual[sha256_size];
    sum.finish(actual);
    match = total == expected_size && memcmp(actual, digest, sha256_size) == 0;
  }
  free(chunk);
  return match;
}
