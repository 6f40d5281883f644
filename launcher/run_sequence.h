// The launcher's entry sequence: decides the role, unpacks (parent) or loads the main
// library (child), and returns the process's exit code.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "launcher/run_state.h"

/// The template of a run folder's name, which the dead-run collection recognises.
#define RUN_FOLDER_NAME_SPEC L"onefile_{PID}_{TIME_US}_{RANDOM}"
/// The template of the per-run target directory when no unpack folder is chosen.
#define TARGET_DIRECTORY_SPEC L"{TEMP}\\" RUN_FOLDER_NAME_SPEC

/// Child if TAVREN_ONEFILE_PARENT names the process that created this one (as the system
/// recorded it, and created no later than this one) and its executable has the same normal
/// form as ours; parent in every other case. If the named process is that parent but its
/// executable's name cannot be read (or the parent cannot be found out at all), reports
/// "Error, couldn't read the parent launcher's image name." and exits with 2: never more than
/// one child level.
launcher_role decide_role();

/// Drops the run identity variables a caller's environment may hold and names this process as
/// TAVREN_ONEFILE_PARENT, as the application's environment has it.
void clean_start_of_environment();

/// Sets the variables the application reads: TAVREN_ONEFILE_DIRECTORY (the launcher's folder)
/// and TAVREN_ORIGINAL_ARGV0 (`argv[0]` as the caller typed it).
void export_for_application(wchar_t** argv);

/// Loads g_main_library_path, searching g_target_directory for its dependencies, and returns
/// what its run_code returns for `argc` and `argv`. A library that does not load or lacks
/// run_code is reported and the process exits with 2.
int hand_off_to_main_library(int argc, wchar_t** argv);

/// Runs both roles from the role decision to the end, over the `size`-byte payload blob at
/// `payload`. Returns the exit code; every failure ends the process instead.
int run_sequence(const unsigned char* payload, size_t size);
