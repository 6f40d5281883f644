// Starting the child copy of the launcher, waiting for it, and removing the target
// directory afterwards or when a console control event arrives.
#pragma once

#include <stdint.h>
#include <windows.h>

/// Exit code given to a child that outlives the clean-up's grace period: the code of a
/// process ended by Ctrl+C, so a killed application never looks successful.
constexpr DWORD child_terminated_exit_code = 0xC000013A;
/// How long the clean-up waits for a child before ending it.
constexpr DWORD child_grace_ms = 5000;

/// Starts this launcher again as the child, with the parent's own arguments
/// (build_child_command_line), as launch_and_supervise_child(image, command_line) does.
uint32_t launch_and_supervise_child();

/// Starts the executable `image` with `command_line` (CreateProcessW may write to it) as the
/// child, with the parent's standard handles, working folder and environment, inside a job
/// that ends it when this process ends (without the job if the system refuses one), and
/// supervises it (see supervise_child). `startup` is the child's startup information
/// (standard handles set by the caller); null gives it the parent's standard handles and
/// nothing else. A failed launch reports "Error, couldn't launch child" and exits with 2,
/// leaving the target directory on disk.
uint32_t launch_and_supervise_child(const wchar_t* image, wchar_t* command_line,
                                    const STARTUPINFOW* startup = nullptr);

/// The parent's standard handles, as the child copy of the launcher gets them.
STARTUPINFOW startup_with_own_handles();

/// Waits without limit for the started child `process` (whose duplicate, if any, is in
/// g_child_process), closes it and runs the end of the run: unless a process runs an
/// executable from the target directory, the directory is removed as the clean-up removes it.
/// Returns the child's exit code (1 if it cannot be read) at once, without waiting for
/// programs the child started. Whatever image the child runs, the supervision is the same.
uint32_t supervise_child(HANDLE process);

/// Waits up to 5 s for a supervised child (then ends it), and if unpacking has started and
/// no process runs an executable from the target directory, removes it: one delete request,
/// and more while the directory is still there, after pauses that grow (see backoff.h).
/// Links below it are removed, never followed. Silent; safe to run on two threads at once.
void cleanup_child_and_directory();

/// Ctrl+C and Ctrl+Break once the application has started: returns TRUE and leaves the event
/// to the application, which shares the console; the supervision passes its code on. Before
/// that, and for close, log-off and shutdown: runs the clean-up and returns FALSE so the
/// system's own handling goes on.
BOOL WINAPI console_ctrl_handler(DWORD event);
