// Collecting the target folders that runs which ended without their clean-up (a killed
// parent, a crash, a log-off) left in the folder where target folders are made.
#pragma once

#include <stddef.h>
#include <windows.h>

/// Folders removed by one start at most; the rest wait for later starts.
constexpr int dead_run_removal_limit = 4;
/// Folders with the launcher's name form that one start looks at, at most.
constexpr int dead_run_examine_limit = 256;

/// True if `name` has exactly the form of a target folder name:
/// onefile_<process id: 1-10 digits, no leading zero, fits 32 bits>_<6 digits>_<11 of
/// A-Z a-z 0-9 - _>. Stores the process id.
bool parse_run_folder_name(const wchar_t* name, DWORD* process_id);

/// True if the run whose parent had `process_id` is over for a folder created at
/// `folder_created`: no process has that id, the process with it has ended, or it was
/// created after the folder (the id was used again). A process that cannot be looked at
/// (another user's) counts as running.
bool run_is_over(DWORD process_id, const FILETIME& folder_created);

struct dead_run_collection {
  int examined = 0;  ///< folders with the name form
  int removed = 0;   ///< gone afterwards
  int kept = 0;      ///< of dead runs, but in use, not the user's or not fully removable
};

/// Looks in the folder that holds `target_directory` for folders of dead runs and removes up
/// to dead_run_removal_limit of them, each only if no file in it is open or loaded (held
/// exclusively while it is deleted) and it belongs to the current user; links are removed,
/// never followed. Never waits; costs one folder listing when there is nothing to collect.
dead_run_collection collect_dead_runs(const wchar_t* target_directory);
