// Decodes a whole payload blob through the launcher's decoder and entry walk, natively, the
// way the launcher consumes it (names by units, sizes, content in 32 KiB requests), and
// prints the time and the process's peak resident memory.
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include "payload/entry_stream.h"
#include "payload/stream_decoder.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: payload_read_bench BLOB\n");
    return 2;
  }
  int fd = open(argv[1], O_RDONLY);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || st.st_size < 3) {
    perror(argv[1]);
    return 1;
  }
  auto* blob = static_cast<const unsigned char*>(mmap(nullptr, st.st_size, PROT_READ, MAP_PRIVATE, fd, 0));
  timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  payload_decoder decoder;
  if (decoder_open(&decoder, blob + 3, st.st_size - 3) != decode_ok) return 1;
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
  long anonymous = 0;
  if (FILE* status = fopen("/proc/self/status", "r")) {
    char line[256];
    while (fgets(line, sizeof line, status)) {
      if (sscanf(line, "RssAnon: %ld kB", &anonymous) == 1) break;
    }
    fclose(status);
  }
  decoder_close(&decoder);
  clock_gettime(CLOCK_MONOTONIC, &end);
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  printf("seconds=%.4f entries=%llu bytes=%llu peak_rss=%ld anonymous=%ld\n",
         (end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9, (unsigned long long)entries,
         (unsigned long long)bytes, usage.ru_maxrss * 1024L, anonymous * 1024L);
  return 0;
}
