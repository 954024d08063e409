#include "kernel/pool.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "kernel/ke_timer_state.h"
#include "kernel/placement_rules.h"
#include "kernel/scheduler.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define QV_POISON(address, size) ASAN_POISON_MEMORY_REGION(address, size)
#define QV_UNPOISON(address, size) ASAN_UNPOISON_MEMORY_REGION(address, size)
#else
// Without AddressSanitizer the guard bytes and the freed pattern are checked
// by the pool itself only.
#define QV_POISON(address, size) ((void)(address), (void)(size))
#define QV_UNPOISON(address, size) ((void)(address), (void)(size))
#endif

namespace qv {

namespace {
constexpr std::size_t kGuardSize = 16;
constexpr unsigned char kGuardByte = 0xA5;
// New blocks are filled with a pattern rather than zeros, so that code that
// forgets to initialise what it allocates does not pass by luck.
constexpr unsigned char kFreshByte = 0xC5;
constexpr unsigned char kFreedByte = 0xDD;
// The quarantine keeps the most recently freed blocks, up to a number and
// the machine's size (MachineConfig::poolQuarantineBytes): enough for a
// second free or a stale pointer to meet poison long after the first free,
// while a long run's memory stays flat however many blocks it frees.
constexpr std::size_t kQuarantineBlocks = 4096;
constexpr std::uint32_t kPerMillion = 1'000'000;
// Overrun detected in the guard bytes behind a block (parameter 4 of
// SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION).
constexpr ULONG_PTR kGuardOverwritten = 0x20;

bool Paged(POOL_TYPE type) { return type == PagedPool || type == PagedPoolCacheAligned; }

// Under AddressSanitizer the guard bytes of a live block, and the whole of a
// quarantined one, are poisoned: the faulty access itself is reported, with
// its stack, instead of the damage being found at the next free.
void PoisonGuards(unsigned char* base, std::size_t size) {
    QV_POISON(base, kGuardSize);
    QV_POISON(base + kGuardSize + size, kGuardSize);
}
void UnpoisonAll(unsigned char* base, std::size_t size) { QV_UNPOISON(base, size + 2 * kGuardSize); }
} // namespace

std::string TagText(ULONG tag) {
    std::string text;
    for (int shift = 0; shift < 32; shift += 8) {
        const char c = static_cast<char>((tag >> shift) & 0xFF);
        text += (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    return text;
}

// What a quarantined block costs the host: the block with its guards and
// the record kept of it. Counting the block alone let a quarantine of small
// blocks hold several times its limit.
std::size_t Pool::Footprint(const Block& block) { return block.size + 2 * kGuardSize + sizeof(Block); }

std::string Pool::Block::Site() const { return std::string(file) + ":" + std::to_string(line); }

PoolBlockInfo Pool::Block::Info() const { return PoolBlockInfo{address, size, tag, type, Site(), serial}; }

Pool::Pool(KernelCore& kernel) : kernel_(kernel), faults_(kernel.Config().poolFaults) {}

Pool::~Pool() {
    for (auto& [address, block] : live_) {
        UnpoisonAll(block.base, block.size);
        std::free(block.base);
    }
    for (auto& block : quarantine_) {
        UnpoisonAll(block.base, block.size);
        std::free(block.base);
    }
}

bool Pool::ShouldFail(ULONG tag) {
    if (faults_.onlyTag != 0 && faults_.onlyTag != tag) return false;
    if (faults_.failNth != 0 && serial_ == faults_.failNth) return true;
    if (faults_.failPerMillion != 0)
        return kernel_.Random(RandomStream::Pool)() % kPerMillion < faults_.failPerMillion;
    return false;
}

void* Pool::Allocate(POOL_TYPE type, std::size_t size, ULONG tag, const char* file, int line) {
    const KIRQL irql = CurrentIrql();
    if (Paged(type) && irql > APC_LEVEL) {
        kernel_.Violation("pool-paged-allocation-irql", bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION,
                          violation::PagedAllocationAboveApc, irql, type, size,
                          "paged pool allocated at IRQL " + std::to_string(irql));
    }
    if (irql > DISPATCH_LEVEL) {
        kernel_.Violation("pool-allocation-irql", bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION,
                          violation::NonPagedAllocationAboveDispatch, irql, type, size,
                          "pool allocated above DISPATCH_LEVEL");
    }
    if (size == 0) {
        kernel_.Violation("pool-zero-bytes", bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION, violation::ZeroByteAllocation,
                          irql, type, 0, "zero-byte pool allocation");
    }
    SwitchPoint();
    if (DrawFailure(tag, size, [&] { return std::string(file) + ":" + std::to_string(line); })) return nullptr;
    auto* base = static_cast<unsigned char*>(std::malloc(size + 2 * kGuardSize));
    if (base == nullptr) return nullptr;
    std::memset(base, kGuardByte, kGuardSize);
    std::memset(base + kGuardSize, kFreshByte, size);
    std::memset(base + kGuardSize + size, kGuardByte, kGuardSize);
    PoisonGuards(base, size);
    void* address = base + kGuardSize;
    live_.emplace(address, Block{base, address, size, tag, type, file, line, serial_});
    return address;
}

template <class What>
bool Pool::DrawFailure(ULONG tag, std::size_t size, const What& what) {
    ++serial_;
    kernel_.Events().Mix(serial_);
    if (!ShouldFail(tag)) return false;
    ++failed_;
    kernel_.Events().Log(kernel_.Now(), kernel_.Sched().CurrentName(), "pool",
                         "allocation " + std::to_string(serial_) + " of " + std::to_string(size) + " bytes ('" +
                             TagText(tag) + "') at " + what() + " fails");
    return true;
}

bool Pool::InjectFailure(ULONG tag, std::size_t size, const char* what) {
    return DrawFailure(tag, size, [what] { return std::string(what); });
}

void Pool::CheckGuards(const Block& block) {
    const std::size_t size = block.size;
    // The pool may read its own guard bytes; a live block's stay poisoned
    // for everyone else.
    UnpoisonAll(block.base, size);
    struct Repoison {
        const Block& block;
        ~Repoison() { PoisonGuards(block.base, block.size); }
    } repoison{block};
    for (std::size_t i = 0; i < kGuardSize; ++i) {
        if (block.base[i] != kGuardByte || block.base[kGuardSize + size + i] != kGuardByte) {
            kernel_.Violation("pool-overrun", bugcode::SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION,
                              reinterpret_cast<ULONG_PTR>(block.address), size, 0, kGuardOverwritten,
                              "pool block of " + std::to_string(size) + " bytes ('" + TagText(block.tag) +
                                  "') allocated at " + block.Site() + " was written outside its bounds");
        }
    }
}

// A kernel timer that is still set would expire into freed memory.
void Pool::CheckNoTimerInside(const Block& block) {
    const auto* begin = static_cast<const unsigned char*>(block.address);
    for (const auto& [timer, cookie] : kernel_.Timers().set) {
        const auto* at = reinterpret_cast<const unsigned char*>(timer);
        if (at >= begin && at < begin + block.size) {
            kernel_.Violation("pool-freed-with-set-timer", bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION,
                              violation::FreedPoolHoldsActiveTimer, reinterpret_cast<ULONG_PTR>(timer), block.type,
                              reinterpret_cast<ULONG_PTR>(block.address),
                              "pool block allocated at " + block.Site() + " freed while a timer in it is set");
        }
    }
}

void Pool::Free(void* address, std::optional<ULONG> tag) {
    const KIRQL irql = CurrentIrql();
    const auto found = live_.find(address);
    const POOL_TYPE type = found != live_.end() ? found->second.type : NonPagedPool;
    if (irql > DISPATCH_LEVEL) {
        kernel_.Violation("pool-free-irql", bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION, violation::FreeAboveDispatch,
                          irql, type, reinterpret_cast<ULONG_PTR>(address), "pool freed above DISPATCH_LEVEL");
    }
    // Paged pool may be paged out, and touching it at DISPATCH_LEVEL is a page
    // fault nobody can serve.
    if (Paged(type) && irql > APC_LEVEL) {
        kernel_.Violation("pool-paged-free-irql", bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION,
                          violation::PagedFreeAboveApc, irql, type, reinterpret_cast<ULONG_PTR>(address),
                          "paged pool freed at IRQL " + std::to_string(irql));
    }
    if (found == live_.end()) {
        for (const Block& old : quarantine_) {
            if (old.address == address) {
                kernel_.Fatal("pool-freed-twice", bugcode::BAD_POOL_CALLER, violation::PoolFreedTwice, 0, old.tag,
                              reinterpret_cast<ULONG_PTR>(address),
                              "pool block allocated at " + old.Site() + " freed twice");
            }
        }
        kernel_.Fatal("pool-free-unknown", bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION, violation::FreeOfUnknownAddress,
                      reinterpret_cast<ULONG_PTR>(address), 0, 0, "freed an address that no pool allocation returned");
    }
    const Block block = found->second;
    if (tag && *tag != block.tag) {
        kernel_.Violation("pool-free-wrong-tag", bugcode::BAD_POOL_CALLER, violation::PoolFreedWithWrongTag,
                          reinterpret_cast<ULONG_PTR>(address), block.tag, *tag,
                          "pool block tagged '" + TagText(block.tag) + "' freed with tag '" + TagText(*tag) + "'");
    }
    CheckGuards(block);
    CheckNoTimerInside(block);
    live_.erase(found);
    std::memset(block.base + kGuardSize, kFreedByte, block.size);
    QV_POISON(block.base, block.size + 2 * kGuardSize);
    quarantineBytes_ += Footprint(block);
    quarantine_.push_back(block);
    while ((quarantineBytes_ > kernel_.Config().poolQuarantineBytes || quarantine_.size() > kQuarantineBlocks) &&
           !quarantine_.empty()) {
        quarantineBytes_ -= Footprint(quarantine_.front());
        UnpoisonAll(quarantine_.front().base, quarantine_.front().size);
        std::free(quarantine_.front().base);
        quarantine_.pop_front();
    }
    SwitchPoint();
}

std::vector<PoolBlockInfo> Pool::Outstanding() const {
    std::vector<PoolBlockInfo> blocks;
    for (const auto& [address, block] : live_) blocks.push_back(block.Info());
    return blocks;
}

void Pool::CheckAll() {
    for (const auto& [address, block] : live_) CheckGuards(block);
}

} // namespace qv

using namespace qv;

namespace {
// The tag ExAllocatePool gives its blocks, as on Windows.
constexpr ULONG kUntaggedPool = QV_POOL_TAG('N', 'o', 'n', 'e');
} // namespace

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag, const char* File, int Line) {
    QV_CHECK_CALLER();
    return K().PoolAllocator().Allocate(PoolType, NumberOfBytes, Tag, File, Line);
}

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes, const char* File, int Line) {
    QV_CHECK_CALLER();
    return K().PoolAllocator().Allocate(PoolType, NumberOfBytes, kUntaggedPool, File, Line);
}

void NTAPI ExFreePool(PVOID P) {
    QV_CHECK_CALLER();
    K().PoolAllocator().Free(P, std::nullopt);
}

void NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) {
    QV_CHECK_CALLER();
    K().PoolAllocator().Free(P, Tag);
}

} // extern "C"
