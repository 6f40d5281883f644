/* The reference workload's main library: a real DLL whose run_code returns at once. */
__declspec(dllexport) int run_code(int argc, void* argv, const void* main_library) {
  (void)argc;
  (void)argv;
  (void)main_library;
  return 0;
}
