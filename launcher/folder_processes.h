// The processes that run an executable from a folder: an unpacked application's helpers and
// updaters, which need the folder's files after the application itself has ended.
#pragma once

#include <windows.h>

/// Processes waited for at once; more are waited for in later rounds.
constexpr DWORD folder_process_wait_capacity = MAXIMUM_WAIT_OBJECTS;

/// True if a process other than this one runs an executable that lies in `folder` (an
/// absolute path) or below it. Paths are compared as given, then in normal form (links
/// resolved, folders short), so another spelling of the folder still counts. Only processes
/// created no earlier than this one are looked at: nothing in the folder could run before.
/// A process this one may not query is not counted. Costs one process listing.
bool any_process_runs_from(const wchar_t* folder);

/// Returns once no process runs an executable from `folder` (as any_process_runs_from
/// decides): waits for all it finds to end, then looks again, since one may have started
/// another from the folder before it ended. Never ends or signals any of them. Returns at
/// once when none runs.
void wait_until_no_process_runs_from(const wchar_t* folder);
