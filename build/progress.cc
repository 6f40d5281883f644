#include "build/progress.h"

#include <stdio.h>

std::string human_bytes(uint64_t bytes) {
  static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  double value = static_cast<double>(bytes);
  int unit = 0;
  while (value >= 1024 && unit < 4) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  if (unit == 0) snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(bytes));
  else snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
  return text;
}

progress_meter::progress_meter(bool enabled, uint64_t total, const char* verb)
    : enabled_(enabled), total_(total), verb_(verb), start_(std::chrono::steady_clock::now()), last_draw_(start_) {}

double progress_meter::seconds() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void progress_meter::advance(uint64_t bytes) {
  done_ += bytes;
  if (!enabled_) return;
  auto now = std::chrono::steady_clock::now();
  if (now - last_draw_ < std::chrono::milliseconds(100)) return;
  last_draw_ = now;
  draw();
}

void progress_meter::draw() {
  double elapsed = seconds();
  double rate = elapsed > 0 ? static_cast<double>(done_) / elapsed : 0;
  unsigned percent = total_ ? static_cast<unsigned>(done_ * 100 / total_) : 100;
  fprintf(stderr, "\r%s %s / %s (%u%%), %s/s\033[K", verb_, human_bytes(done_).c_str(),
          human_bytes(total_).c_str(), percent, human_bytes(static_cast<uint64_t>(rate)).c_str());
  fflush(stderr);
  drawn_ = true;
}

void progress_meter::finish() {
  if (drawn_) {
    fputs("\r\033[K", stderr);
    fflush(stderr);
    drawn_ = false;
  }
}
