// A library that the dep_app main library imports by name. The payload carries one build of
// it; tests plant another build, which says so, wherever a careless search would look.
#ifndef DEP_PROBE_ORIGIN
#define DEP_PROBE_ORIGIN "payload"
#endif

extern "C" __declspec(dllexport) const char* dep_probe_origin() { return DEP_PROBE_ORIGIN; }
