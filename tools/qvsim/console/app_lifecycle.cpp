// The application console's device-life commands: readers plugged in and
// pulled out, the handle opened and closed, the Plug and Play requests, and
// the choice of the reader the next requests go to. Each prints its result
// line in the console's format.
#include <cstdio>

#include "device.h"
#include "qvsim/console/app_console.h"
#include "cards/card_catalogue.h"
#include "kernel/status_names.h"
#include "smclib/event_log.h"

namespace qv::harness {

namespace {

struct PnpVerb {
    std::string_view word;
    UCHAR minor;
};

constexpr PnpVerb kPnpVerbs[] = {
    {"start", IRP_MN_START_DEVICE},
    {"stop", IRP_MN_STOP_DEVICE},
    {"remove", IRP_MN_REMOVE_DEVICE},
    {"query-stop", IRP_MN_QUERY_STOP_DEVICE},
    {"cancel-stop", IRP_MN_CANCEL_STOP_DEVICE},
    {"query-remove", IRP_MN_QUERY_REMOVE_DEVICE},
    {"cancel-remove", IRP_MN_CANCEL_REMOVE_DEVICE},
};

std::string_view LifeName(const PluggedReader& reader) {
    switch (reader.life) {
    case ReaderLife::Started: return "started";
    case ReaderLife::Removed: return "removed";
    case ReaderLife::Gone: return "gone";
    case ReaderLife::Failed: return "failed";
    default: return "stopped";
    }
}

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.remove_suffix(1);
    return text;
}

} // namespace

SMARTCARD_EXTENSION* AppConsole::Smartcard() {
    PDEVICE_EXTENSION extension = machine_->Extension(current_);
    if (extension == nullptr) {
        Error("reader " + std::to_string(current_) + " is gone");
        return nullptr;
    }
    return &extension->SmartcardExtension;
}

void AppConsole::PrintNewLogEntries() {
    if (!healthy_ && finished_) return;
    std::size_t count = 0;
    std::vector<std::string> lines;
    machine_->Machine();
    // The log belongs to the machine; it is read between runs.
    const auto& entries = smclib::EventLog().Entries();
    count = entries.size();
    for (std::size_t i = logShown_; i < count; ++i) lines.push_back(smclib::Describe(entries[i]));
    logShown_ = count;
    for (const std::string& line : lines) Line(line);
}

void AppConsole::PlugCommand(std::string_view arguments) {
    std::string error;
    std::unique_ptr<sim::UsbReader> plugged = ReaderToPlug(arguments, options_.model, options_.card, options_.seed, error);
    if (!plugged) return Error(error);
    readers_.push_back(std::move(plugged));
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PlugResult added;
    const bool ran = RunOnMachine([&] {
        // The bus reports the reader; the Plug and Play manager adds and
        // starts it.
        added = machine_->Plug(*readers_.back());
        status = NT_SUCCESS(added.status) ? added.started : added.status;
    });
    PrintNewLogEntries();
    if (!ran) return;
    const PluggedReader& reader = machine_->Readers().at(added.index);
    ResultLine("plug", status, reader.device != nullptr ? "unit " + std::to_string(reader.unit) : std::string());
}

void AppConsole::ReadersCommand() {
    const auto& readers = machine_->Readers();
    for (std::size_t index = 0; index < readers.size(); ++index) {
        const PluggedReader& reader = readers[index];
        const std::string model(sim::ModelId(
            reader.model != nullptr ? static_cast<sim::UsbReader*>(reader.model)->Model() : options_.model));
        // A reader that add-device refused never had a unit: its line says
        // why it failed instead.
        if (reader.life == ReaderLife::Failed) {
            Line("reader " + std::to_string(index) + ": " + model + " failed " + NtStatusText(reader.added));
            continue;
        }
        Line("reader " + std::to_string(index) + ": unit " + std::to_string(reader.unit) + " " + model + " " +
             std::string(LifeName(reader)));
    }
}

bool AppConsole::LifecycleCommand(std::string_view verb, std::string_view arguments) {
    arguments = Trimmed(arguments);
    if (verb == "plug") {
        PlugCommand(arguments);
        return true;
    }
    if (verb == "readers") {
        ReadersCommand();
        return true;
    }
    if (verb == "reader") {
        const std::string text(arguments);
        char* end = nullptr;
        const unsigned long index = std::strtoul(text.c_str(), &end, 10);
        if (text.empty() || *end != '\0' || index >= machine_->Readers().size()) {
            Error("reader takes the index of a plugged reader (see readers)");
        } else {
            current_ = index;
        }
        return true;
    }
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    std::function<void()> body;
    PluggedReader* reader = current_ < machine_->Readers().size() ? &machine_->Readers()[current_] : nullptr;
    if (verb == "open") {
        body = [&] { status = machine_->Open(current_); };
    } else if (verb == "close" || verb == "cleanup") {
        // An application's handle takes no more requests once its cleanup
        // has come, so `cleanup` closes it as `close` does: the cleanup at
        // once, the close after the handle's last request.
        if (reader == nullptr || !reader->open) {
            Error("no handle is open on this reader");
            return true;
        }
        body = [&] { status = machine_->Close(current_); };
    } else if (verb == "unplug") {
        if (reader == nullptr || reader->device == nullptr || reader->pulled) {
            Error("this reader is not plugged in");
            return true;
        }
        body = [&] { status = machine_->Unplug(current_); };
    } else {
        const PnpVerb* found = nullptr;
        for (const PnpVerb& candidate : kPnpVerbs) {
            if (candidate.word == verb) found = &candidate;
        }
        if (found == nullptr) return false;
        if (reader == nullptr || reader->device == nullptr) {
            Error("reader " + std::to_string(current_) + " is gone");
            return true;
        }
        if (found->minor == IRP_MN_REMOVE_DEVICE && reader->open) {
            // An orderly removal comes only after the last handle's close.
            Error("close the handle first");
            return true;
        }
        const UCHAR minor = found->minor;
        body = [&, minor] { status = machine_->Pnp(current_, minor); };
    }
    const bool ran = RunOnMachine(body);
    PrintNewLogEntries();
    if (ran) ResultLine(std::string(verb), status);
    return true;
}

} // namespace qv::harness
