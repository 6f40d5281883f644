#include "packer/pack_request.h"

#include <stdio.h>

#include "packer/host.h"
#include "packer/names.h"
#include "packer/pack_error.h"
#include "packer/progress.h"

void check_pack_request(const pack_request& r) {
  int log = r.compression.window_log;
  if (log != 0 && log > launcher_window_log_max)
    throw pack_error("--window-log " + std::to_string(log) + " is too large: the launcher decodes windows up to 2^" +
                         std::to_string(launcher_window_log_max) + " (use 10..27)",
                     exit_usage);
  if (log != 0 && log < 10)
    throw pack_error("--window-log " + std::to_string(log) + " is too small (use 10..27)", exit_usage);
}

app_contents scan_and_report(const pack_request& r) {
  app_contents contents = scan_app(r.app_dir, r.main_path);
  for (const std::string& warning : contents.warnings) fprintf(stderr, "tavren-pack: warning: %s\n", warning.c_str());
  if (r.verbose)
    for (const app_entry& entry : contents.entries)
      printf("%12llu  %s\n", static_cast<unsigned long long>(entry.size), entry.display.c_str());
  return contents;
}

bool show_progress(const pack_request& r) { return !r.quiet && host_stderr_is_terminal(); }

void print_summary(const pack_request& r, const std::string& what, const app_contents& contents, uint64_t output_bytes,
                   double seconds) {
  if (r.quiet) return;
  double ratio = contents.content_bytes
                     ? 100.0 * static_cast<double>(output_bytes) / static_cast<double>(contents.content_bytes)
                     : 0;
  printf("%s: %zu files, %s -> %s (%.1f%%) in %.1f s\n", what.c_str(), contents.entries.size(),
         human_bytes(contents.content_bytes).c_str(), human_bytes(output_bytes).c_str(), ratio, seconds);
}

blob_figures pack_into(const pack_request& r, const app_contents& contents, int fd) {
  progress_meter progress(show_progress(r), entry_stream_size(contents), "packing");
  blob_figures figures = write_blob(contents, r.compression, fd, &progress);
  progress.finish();
  return figures;
}
