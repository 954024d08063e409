// Host memory for I/O objects, its quarantine, and the IRQL check the I/O
// routines share.
#include <algorithm>
#include <cstring>
#include <string>

#include "io/io_state.h"

namespace qv::io {

namespace {
// The byte freed objects are filled with; stale pointers read it as huge
// counts and wild addresses, which fail fast.
constexpr unsigned char kPoisonByte = 0xD5;
} // namespace

void RequireIrqlAtMost(KIRQL highest, const char* routine) {
    const KIRQL irql = CurrentIrql();
    if (irql > highest) {
        K().Violation("io-routine-irql", bugcode::IRQL_NOT_LESS_OR_EQUAL, 0, irql, 0, 0,
                      std::string(routine) + " called at IRQL " + std::to_string(irql) + ", above " +
                          std::to_string(highest));
    }
}

HostBlock::HostBlock(std::size_t size) : bytes_(std::make_unique<std::byte[]>(size)), size_(size) {}

void HostBlock::Poison() { std::memset(bytes_.get(), kPoisonByte, size_); }

void Quarantine::Retire(HostBlock block) {
    block.Poison();
    blocks_.push_back(std::move(block));
    if (blocks_.size() > kCapacity) blocks_.pop_front();
}

bool Quarantine::Holds(const void* address) const {
    return std::any_of(blocks_.begin(), blocks_.end(),
                       [address](const HostBlock& block) { return block.Data() == address; });
}

} // namespace qv::io
