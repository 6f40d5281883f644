// Pauses between attempts at something another program holds for a moment. Virus scanners,
// indexers and backup agents open each new file or folder, often sharing no delete access,
// for tens to hundreds of milliseconds: short pauses first, so that a brief hold costs little,
// longer ones later, and a bound on them all, after which the work is left to a later start.
#pragma once

#include <windows.h>

constexpr DWORD backoff_first_pause_ms = 10;
constexpr DWORD backoff_longest_pause_ms = 500;
/// All pauses of one backoff together.
constexpr DWORD backoff_total_ms = 2000;

struct backoff {
  DWORD paused_ms = 0;
  DWORD next_ms = backoff_first_pause_ms;

  /// Pauses before the next attempt and returns true; returns false at once when the pauses
  /// have reached backoff_total_ms: then the caller gives up.
  bool pause() {
    if (paused_ms >= backoff_total_ms) return false;
    DWORD pause_ms = next_ms < backoff_total_ms - paused_ms ? next_ms : backoff_total_ms - paused_ms;
    Sleep(pause_ms);
    paused_ms += pause_ms;
    next_ms = next_ms * 2 < backoff_longest_pause_ms ? next_ms * 2 : backoff_longest_pause_ms;
    return true;
  }
};

/// Attempts one backoff allows: the first and one after each pause.
constexpr int backoff_attempts() {
  int attempts = 1;
  DWORD paused = 0, next = backoff_first_pause_ms;
  while (paused < backoff_total_ms) {
    paused += next < backoff_total_ms - paused ? next : backoff_total_ms - paused;
    next = next * 2 < backoff_longest_pause_ms ? next * 2 : backoff_longest_pause_ms;
    ++attempts;
  }
  return attempts;
}
