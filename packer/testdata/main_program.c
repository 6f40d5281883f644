/* Stand-in main executables for the packer's tests: a console or (-mwindows) windowed
   program, or with -DNATIVE an image of the native subsystem, as drivers are. */
#ifdef NATIVE
long entry(void* first, void* second) { return first == second; }
#else
int main(void) { return 7; }
#endif
