// AddressSanitizer's defaults for its build: no leak check at exit, because
// a bug check abandons the simulated threads' stacks (by design) and what
// they held would be reported; the pool's unload audit finds the driver's
// own leaks.
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }
