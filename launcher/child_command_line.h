// The child's command line: the parent's own arguments, argv[0] replaced by the launcher's
// full module path, quoted so that the child's splitter gives each one back unchanged.
#pragma once

#include "launcher/run_state.h"

/// Fills g_own_path_for_launch, the child's application name, if it is empty; aborts if the
/// system gives no name.
void fill_own_path_for_launch();

/// Builds g_child_command_line from GetCommandLineW. Aborts past 32,768 characters; reports
/// "Error, couldn't launch child" and exits with 2 if the system cannot split the line.
void build_child_command_line();
