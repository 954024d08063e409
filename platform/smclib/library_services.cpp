// The smart card library's side services on the emulated machine:
// SmartcardCreateLink makes its links in the emulated object manager, and
// SmartcardLogError writes its entries to the machine's event log. They
// depend on the system the library runs in, so they live apart from the
// library's freestanding sources.
#include <cstdio>
#include <string>

#include "io/io_state.h"
#include "kernel/kernel.h"
#include "kernel/placement_rules.h"
#include "pnp/pnp_platform.h"
#include "smclib/event_log.h"
#include "smclib/library_state.h"

namespace qv::smclib {

namespace {

// Pool tag of counted strings handed to the caller, who frees them with
// RtlFreeUnicodeString (the same tag the emulated Rtl string routines use).
constexpr ULONG kStringTag = QV_POOL_TAG('S', 't', 'r', 'g');

// Readers' links are "\DosDevices\SCReader0", "\DosDevices\SCReader1", ...
constexpr std::u16string_view kLinkPrefix = u"\\DosDevices\\SCReader";
constexpr ULONG kMaximumLinks = MAXIMUM_SMARTCARD_READERS;

std::u16string FromCounted(PCUNICODE_STRING text) {
    if (text == nullptr || text->Buffer == nullptr) return {};
    return std::u16string(reinterpret_cast<const char16_t*>(text->Buffer), text->Length / sizeof(WCHAR));
}

} // namespace

std::string Describe(const EventLogEntry& entry) {
    char head[96];
    std::snprintf(head, sizeof head, "event log: 0x%08X for object %p", static_cast<unsigned>(entry.errorCode),
                  entry.object);
    std::string line = head;
    if (!entry.insertion.empty()) {
        line += ", insertion \"";
        for (char16_t c : entry.insertion) line += (c < 0x80) ? static_cast<char>(c) : '?';
        line += '"';
    }
    if (entry.dumpData != 0) {
        char dump[32];
        std::snprintf(dump, sizeof dump, ", dump data 0x%08X", static_cast<unsigned>(entry.dumpData));
        line += dump;
    }
    return line;
}

} // namespace qv::smclib

using namespace qv;
using namespace qv::smclib;
using qv::io::RequireIrqlAtMost;

extern "C" {

NTSTATUS NTAPI SmartcardCreateLink(PUNICODE_STRING LinkName, PUNICODE_STRING DeviceName) {
    QV_CHECK_CALLER();
    RequireIrqlAtMost(PASSIVE_LEVEL, "SmartcardCreateLink");
    if (LinkName == nullptr || DeviceName == nullptr || DeviceName->Buffer == nullptr) return STATUS_INVALID_PARAMETER;
    std::vector<SymbolicLink>& links = EventLog().Links();
    for (ULONG number = 0; number < kMaximumLinks; ++number) {
        const std::u16string name = std::u16string(kLinkPrefix) + static_cast<char16_t>(u'0' + number);
        // The first name the object manager does not hold: a link the
        // driver deleted frees its name for the next reader.
        if (qv::pnp::Platform().LinkTarget(name).has_value()) continue;

        const ULONG bytes = static_cast<ULONG>((name.size() + 1) * sizeof(WCHAR));
        auto* buffer = static_cast<PWCH>(ExAllocatePoolWithTag(NonPagedPool, bytes, kStringTag));
        if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        for (std::size_t i = 0; i < name.size(); ++i) buffer[i] = static_cast<WCHAR>(name[i]);
        buffer[name.size()] = 0;
        LinkName->Buffer = buffer;
        LinkName->Length = static_cast<USHORT>(name.size() * sizeof(WCHAR));
        LinkName->MaximumLength = static_cast<USHORT>(bytes);
        links.push_back({name, FromCounted(DeviceName)});
        // The link is a real one of the object manager, so that applications
        // can open the reader by it.
        qv::pnp::Platform().AddLink(name, FromCounted(DeviceName));
        return STATUS_SUCCESS;
    }
    return STATUS_OBJECT_NAME_COLLISION;
}

VOID NTAPI SmartcardLogError(PVOID Object, NTSTATUS ErrorCode, PUNICODE_STRING Insertion, ULONG DumpData) {
    QV_CHECK_CALLER();
    EventLogEntry entry;
    entry.time = K().Now();
    entry.object = Object;
    entry.errorCode = ErrorCode;
    entry.insertion = FromCounted(Insertion);
    entry.dumpData = DumpData;
    K().Events().Log(entry.time, "", "eventlog", Describe(entry));
    EventLog().Add(std::move(entry));
}

} // extern "C"
