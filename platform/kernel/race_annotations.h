// Happens-before annotations for the race-detector build.
//
// The emulation is not instrumented in the ThreadSanitizer build: its own
// bookkeeping is sequential by construction and is not what we look for
// races in. ThreadSanitizer then sees only the driver's (and the tests')
// memory accesses, and learns the order the kernel's objects impose on them
// from these calls: a release on an object by one thread happens before every
// later acquire of it by another. Elsewhere they compile to nothing.
#pragma once

#if defined(QV_TSAN_FIBERS) || defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#define QV_RACE_ANNOTATIONS 1
#endif

namespace qv::race {

#if defined(QV_RACE_ANNOTATIONS)
extern "C" void __tsan_ignore_thread_begin();
extern "C" void __tsan_ignore_thread_end();
inline void Release(const volatile void* object) { __tsan_release(const_cast<void*>(object)); }
inline void Acquire(const volatile void* object) { __tsan_acquire(const_cast<void*>(object)); }
// Between these the current fiber's memory accesses are not checked (the
// scheduler's own work between two threads).
inline void IgnoreBegin() { __tsan_ignore_thread_begin(); }
inline void IgnoreEnd() { __tsan_ignore_thread_end(); }
#else
inline void Release(const volatile void*) {}
inline void Acquire(const volatile void*) {}
inline void IgnoreBegin() {}
inline void IgnoreEnd() {}
#endif

// An operation that both reads and publishes (interlocked operations, a
// spin lock handed on).
inline void AcquireRelease(const volatile void* object) {
    Acquire(object);
    Release(object);
}

} // namespace qv::race
