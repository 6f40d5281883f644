// Decodes a whole payload blob through the launcher's decoder and entry walk, natively, the
// way the launcher consumes it (names by units, sizes, content in 32 KiB requests), and
// prints the time and the process's peak resident memory. Built for Windows too (bench/run
// builds it with MinGW against the launcher's own zstd), so the decoder the launcher carries
// is timed beside the native one on the same blob; there it reads the blob into memory and
// prints no memory figures. On a loaded machine the process's own processor time (cpu=, user
// and system) tells builds apart where the wall clock (seconds=) mostly shows the load.
#include <stdio.h>
#include <stdlib.h>
#include <chrono>
#ifdef _WIN32
#include <string>
#include <windows.h>
#else
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>
#endif

#include "payload/entry_stream.h"
#include "payload/stream_decoder.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: payload_read_bench BLOB\n");
    return 2;
  }
#ifdef _WIN32
  FILE* file = fopen(argv[1], "rb");
  if (!file) {
    perror(argv[1]);
    return 1;
  }
  std::string bytes_read;
  static char block[1 << 20];
  for (size_t n; (n = fread(block, 1, sizeof block, file)) > 0;) bytes_read.append(block, n);
  fclose(file);
  auto* blob = reinterpret_cast<const unsigned char*>(bytes_read.data());
  size_t blob_size = bytes_read.size();
#else
  int fd = open(argv[1], O_RDONLY);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || st.st_size < 3) {
    perror(argv[1]);
    return 1;
  }
  auto* blob = static_cast<const unsigned char*>(mmap(nullptr, st.st_size, PROT_READ, MAP_PRIVATE, fd, 0));
  size_t blob_size = st.st_size;
#endif
  if (blob_size < 3) return 1;
  auto start = std::chrono::steady_clock::now();
  payload_decoder decoder;
  if (decoder_open(&decoder, blob + 3, blob_size - 3) != decode_ok) return 1;
  static unsigned char chunk[32768];
  uint64_t entries = 0, bytes = 0;
  for (;;) {
    char16_t name[entry_name_capacity];
    size_t length = 0;
    decode_status why;
    if (entry_read_name(&decoder, name, entry_name_capacity, &length, &why) != entry_ok) return 1;
    if (length == 0) break;
    uint64_t size = 0;
    if (entry_read_size(&decoder, &size) != decode_ok) return 1;
    while (size > 0) {
      uint64_t n = size < sizeof chunk ? size : sizeof chunk;
      if (decoder_read(&decoder, chunk, n) != decode_ok) return 1;
      size -= n;
      bytes += n;
    }
    ++entries;
  }
  // The blob's pages are file-backed and counted in the resident set; the decoder's own memory
  // is the anonymous part, read while it is still allocated.
  long anonymous = 0, peak = 0;
#ifndef _WIN32
  if (FILE* status = fopen("/proc/self/status", "r")) {
    char line[256];
    while (fgets(line, sizeof line, status)) {
      if (sscanf(line, "RssAnon: %ld kB", &anonymous) == 1) break;
    }
    fclose(status);
  }
#endif
  decoder_close(&decoder);
  auto end = std::chrono::steady_clock::now();
#ifndef _WIN32
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  peak = usage.ru_maxrss;
#endif
  double cpu = 0;
#ifdef _WIN32
  FILETIME created, ended, kernel, user;
  if (GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user)) {
    auto ticks = [](FILETIME t) { return (double)(((unsigned long long)t.dwHighDateTime << 32) | t.dwLowDateTime); };
    cpu = (ticks(kernel) + ticks(user)) / 1e7;
  }
#else
  cpu = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
#endif
  printf("cpu=%.4f seconds=%.4f entries=%llu bytes=%llu peak_rss=%ld anonymous=%ld\n",
         cpu, std::chrono::duration<double>(end - start).count(), (unsigned long long)entries,
         (unsigned long long)bytes, peak * 1024L, anonymous * 1024L);
  return 0;
}
