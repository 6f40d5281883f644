// A packed application replacing its own launcher with a newer release. The application
// downloads the release and writes a request (launcher/update/update_request.h) to the file
// TAVREN_ONEFILE_UPDATE_REQUEST names; the launcher applies it once the application has ended
// and writes the outcome to the file TAVREN_ONEFILE_UPDATE_STATUS names, where the next start
// of the application finds it. The swap keeps a launcher that starts at the launcher's path:
// the new file is written beside it under "<name>.onefile-new", checked and tried, the old one
// is put aside as "<name>.onefile-old-<pid>", and a later start deletes it once nothing runs it.
#pragma once

#include <stddef.h>

/// The variable naming the file the application writes its request to.
#define UPDATE_REQUEST_VARIABLE "TAVREN_ONEFILE_UPDATE_REQUEST"
/// The variable naming the file holding the outcome of the last update of this launcher.
#define UPDATE_STATUS_VARIABLE "TAVREN_ONEFILE_UPDATE_STATUS"
/// Set by a launcher for the trial start of its successor: the path the successor will have.
#define UPDATE_TRIAL_VARIABLE "TAVREN_ONEFILE_UPDATE_TRIAL"
/// What a trial start that did not find its payload ends with.
constexpr int update_trial_failed_exit_code = 3;

/// Keeps the environment this process was started with: a restarted new version gets it, not
/// the variables this run and its application added. Call first thing.
void update_remember_start();

/// True when this process is a new release tried by its predecessor before the swap: started
/// from "<path>.onefile-new" with UPDATE_TRIAL_VARIABLE naming <path>. A trial runs no
/// application and shows nothing; a cached launcher installs its folder as the launcher at
/// <path> would, so the first start after the swap is a warm one.
bool update_trial_start();

/// The path the cached install records as this launcher's own: the trial's future path, or
/// else this process's module path.
void update_launcher_path(wchar_t* path, size_t capacity);

/// Settles what an earlier update left beside this launcher. With `payload_found` (this start
/// is a working launcher): deletes the old versions put aside and any unfinished new file,
/// those in use staying for a later start. Without it, when an old version is at hand: puts
/// it back in place, records "rolled back" and runs it with this start's command line, and
/// returns true with its exit code in `exit_code`. Costs one folder search when nothing is there.
bool update_settle(bool payload_found, int* exit_code);

/// Names the request and status files for the application (UPDATE_REQUEST_VARIABLE, a file
/// of this run in the temporary folder that does not exist yet, and UPDATE_STATUS_VARIABLE).
void update_export_for_application();

/// Called once the application has ended, with its exit code: applies the request it wrote,
/// if any, and returns the exit code to end with (the restarted version's when the request
/// asked for a restart and the update was applied). A refused update changes nothing at the
/// launcher's path, is recorded in the status file and reported in one line on standard error.
int update_after_run(int exit_code);

// Shared by the update's files.

/// Writes "<outcome>\n" (UTF-8) to the status file, replacing what it held.
void update_write_status(const char* outcome);
/// The environment block remembered at the start, or null.
const wchar_t* update_start_environment();
/// Starts `image` with `line` in the start's environment (or `environment`), with this process's
/// standard handles unless `quiet` (then with no window), waits for it and returns its exit
/// code; -1 when it could not start.
long long update_run_and_wait(const wchar_t* image, wchar_t* line, const wchar_t* environment, bool quiet);
