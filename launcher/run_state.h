// What one launcher run keeps for its whole life, in one place. The console control handler
// runs the clean-up on a thread of its own beside the main thread, so each item says which
// thread writes it and when; anything not listed here lives no longer than one call.
#pragma once

#include <stddef.h>
#include <wchar.h>

#include "paths/environment.h"
#include "payload/payload.h"

/// The role this process plays in the run; see decide_role.
enum launcher_role { role_parent, role_child };

/// Units GetModuleFileNameW may write for the launcher's own path: 4,096 and the terminator.
constexpr size_t own_module_path_capacity = 4097;
/// Units of the launcher path handed to CreateProcessW as the child's application name.
constexpr size_t launch_path_capacity = 4096;
/// 32,768 characters and the terminator.
constexpr size_t child_command_line_capacity = 32769;

/// Absolute target directory. Main thread, in the run sequence, before the console handler
/// is registered; the clean-up reads it from any thread.
extern wchar_t g_target_directory[launcher_path_capacity];
/// First entry's full path. Main thread, by the entry walk; the child loads it.
extern wchar_t g_main_library_path[launcher_path_capacity];
/// Set once by the main thread just before the first entry is read; the console thread's
/// clean-up removes the target directory only after that, hence volatile.
extern volatile bool g_unpacking_started;
/// The supervised child's process handle (a HANDLE). Stored by the main thread after the
/// launch; whoever takes it out with an atomic exchange waits on it and closes it.
extern void* volatile g_child_process;
/// Set once by the main thread when the child has started; from then on Ctrl+C and Ctrl+Break
/// are the application's to handle.
extern volatile bool g_application_started;
/// The open handle (a HANDLE) that keeps the target directory where it is: nobody can rename
/// or remove it while it is open. Stored by the main thread when the folder is made.
extern void* volatile g_target_folder_hold;
/// Closes that handle once, from whichever thread gets to it first: the run's own removal
/// and the removal of an empty folder need it gone.
void release_target_folder();
/// Delete requests sent so far, counted by every clean-up (read by tests).
extern volatile long g_cleanup_delete_requests;

/// Own module path as the system gives it, put in normal form only when the parent's reads
/// otherwise. Main thread, in the role decision.
extern wchar_t g_own_path_for_role_check[own_module_path_capacity];
/// TAVREN_ONEFILE_PARENT as this process found it. Main thread, in the role decision.
extern wchar_t g_parent_id_text[env_value_capacity];
/// Own module path as the system reports it. Main thread, before the command line is built.
extern wchar_t g_own_path_for_launch[launch_path_capacity];
/// The child's command line (CreateProcessW may write to it). Main thread, before the launch.
extern wchar_t g_child_command_line[child_command_line_capacity];
/// Own module path for the application's variables. Main thread, before the launch.
extern wchar_t g_own_path_for_directory_export[own_module_path_capacity];
/// The launcher's folder, exported as TAVREN_ONEFILE_DIRECTORY. Main thread, before the launch.
extern wchar_t g_exported_directory[launcher_path_capacity];
