// The splash a launcher built with one shows while it unpacks: a borderless, topmost window
// that never takes the focus, with the packed image and a progress bar at its foot. All its
// window code is here, and its libraries (User32, Gdi32) are bound from the system folder
// only when the launcher has a splash: one without loads no windowing library at all.
#pragma once

#include <windows.h>

/// The variable through which the launcher names the event that closes its splash: the
/// application opens it by name and sets it (no library of ours needed).
#define SPLASH_EVENT_VARIABLE "TAVREN_ONEFILE_SPLASH_EVENT"

/// Remembers the splash record (formats/stub_descriptor.h) at `record`, or none for null.
/// Loads nothing and shows nothing.
void splash_prepare(const unsigned char* record);

/// With a record prepared and not yet shown: creates a named event, names it
/// in SPLASH_EVENT_VARIABLE for the application, and shows the splash on a thread of its own,
/// centred on the primary monitor. It closes at the first of: the event set, a visible
/// top-level window of the followed process, that process's end, the record's timeout. A
/// splash that cannot be shown (no display, a library missing) is skipped silently: it never
/// stops a start. Without a record: nothing, not even the variable.
void splash_show();

/// Has the splash follow `process` (which runs the application; the current process's pseudo
/// handle for an application in this process): see splash_show. Nothing without a splash.
void splash_follow(HANDLE process);
