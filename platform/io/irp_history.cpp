// The ring of recent IRP events and the names it prints them with.
#include <string>

#include "io/io_state.h"
#include "kernel/number_text.h"
#include "kernel/status_names.h"
#include "kernel/scheduler.h"

namespace qv::io {

namespace {

// Every IRP that goes by is described, so the text is built in the ring's
// own strings rather than with printf and temporaries.
void AppendIrpName(std::string& text, const IrpRecord& record) {
    text += "irp";
    AppendDecimal(text, record.serial);
}

// The names of the major functions; null for one without a name here.
const char* MajorFunctionName(UCHAR major) {
    switch (major) {
    case IRP_MJ_CREATE:
        return "IRP_MJ_CREATE";
    case IRP_MJ_CLOSE:
        return "IRP_MJ_CLOSE";
    case IRP_MJ_READ:
        return "IRP_MJ_READ";
    case IRP_MJ_WRITE:
        return "IRP_MJ_WRITE";
    case IRP_MJ_DEVICE_CONTROL:
        return "IRP_MJ_DEVICE_CONTROL";
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        return "IRP_MJ_INTERNAL_DEVICE_CONTROL";
    case IRP_MJ_SHUTDOWN:
        return "IRP_MJ_SHUTDOWN";
    case IRP_MJ_CLEANUP:
        return "IRP_MJ_CLEANUP";
    case IRP_MJ_POWER:
        return "IRP_MJ_POWER";
    case IRP_MJ_SYSTEM_CONTROL:
        return "IRP_MJ_SYSTEM_CONTROL";
    case IRP_MJ_PNP:
        return "IRP_MJ_PNP";
    default:
        return nullptr;
    }
}

void AppendMajorFunction(std::string& text, UCHAR major) {
    if (const char* name = MajorFunctionName(major); name != nullptr) {
        text += name;
        return;
    }
    text += "IRP_MJ_";
    AppendHex(text, major, 2);
}

} // namespace

std::string MajorFunctionText(UCHAR major) {
    std::string text;
    AppendMajorFunction(text, major);
    return text;
}

std::string Narrow(std::u16string_view text) {
    std::string narrow;
    narrow.reserve(text.size());
    for (char16_t c : text) narrow.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return narrow;
}

void IrpHistory::Sent(const IrpRecord& record, const IO_STACK_LOCATION& stack, const std::string& device) {
    std::string& text = NextEvent();
    text += "send ";
    AppendIrpName(text, record);
    text += ' ';
    AppendMajorFunction(text, stack.MajorFunction);
    // The minor code and the control code say which request it is; the
    // buffers do not, and their addresses differ between runs.
    if (stack.MajorFunction == IRP_MJ_PNP || stack.MajorFunction == IRP_MJ_POWER) {
        text += '/';
        AppendHex(text, stack.MinorFunction, 2);
    } else if (stack.MajorFunction == IRP_MJ_DEVICE_CONTROL || stack.MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
        text += ' ';
        AppendHex(text, stack.Parameters.DeviceIoControl.IoControlCode, 8);
    }
    text += " to ";
    text += device;
    Record();
}

void IrpHistory::Completed(const IrpRecord& record, const std::string& device, NTSTATUS status) {
    std::string& text = NextEvent();
    text += "complete ";
    AppendIrpName(text, record);
    text += " at ";
    text += device;
    text += ' ';
    text += NtStatusName(status);
    Record();
}

void IrpHistory::Cancelled(const IrpRecord& record, bool routineCalled) {
    std::string& text = NextEvent();
    text += "cancel ";
    AppendIrpName(text, record);
    if (!routineCalled) text += " (no cancel routine)";
    Record();
}

std::vector<std::string> IrpHistory::Recent() const {
    std::vector<std::string> events;
    events.reserve(count_);
    const std::size_t first = (next_ + kDepth - count_) % kDepth;
    for (std::size_t i = 0; i < count_; ++i) events.push_back(ring_[(first + i) % kDepth]);
    return events;
}

std::string& IrpHistory::NextEvent() {
    std::string& text = ring_[next_];
    text.clear(); // keeps what the string had allocated
    return text;
}

void IrpHistory::Record() {
    KernelCore& kernel = K();
    kernel.Events().Log(kernel.Now(), kernel.Sched().CurrentName(), "io", ring_[next_]);
    next_ = (next_ + 1) % kDepth;
    if (count_ < kDepth) ++count_;
}

} // namespace qv::io
