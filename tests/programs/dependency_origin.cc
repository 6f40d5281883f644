// A library that the dep_app main library imports by name. The payload carries one build of
// it; tests plant another build, which says so, wherever a careless search would look.
#ifndef DEPENDENCY_ORIGIN
#define DEPENDENCY_ORIGIN "payload"
#endif

extern "C" __declspec(dllexport) const char* dependency_origin() { return DEPENDENCY_ORIGIN; }
