// The object manager's handle table. Each handle names one object of one
// type, and each type brings its own close routine, so that ZwClose needs
// to know nothing of what the object is: the kernel's thread objects, the
// Plug and Play manager's registry keys (pnp/registry.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "qvwdk.h"

namespace qv {

struct HandleType {
    const char* name;
    // Runs when a handle of this type is closed, after it has left the
    // table, with the object it named.
    void (*close)(void* object);
};

class HandleTable {
  public:
    HANDLE Insert(const HandleType& type, void* object);
    // The object a handle of this type names; null for a handle that is not
    // in the table or names an object of another type.
    void* Find(HANDLE handle, const HandleType& type) const;
    // Takes the handle out of the table and calls its type's close routine;
    // false when the handle is not in the table.
    bool Close(HANDLE handle);

  private:
    struct Entry {
        std::uintptr_t value;
        const HandleType* type;
        void* object;
    };
    std::vector<Entry> entries_;
    // Handle values are multiples of four, as on Windows, and never reused.
    std::uintptr_t next_ = 4;
};

} // namespace qv
