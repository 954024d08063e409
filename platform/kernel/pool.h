// The kernel pool: every block is tracked with its tag, size and call site,
// wrapped in guard bytes that catch overruns, and kept poisoned in a
// quarantine after it is freed so that a second free is recognised.
// Allocations can be made to fail on demand.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "kernel/kernel.h"

namespace qv {

struct PoolBlockInfo {
    const void* address = nullptr;
    std::size_t size = 0;
    ULONG tag = 0;
    POOL_TYPE type = NonPagedPool;
    std::string site; // "file:line" of the allocation
    std::uint64_t serial = 0;
};

std::string TagText(ULONG tag);

class Pool {
  public:
    explicit Pool(KernelCore& kernel);
    ~Pool();
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    void* Allocate(POOL_TYPE type, std::size_t size, ULONG tag, const char* file, int line);
    // tag is checked when given (ExFreePoolWithTag).
    void Free(void* address, std::optional<ULONG> tag);

    std::vector<PoolBlockInfo> Outstanding() const;
    std::size_t OutstandingCount() const { return live_.size(); }
    // Freed blocks kept poisoned; bounded, however many a run frees.
    std::size_t QuarantinedCount() const { return quarantine_.size(); }
    std::uint64_t Allocations() const { return serial_; }
    std::uint64_t FailedAllocations() const { return failed_; }

    // Counts an allocation the kernel makes for the driver outside the pool
    // (an IRP, say) and says whether the fault plan makes it fail, so that
    // such failures are injected the same way as the pool's own.
    bool InjectFailure(ULONG tag, std::size_t size, const char* what);

    // Checks the guard bytes of every live block.
    void CheckAll();
    void SetFaults(const PoolFaultConfig& faults) { faults_ = faults; }
    // Fails the allocation that comes `n` allocations from now (1 = the next).
    void FailAfter(std::uint64_t n) { faults_.failNth = serial_ + n; }

  private:
    // What the pool keeps of each block. The call site stays a pointer to
    // the caller's file name, a literal of the code that allocates, and is
    // put into words only for a report: every allocation and free passes
    // through here.
    struct Block {
        unsigned char* base = nullptr; // start of the host allocation
        const void* address = nullptr;
        std::size_t size = 0;
        ULONG tag = 0;
        POOL_TYPE type = NonPagedPool;
        const char* file = nullptr;
        int line = 0;
        std::uint64_t serial = 0;

        std::string Site() const;
        PoolBlockInfo Info() const;
    };

    static std::size_t Footprint(const Block& block);
    // Counts an allocation and draws whether it fails; a failure is logged
    // with `what` made by the caller only then.
    template <class What>
    bool DrawFailure(ULONG tag, std::size_t size, const What& what);
    bool ShouldFail(ULONG tag);
    void CheckGuards(const Block& block);
    void CheckNoTimerInside(const Block& block);

    KernelCore& kernel_;
    PoolFaultConfig faults_;
    std::map<const void*, Block> live_;
    std::deque<Block> quarantine_;
    std::size_t quarantineBytes_ = 0;
    std::uint64_t serial_ = 0;
    std::uint64_t failed_ = 0;
};

} // namespace qv
