// Running a main file that is an executable: the launcher starts it as its child, in place of
// a second copy of itself, and passes the application's command line on as it came.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <windows.h>

/// Writes into `line` (`capacity` units, the terminator included) the command line of the
/// executable `image`: its full path in quotes, then this process's own command line after
/// its first argument, untouched, so every argument reaches the application as the caller
/// wrote it whatever rules its runtime splits by. A blank goes between them when the text
/// after the first argument does not start with one. False when it does not fit.
bool build_executable_command_line(const wchar_t* image, wchar_t* line, size_t capacity);

/// The executable child's startup information: the parent's standard handles, and what the
/// parent itself was started with of its window (show state, position, size, console
/// layout), its title or the shortcut it came from, and the shortcut's hot key and monitor
/// where no standard handles were given to the parent.
STARTUPINFOW executable_startup_info();

/// Starts `image` with that command line and executable_startup_info under the default run's
/// supervision (job, wait, clean-up: launch_and_supervise_child) and returns its exit code. A command line longer
/// than the system takes is reported as a failed launch, exit 2.
uint32_t launch_and_supervise_executable(const wchar_t* image);

/// The cached run's end for an executable: a console launcher lets Ctrl+C and Ctrl+Break go to
/// the application that shares its console and stays to pass on the code it ends with; the
/// job ends the application with the launcher. Returns the application's exit code.
uint32_t run_cached_executable(const wchar_t* image);
