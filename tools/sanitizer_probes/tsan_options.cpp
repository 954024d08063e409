// ThreadSanitizer's defaults for the race detector's build. The emulation is
// an uninstrumented shared library there: what it does through the
// runtime's interceptors (memory copies, allocations and frees of its own
// records) is its bookkeeping, not driver code, and is left out.
extern "C" const char* __tsan_default_options() { return "ignore_noninstrumented_modules=1"; }
