// The child's command line: the parent's own arguments, argv[0] replaced by the launcher's
// full module path, quoted so that the child's splitter gives each one back unchanged.
#pragma once

#include "launcher/run_state.h"

/// Fills g_own_path_for_launch, the child's application name, if it is empty; aborts if the
/// system gives no name.
void fill_own_path_for_launch();

/// Builds g_child_command_line from GetCommandLineW. Aborts past 32,768 characters.
void build_child_command_line();

/// Called with each argument of a split command line in turn, argument 0 first.
using take_argument_fn = void (*)(void* context, int index, const wchar_t* argument);

/// Where the first argument of `line` ends by the splitter's rules below: past the closing
/// quote of a quoted program name, else at the first blank (or the end).
const wchar_t* after_program_name(const wchar_t* line);

/// Splits `line` by the rules of the system's CommandLineToArgvW (except that an empty line
/// gives one empty argument, not the module path). `scratch` holds one argument at a time:
/// at least as many units as `line` has, plus one.
void split_command_line(const wchar_t* line, wchar_t* scratch, take_argument_fn take, void* context);
