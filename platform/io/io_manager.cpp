// TEMPORARY STUB so the kernel core links before the I/O manager lands.
// The I/O manager's author replaces this file wholesale.
#include "io/io_manager.h"

namespace qv {
struct IoManager::State {};
IoManager::IoManager(Kernel& kernel) : kernel_(kernel), state_(nullptr) {}
IoManager::~IoManager() = default;
PDRIVER_OBJECT IoManager::LoadDriver(std::u16string_view, PDRIVER_INITIALIZE, NTSTATUS*) { return nullptr; }
void IoManager::UnloadDriver(PDRIVER_OBJECT) {}
void IoManager::FireTimers() {}
std::vector<std::string> IoManager::RecentIrps() const { return {}; }
} // namespace qv
