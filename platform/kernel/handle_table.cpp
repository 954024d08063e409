#include "kernel/handle_table.h"

#include <algorithm>

namespace qv {

namespace {
constexpr std::uintptr_t kHandleStep = 4;
} // namespace

HANDLE HandleTable::Insert(const HandleType& type, void* object) {
    const std::uintptr_t value = next_;
    next_ += kHandleStep;
    entries_.push_back({value, &type, object});
    return reinterpret_cast<HANDLE>(value);
}

void* HandleTable::Find(HANDLE handle, const HandleType& type) const {
    const auto value = reinterpret_cast<std::uintptr_t>(handle);
    for (const Entry& entry : entries_)
        if (entry.value == value) return entry.type == &type ? entry.object : nullptr;
    return nullptr;
}

bool HandleTable::Close(HANDLE handle) {
    const auto value = reinterpret_cast<std::uintptr_t>(handle);
    auto found = std::find_if(entries_.begin(), entries_.end(), [value](const Entry& e) { return e.value == value; });
    if (found == entries_.end()) return false;
    const Entry entry = *found;
    entries_.erase(found);
    entry.type->close(entry.object);
    return true;
}

} // namespace qv
