// The system event log as far as the smart card library writes to it: the
// entries of SmartcardLogError, kept per emulated machine so that tests can
// read them and qvsim can print them. Each entry is also written to the
// machine's event trace (category "eventlog").
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "qvwdk.h"

namespace qv::smclib {

struct EventLogEntry {
    std::uint64_t time = 0;     // virtual time, 100 ns units
    const void* object = nullptr; // the driver or device object the entry is written for
    NTSTATUS errorCode = 0;
    std::u16string insertion;   // the insertion string, empty when none was given
    ULONG dumpData = 0;
};

// One line for people: "event log: 0xC0100003 for object 0x..., insertion "..."".
std::string Describe(const EventLogEntry& entry);

// The symbolic links that SmartcardCreateLink made, by name and target.
struct SymbolicLink {
    std::u16string name;
    std::u16string target;
};

class SmartcardEventLog {
  public:
    void Add(EventLogEntry entry) { entries_.push_back(std::move(entry)); }
    const std::vector<EventLogEntry>& Entries() const { return entries_; }
    void Clear() { entries_.clear(); }

    std::vector<SymbolicLink>& Links() { return links_; }

  private:
    std::vector<EventLogEntry> entries_;
    std::vector<SymbolicLink> links_;
};

// The log of the machine the calling code runs on (machine/machine.cpp).
SmartcardEventLog& EventLog();

} // namespace qv::smclib
