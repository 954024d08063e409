#include "kernel/fiber.h"

#include <cstdint>
#include <cstring>

#if defined(__SANITIZE_ADDRESS__)
#define QV_ASAN_FIBERS 1
#include <sanitizer/common_interface_defs.h>
#endif
// The ThreadSanitizer build leaves the emulation itself uninstrumented (its
// bookkeeping is not driver code) and defines QV_TSAN_FIBERS for it instead.
#if defined(__SANITIZE_THREAD__) && !defined(QV_TSAN_FIBERS)
#define QV_TSAN_FIBERS 1
#endif
#if defined(QV_TSAN_FIBERS)
#include <sanitizer/tsan_interface.h>
#endif

#if !defined(__x86_64__)
#error "the stack switch is written for x86-64"
#endif

// qv_fiber_switch(void** saveStackPointer, void* newStackPointer): pushes the
// callee-saved registers and the SSE and x87 control words, stores the stack
// pointer, loads the other one and pops the same from there. Everything else
// is caller-saved in the System V ABI, so the compiler has already spilled it.
// qv_fiber_start is where a new fiber's first switch returns to: rbx holds
// the entry function, r12 its argument.
asm(R"(
    .text
    .globl qv_fiber_switch
    .type qv_fiber_switch, @function
qv_fiber_switch:
    .cfi_startproc
    pushq %rbp
    pushq %rbx
    pushq %r12
    pushq %r13
    pushq %r14
    pushq %r15
    subq $8, %rsp
    stmxcsr (%rsp)
    fnstcw 4(%rsp)
    movq %rsp, (%rdi)
    movq %rsi, %rsp
    ldmxcsr (%rsp)
    fldcw 4(%rsp)
    addq $8, %rsp
    popq %r15
    popq %r14
    popq %r13
    popq %r12
    popq %rbx
    popq %rbp
    ret
    .cfi_endproc
    .size qv_fiber_switch, .-qv_fiber_switch

    .globl qv_fiber_start
    .type qv_fiber_start, @function
qv_fiber_start:
    .cfi_startproc
    .cfi_undefined rip
    movq %r12, %rdi
    callq *%rbx
    ud2
    .cfi_endproc
    .size qv_fiber_start, .-qv_fiber_start
)");

extern "C" void qv_fiber_switch(void** saveStackPointer, void* newStackPointer);
extern "C" void qv_fiber_start();

namespace qv {

namespace {
// The frame qv_fiber_switch pops: control words, r15, r14, r13, r12, rbx,
// rbp, then the return address.
struct InitialFrame {
    std::uint32_t mxcsr;
    std::uint16_t fpuControl;
    std::uint16_t padding;
    std::uint64_t r15, r14, r13, r12, rbx, rbp;
    std::uint64_t returnAddress;
    std::uint64_t alignment; // qv_fiber_start runs with rsp 16-byte aligned
};
static_assert(sizeof(InitialFrame) == 72);
constexpr std::uint32_t kDefaultMxcsr = 0x1F80;    // all exceptions masked, round to nearest
constexpr std::uint16_t kDefaultFpuControl = 0x037F; // the same for the x87 unit
constexpr std::uintptr_t kStackAlignment = 16;
} // namespace

Fiber::Fiber() {
#if defined(QV_TSAN_FIBERS)
    tsanFiber_ = __tsan_get_current_fiber();
#endif
}

Fiber::Fiber(void* stackBase, std::size_t stackSize, EntryFunction entry, void* argument)
    : stackBottom_(stackBase), stackSize_(stackSize) {
    auto top = reinterpret_cast<std::uintptr_t>(stackBase) + stackSize;
    top &= ~(kStackAlignment - 1);
    // After the frame is popped and `ret` taken, rsp points at `alignment`,
    // which must be 16-byte aligned for qv_fiber_start's call.
    auto* frame = reinterpret_cast<InitialFrame*>(top - sizeof(InitialFrame) - 8);
    std::memset(frame, 0, sizeof *frame);
    frame->mxcsr = kDefaultMxcsr;
    frame->fpuControl = kDefaultFpuControl;
    frame->rbx = reinterpret_cast<std::uint64_t>(entry);
    frame->r12 = reinterpret_cast<std::uint64_t>(argument);
    frame->returnAddress = reinterpret_cast<std::uint64_t>(&qv_fiber_start);
    stackPointer_ = frame;
#if defined(QV_TSAN_FIBERS)
    tsanFiber_ = __tsan_create_fiber(0);
    ownsTsanFiber_ = true;
#endif
}

Fiber::~Fiber() {
#if defined(QV_TSAN_FIBERS)
    if (ownsTsanFiber_) __tsan_destroy_fiber(tsanFiber_);
#endif
}

void Fiber::SetName(const char* name) {
#if defined(QV_TSAN_FIBERS)
    if (ownsTsanFiber_) __tsan_set_fiber_name(tsanFiber_, name);
#else
    (void)name;
#endif
}

void Fiber::Switch(Fiber& from, Fiber& to, bool fromEnds) {
#if defined(QV_ASAN_FIBERS)
    __sanitizer_start_switch_fiber(fromEnds ? nullptr : &from.fakeStack_, to.stackBottom_, to.stackSize_);
#else
    (void)fromEnds;
#endif
#if defined(QV_TSAN_FIBERS)
    // No synchronisation: which thread runs next says nothing about the order
    // of their memory accesses; only the kernel's objects do.
    __tsan_switch_to_fiber(to.tsanFiber_, __tsan_switch_to_fiber_no_sync);
#endif
    qv_fiber_switch(&from.stackPointer_, to.stackPointer_);
    from.FinishSwitch(nullptr);
}

void Fiber::Started(Fiber& from) { FinishSwitch(&from); }

void Fiber::FinishSwitch(Fiber* from) {
#if defined(QV_ASAN_FIBERS)
    const void* previousBottom = nullptr;
    std::size_t previousSize = 0;
    __sanitizer_finish_switch_fiber(from != nullptr ? nullptr : fakeStack_, &previousBottom, &previousSize);
    // The host's own stack is learnt here, on the first switch away from it.
    if (from != nullptr && from->stackSize_ == 0) {
        from->stackBottom_ = previousBottom;
        from->stackSize_ = previousSize;
    }
#else
    (void)from;
#endif
}

} // namespace qv
