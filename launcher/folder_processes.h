// The processes that run an executable from a folder: an unpacked application's helpers and
// updaters, which need the folder's files after the application itself has ended.
#pragma once

#include <windows.h>

/// True if a process other than this one runs an executable that lies in `folder` (an
/// absolute path) or below it. Paths are compared as given, then in normal form (links
/// resolved, folders short), so another spelling of the folder still counts. Only processes
/// created no earlier than this one are looked at: nothing in the folder could run before.
/// A process this one may not query is not counted. Also true when the processes cannot all
/// be listed (no memory, no listing call). Costs one process listing.
bool any_process_runs_from(const wchar_t* folder);
