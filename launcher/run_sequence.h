// The launcher's entry sequence: decides the role, unpacks (parent) or loads the main
// library (child), and returns the process's exit code.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "launcher/run_state.h"

/// The template of the per-run target directory.
#define TARGET_DIRECTORY_SPEC L"{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}"

/// Child if TAVREN_ONEFILE_PARENT names a running process whose executable has the same
/// normal form as ours; parent in every other case.
launcher_role decide_role();

/// Runs both roles from the role decision to the end, over the `size`-byte payload blob at
/// `payload`. Returns the exit code; every failure ends the process instead.
int run_sequence(const unsigned char* payload, size_t size);
