// `tavren-pack delta`: the difference between two releases of one launcher, as a .tdelta file
// that turns the old launcher into the new one; and, with --apply, that turn itself, as a
// launcher makes it, so chains of deltas and their results can be checked anywhere.
#pragma once

#include <string>

struct delta_request {
  std::string old_path, new_path;  ///< new_path: empty with --apply
  std::string apply;               ///< the delta to apply to old_path, or empty
  std::string output;
  int level = 19;   ///< Zstandard level of the new bytes
  int threads = 0;  ///< compression workers; 0 = one per core
  bool quiet = false;
};

/// Writes the delta from old_path to new_path, or with `apply` the launcher it rebuilds, to
/// `output`, replaced only on success. Throws pack_error (exit_usage for a missing NEW) for two
/// launchers of different products or processors, a file that is no launcher of ours, and
/// any delta the launcher would refuse, with its reason.
void run_delta(const delta_request& request);
