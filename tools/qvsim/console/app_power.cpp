// The application console's power commands: the system to a sleeping state
// and back. Under --trace each power request the power manager sent, and
// each device request and notification of the driver, prints as it happens,
// in order with the reader's transfers.
#include "qvsim/console/app_console.h"
#include "power/power_manager.h"

namespace qv::harness {

namespace {

struct SleepWord {
    std::string_view word;
    SYSTEM_POWER_STATE state;
};

constexpr SleepWord kSleepWords[] = {
    {"S1", PowerSystemSleeping1}, {"S2", PowerSystemSleeping2}, {"S3", PowerSystemSleeping3},
    {"S4", PowerSystemHibernate}, {"S5", PowerSystemShutdown},
};

} // namespace

bool AppConsole::PowerCommand(std::string_view verb, std::string_view arguments) {
    while (!arguments.empty() && (arguments.front() == ' ' || arguments.front() == '\t')) arguments.remove_prefix(1);
    while (!arguments.empty() && (arguments.back() == ' ' || arguments.back() == '\r')) arguments.remove_suffix(1);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    std::function<void()> body;
    if (verb == "sleep") {
        SYSTEM_POWER_STATE state = PowerSystemSleeping3;
        if (!arguments.empty()) {
            const SleepWord* found = nullptr;
            for (const SleepWord& candidate : kSleepWords)
                if (candidate.word == arguments) found = &candidate;
            if (found == nullptr) {
                Error("sleep takes S1, S2, S3, S4 or S5");
                return true;
            }
            state = found->state;
        }
        body = [&, state] { status = power::Sleep(state); };
    } else if (verb == "wake") {
        if (!arguments.empty()) {
            Error("wake takes no arguments");
            return true;
        }
        body = [&] { status = power::Wake(); };
    } else {
        return false;
    }
    // Under --trace the power manager's lines print as they happen (the
    // console's trace listener), between the transfers they cause.
    const bool ran = RunOnMachine(body);
    PrintNewLogEntries();
    if (ran) ResultLine(std::string(verb), status);
    return true;
}

} // namespace qv::harness
