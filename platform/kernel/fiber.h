// Stack switching for simulated threads.
//
// A Fiber is one execution context: either the host's own stack (the
// scheduler's) or a simulated thread's stack. Switching saves the callee-saved
// registers and the floating-point control words on the old stack and loads
// them from the new one, with no system call (swapcontext also saves and
// restores the signal mask, which is a system call on every switch and most of
// its cost). The sanitizers are told about every switch: AddressSanitizer so
// that it tracks the right stack, ThreadSanitizer so that each simulated
// thread is a fiber of its own whose memory accesses it checks against the
// others'.
#pragma once

#include <cstddef>

namespace qv {

class Fiber {
  public:
    using EntryFunction = void (*)(void* argument);

    // The context already running on the host thread.
    Fiber();
    // A new context that starts in entry(argument) on the given stack. entry
    // must never return: a fiber ends by switching away for the last time.
    Fiber(void* stackBase, std::size_t stackSize, EntryFunction entry, void* argument);
    ~Fiber();
    Fiber(const Fiber&) = delete;
    Fiber& operator=(const Fiber&) = delete;

    // Leaves `from` (the running fiber) for `to`. Returns when some fiber
    // switches back to `from`. `fromEnds` says `from` will never run again, so
    // the sanitizers may drop what they keep for it.
    static void Switch(Fiber& from, Fiber& to, bool fromEnds = false);

    // The first thing a new fiber's entry function calls: completes the switch
    // that started it. `from` is the fiber that switched to it.
    void Started(Fiber& from);

    // Names the fiber in ThreadSanitizer's reports.
    void SetName(const char* name);

  private:
    void FinishSwitch(Fiber* from);

    void* stackPointer_ = nullptr;
    // Bounds of the stack, for AddressSanitizer (learnt on the first switch
    // for the host's own stack).
    const void* stackBottom_ = nullptr;
    std::size_t stackSize_ = 0;
    void* fakeStack_ = nullptr;
    // ThreadSanitizer's fiber handle, and whether this object created it.
    void* tsanFiber_ = nullptr;
    bool ownsTsanFiber_ = false;
};

} // namespace qv
