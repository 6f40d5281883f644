// SHA-256 throughput of the portable code and of the processor's instructions, in one run,
// over the same buffer in the 1 MiB pieces the delta and update checks feed it.
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <vector>

#include "base/sha256.h"
#include "base/sha256_blocks.h"

namespace {

double seconds() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

// Best of `runs` passes, in MB/s (10^6 bytes).
double throughput(const std::vector<unsigned char>& data, int runs, unsigned char out[sha256_size]) {
  double best = 1e30;
  for (int run = 0; run < runs; ++run) {
    double start = seconds();
    sha256 digest;
    for (size_t at = 0; at < data.size(); at += size_t{1} << 20) digest.add(data.data() + at, size_t{1} << 20);
    digest.finish(out);
    double took = seconds() - start;
    if (took < best) best = took;
  }
  return data.size() / best / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  size_t mib = argc > 1 ? strtoul(argv[1], nullptr, 10) : 256;
  std::vector<unsigned char> data(mib << 20);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 2654435761u >> 13);
  unsigned char portable_out[sha256_size], fast_out[sha256_size];
  bool fast = sha256_use_portable(true);
  double portable = throughput(data, 3, portable_out);
  printf("| portable C++ | %.0f MB/s |\n", portable);
  if (!fast) {
    printf("(this processor has no SHA-256 instructions)\n");
    return 0;
  }
  sha256_use_portable(false);
  double accelerated = throughput(data, 3, fast_out);
  printf("| processor instructions | %.0f MB/s | %.1f x |\n", accelerated, accelerated / portable);
  for (size_t i = 0; i < sha256_size; ++i)
    if (portable_out[i] != fast_out[i]) {
      fprintf(stderr, "the two digests differ\n");
      return 1;
    }
  return 0;
}
