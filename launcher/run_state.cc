#include "launcher/run_state.h"

#include <windows.h>

wchar_t g_target_directory[launcher_path_capacity];
wchar_t g_main_library_path[launcher_path_capacity];
volatile bool g_unpacking_started = false;
void* volatile g_child_process = nullptr;
volatile bool g_application_started = false;
void* volatile g_target_folder_hold = nullptr;
volatile long g_cleanup_delete_requests = 0;

wchar_t g_own_path_for_role_check[own_module_path_capacity];
wchar_t g_parent_id_text[env_value_capacity];
wchar_t g_own_path_for_launch[launch_path_capacity];
wchar_t g_child_command_line[child_command_line_capacity];
wchar_t g_own_path_for_directory_export[own_module_path_capacity];
wchar_t g_exported_directory[launcher_path_capacity];

void release_target_folder() {
  HANDLE held = static_cast<HANDLE>(InterlockedExchangePointer(&g_target_folder_hold, nullptr));
  if (held) CloseHandle(held);
}
