/* Stand-in main libraries for the packer's tests, built with -DEXPORTED=<name>. */
#ifndef EXPORTED
#define EXPORTED run_code
#endif

__declspec(dllexport) int EXPORTED(void) { return 7; }
