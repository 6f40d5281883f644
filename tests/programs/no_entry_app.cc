// A valid library without the launcher's entry point, for the missing-entry message.
extern "C" __declspec(dllexport) int something_else() { return 0; }
