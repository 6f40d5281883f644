/* What any Windows program pays under Wine to write a tree and remove it again, with the
   fewest calls the system allows: the floor under the launcher's per-file cost. Takes the
   workload folder and a target folder; lists the workload (not timed), then writes the same
   folders and files with the same sizes (one CreateFileW, one WriteFile, one CloseHandle a
   file; zeros, so nothing is decoded) and removes them (DeleteFileW, RemoveDirectoryW),
   and prints "write=<s> remove=<s> files=<n> folders=<n>".

   With --whole LIST TARGET it is the floor of a whole unpacking process instead, timed from
   outside as the launcher is, its start included: it reads the tree from LIST (lines "D NAME"
   and "F SIZE NAME", names relative and "\\"-separated, folders before what is in them; a file
   to read is cheaper than walking the workload), writes every file as zeros in writes of at
   most 1 MiB, as a decoding unpacker would hand them over, and removes the tree.

   With --removal LIST TARGET it weighs ways of removing that tree, each after writing it anew,
   rounds taking turns: DeleteFileW; the calls the launcher's careful walk makes per file (open
   without following a link, the handle's name, the deletion request, close); and the same
   without the name. It prints the medians in milliseconds. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>

#define PATH_UNITS 32768

typedef struct {
  wchar_t* name; /* relative, "\\"-separated */
  DWORD size;    /* bytes; a folder has FOLDER */
} entry;
#define FOLDER 0xFFFFFFFFu

static entry* entries;
static size_t count, capacity, files, folders;
static DWORD largest;

static void add(const wchar_t* name, DWORD size) {
  if (count == capacity) {
    capacity = capacity ? 2 * capacity : 1024;
    entries = realloc(entries, capacity * sizeof *entries);
    if (!entries) exit(93);
  }
  entries[count].name = _wcsdup(name);
  entries[count].size = size;
  ++count;
  if (size == FOLDER) {
    ++folders;
  } else {
    ++files;
    if (size > largest) largest = size;
  }
}

/* Folders before what is in them, as an unpacker makes them. */
static void list(const wchar_t* root, const wchar_t* below) {
  static wchar_t pattern[PATH_UNITS];
  swprintf(pattern, PATH_UNITS, L"%ls%ls\\*", root, below);
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileExW(pattern, FindExInfoBasic, &found, FindExSearchNameMatch, NULL, 0);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0) continue;
    wchar_t name[PATH_UNITS];
    swprintf(name, PATH_UNITS, L"%ls\\%ls", below, found.cFileName);
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      add(name, FOLDER);
      list(root, name);
    } else {
      add(name, found.nFileSizeLow);
    }
  } while (FindNextFileW(search, &found));
  FindClose(search);
}

static double now(void) {
  LARGE_INTEGER count_now, frequency;
  QueryPerformanceCounter(&count_now);
  QueryPerformanceFrequency(&frequency);
  return (double)count_now.QuadPart / (double)frequency.QuadPart;
}

#define WHOLE_PIECE (1u << 20)

