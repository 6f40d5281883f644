// A single progress line on a terminal, and the figures the packer prints about its work.
#pragma once

#include <stdint.h>

#include <chrono>
#include <string>

/// "12.3 MiB", "512 B".
std::string human_bytes(uint64_t bytes);

/// Redraws "<verb> [#####.....] done / total  pct  rate  time left" on stderr at most ten
/// times a second, only when enabled (the caller decides: not --quiet and stderr is a
/// terminal).
class progress_meter {
 public:
  progress_meter(bool enabled, uint64_t total, const char* verb);
  ~progress_meter() { finish(); }
  void advance(uint64_t bytes);
  /// Replaces the line with `text` at once, for a step with no measurable progress.
  void say(const std::string& text);
  /// Erases the line so that what follows starts clean. Idempotent.
  void finish();
  double seconds() const;

 private:
  void draw();
  bool enabled_;
  bool drawn_ = false;
  uint64_t total_, done_ = 0;
  const char* verb_;
  std::chrono::steady_clock::time_point start_, last_draw_;
};
