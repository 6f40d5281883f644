// The child's command line: the parent's own arguments, argv[0] replaced by the launcher's
// full module path, quoted so that the child's splitter gives each one back unchanged.
#pragma once

#include <stddef.h>
#include <wchar.h>

/// 32,768 characters and the terminator.
constexpr size_t child_command_line_capacity = 32769;

/// The command line handed to CreateProcessW (writable, alive until the process ends).
extern wchar_t child_command_line[child_command_line_capacity];

/// The launcher's module file name as the system reports it: the child's application name.
extern wchar_t own_path_for_launch[4096];

/// Fills own_path_for_launch if it is empty; aborts if the system gives no name.
void fill_own_path_for_launch();

/// Builds child_command_line from GetCommandLineW. Aborts past 32,768 characters; reports
/// "Error, couldn't launch child" and exits with 2 if the system cannot split the line.
void build_child_command_line();