static int read_list(const wchar_t* list_path) {
  FILE* list_file = _wfopen(list_path, L"r");
  if (!list_file) return 91;
  static char line[PATH_UNITS];
  static wchar_t name[PATH_UNITS];
  while (fgets(line, sizeof line, list_file)) {
    size_t n = strlen(line);
    while (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r')) line[--n] = 0;
    if (line[0] == 'D') {
      swprintf(name, PATH_UNITS, L"\\%hs", line + 2);
      add(name, FOLDER);
    } else if (line[0] == 'F') {
      char* rest = NULL;
      unsigned long size = strtoul(line + 2, &rest, 10);
      swprintf(name, PATH_UNITS, L"\\%hs", rest + 1);
      add(name, (DWORD)size);
    }
  }
  fclose(list_file);
  return 0;
}

static int write_tree(const wchar_t* target) {
  static void* zeros;
  if (!zeros) zeros = calloc(1, WHOLE_PIECE);
  if (!zeros) return 93;
  static wchar_t path[PATH_UNITS];
  if (!CreateDirectoryW(target, NULL)) return 94;
  for (size_t i = 0; i < count; ++i) {
    swprintf(path, PATH_UNITS, L"%ls%ls", target, entries[i].name);
    if (entries[i].size == FOLDER) {
      if (!CreateDirectoryW(path, NULL)) return 95;
      continue;
    }
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return 96;
    for (DWORD left = entries[i].size; left > 0;) {
      DWORD piece = left < WHOLE_PIECE ? left : WHOLE_PIECE, written = 0;
      if (!WriteFile(file, zeros, piece, &written, NULL)) return 96;
      left -= piece;
    }
    CloseHandle(file);
  }
  return 0;
}

enum { BY_PATH, CAREFUL, CAREFUL_NAMELESS, WAYS };

static int remove_tree(const wchar_t* target, int way) {
  static wchar_t path[PATH_UNITS];
  static union {
    FILE_NAME_INFO info;
    wchar_t units[PATH_UNITS + 8];
  } name;
  for (size_t i = count; i > 0; --i) {
    swprintf(path, PATH_UNITS, L"%ls%ls", target, entries[i - 1].name);
    if (entries[i - 1].size == FOLDER) {
      if (!RemoveDirectoryW(path)) return 97;
    } else if (way == BY_PATH) {
      if (!DeleteFileW(path)) return 97;
    } else {
      HANDLE file = CreateFileW(path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
      FILE_DISPOSITION_INFO gone = {TRUE};
      if (file == INVALID_HANDLE_VALUE ||
          (way == CAREFUL && !GetFileInformationByHandleEx(file, FileNameInfo, &name, sizeof name)) ||
          !SetFileInformationByHandle(file, FileDispositionInfo, &gone, sizeof gone)) {
        return 97;
      }
      CloseHandle(file);
    }
  }
  return RemoveDirectoryW(target) ? 0 : 97;
}

static int whole(const wchar_t* list_path, const wchar_t* target) {
  int failed = read_list(list_path);
  if (!failed) failed = write_tree(target);
  return failed ? failed : remove_tree(target, BY_PATH);
}

static int by_value(const void* a, const void* b) {
  double x = *(const double*)a, y = *(const double*)b;
  return (x > y) - (x < y);
}

#define REMOVAL_ROUNDS 7

static int removal(const wchar_t* list_path, const wchar_t* target) {
  int failed = read_list(list_path);
  static double taken[WAYS][REMOVAL_ROUNDS];
  for (int round = 0; round < REMOVAL_ROUNDS && !failed; ++round) {
    for (int way = 0; way < WAYS && !failed; ++way) {
      failed = write_tree(target);
      double start = now();
      if (!failed) failed = remove_tree(target, way);
      taken[way][round] = now() - start;
    }
  }
  if (failed) return failed;
  for (int way = 0; way < WAYS; ++way) qsort(taken[way], REMOVAL_ROUNDS, sizeof(double), by_value);
  printf("delete=%.1f careful=%.1f careful_nameless=%.1f files=%zu\n", taken[BY_PATH][REMOVAL_ROUNDS / 2] * 1e3,
         taken[CAREFUL][REMOVAL_ROUNDS / 2] * 1e3, taken[CAREFUL_NAMELESS][REMOVAL_ROUNDS / 2] * 1e3, files);
  return 0;
}

int wmain(int argc, wchar_t** argv) {
  if (argc == 4 && wcscmp(argv[1], L"--whole") == 0) return whole(argv[2], argv[3]);
  if (argc == 4 && wcscmp(argv[1], L"--removal") == 0) return removal(argv[2], argv[3]);
  if (argc != 3) return 90;
  list(argv[1], L"");
  void* zeros = calloc(1, largest ? largest : 1);
  if (!zeros) return 93;
  static wchar_t path[PATH_UNITS];
  if (!CreateDirectoryW(argv[2], NULL)) return 94;

  double start = now();
  for (size_t i = 0; i < count; ++i) {
    swprintf(path, PATH_UNITS, L"%ls%ls", argv[2], entries[i].name);
    if (entries[i].size == FOLDER) {
      if (!CreateDirectoryW(path, NULL)) return 95;
      continue;
    }
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
    DWORD written = 0;
    if (file == INVALID_HANDLE_VALUE || !WriteFile(file, zeros, entries[i].size, &written, NULL)) return 96;
    CloseHandle(file);
  }
  double written_at = now();
  for (size_t i = count; i > 0; --i) {
    swprintf(path, PATH_UNITS, L"%ls%ls", argv[2], entries[i - 1].name);
    if (!(entries[i - 1].size == FOLDER ? RemoveDirectoryW(path) : DeleteFileW(path))) return 97;
  }
  if (!RemoveDirectoryW(argv[2])) return 97;
  double removed_at = now();
  printf("write=%.6f remove=%.6f files=%zu folders=%zu\n", written_at - start, removed_at - written_at, files, folders);
  return 0;
}
