#include "packer/progress.h"

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
  if (unit == 0)
    snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(bytes));
  else
    snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
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

void progress_meter::say(const std::string& text) {
  if (!enabled_) return;
  fprintf(stderr, "\r%s\033[K", text.c_str());
  fflush(stderr);
  drawn_ = true;
}

void progress_meter::draw() {
  constexpr int bar_width = 24;
  double elapsed = seconds();
  double rate = elapsed > 0 ? static_cast<double>(done_) / elapsed : 0;
  uint64_t done = done_ < total_ ? done_ : total_;
  unsigned percent =
      total_ ? static_cast<unsigned>(static_cast<double>(done) * 100 / static_cast<double>(total_)) : 100;
  char bar[bar_width + 1];
  int filled =
      total_ ? static_cast<int>(static_cast<double>(done) * bar_width / static_cast<double>(total_)) : bar_width;
  for (int i = 0; i < bar_width; ++i) bar[i] = i < filled ? '#' : '.';
  bar[bar_width] = '\0';
  char left[64] = "";
  // The first half second's rate says little about the rest.
  if (rate > 0 && elapsed >= 0.5) {
    unsigned long long remaining = static_cast<unsigned long long>(static_cast<double>(total_ - done) / rate + 0.5);
    if (remaining >= 60)
      snprintf(left, sizeof left, "  %llu min %02llu s left", remaining / 60, remaining % 60);
    else
      snprintf(left, sizeof left, "  %llu s left", remaining);
  }
  fprintf(stderr, "\r%s [%s] %s / %s  %u%%  %s/s%s\033[K", verb_, bar, human_bytes(done).c_str(),
          human_bytes(total_).c_str(), percent, human_bytes(static_cast<uint64_t>(rate)).c_str(), left);
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
