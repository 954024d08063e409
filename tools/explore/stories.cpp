// The explorer's stories: one Plug and Play or power event of the reader's
// life meeting an application's (or a kernel-mode caller's) requests in
// flight. Each story accepts, for every request, the statuses that fit what
// the event may do to it, and checks that an answer claiming success carries
// the card's data.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>

#include "cards/card_catalogue.h"
#include "cards/iso_application.h"
#include "explore/explore.h"
#include "kernel/status_names.h"
#include "power/power_manager.h"
#include "qvscr.h"
#include "usb_reader.h"

namespace qv::explore {

namespace {

using harness::ReaderMachine;
using Bytes = std::vector<std::uint8_t>;

// The reader's life event of a story.
enum class Event { StopAndRestart, CancelStop, SurpriseRemoval, OrderlyRemoval, Sleep, Hibernate, CardPulled, None };

// What the requesters do while it happens.
enum class Work {
    TransmitT0,      // READ BINARY of the data file under T=0
    TransmitT1,      // an echo under T=1 for which the card asks for more time
    Power,           // a cold reset
    WaitThenCancel,  // a card-absent wait, cancelled
    WaitThenCleanup, // a card-absent wait, ended by closing the handle
    WaitAcross,      // a card-absent wait pending before the event, which the event's end must complete
    WaitDuring,      // a card-absent wait sent during the event: a removal ends it, else it is cancelled after
    WaitCancelledByAnother, // a card-absent wait that another thread cancels (Canceller) as it goes in
    Canceller,       // cancels every request on the handle as soon as the wait above is being sent
    CancelAtTick,    // cancels every request on the handle when the next poll is due
    WaitResubmitting, // a kernel-mode card-absent wait whose completion sends a card-present wait
};

// Through the application's handle, or straight to the stack as a
// kernel-mode caller sends them (no handle holds the reader then).
enum class Sender { Application, Kernel };

// What a lifecycle story is made of: the event, the requests that meet it
// and who sends them.
struct Outline {
    const char* name;
    const char* summary;
    Event event;
    std::vector<Work> work;
    Sender sender = Sender::Application;
};

constexpr const char* kCardName = "dual";
constexpr ULONG kHeaderLength = sizeof(SCARD_IO_REQUEST);
constexpr std::size_t kReadLength = 0x20;
constexpr std::uint8_t kEchoWaits = 1;
const Bytes kSelectDf = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x51, 0x00};
const Bytes kSelectData = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x01, 0x01};
const Bytes kEchoData = {0x51, 0x56, 0x53, 0x43, 0x52, 0x31, 0x32, 0x33};
constexpr std::uint16_t kSwOk = 0x9000;
// How long the lifecycle thread lets a sleep last: long enough for the
// reader's once-a-second poll to come due while it sleeps.
constexpr std::int64_t kSleepMilliseconds = 1500;
// How long a requester waits for a wait it cancelled, or that an event's end
// should have completed, before it calls it lost.
constexpr std::int64_t kWaitPatienceMilliseconds = 3000;
constexpr std::int64_t kWaitStepMilliseconds = 500;
constexpr std::int64_t kRemovalRetryMilliseconds = 2000;
constexpr std::int64_t kRemovalPatienceMilliseconds = 8000;
// The pause before a wait is cancelled or its handle closed: long enough for
// the request to reach the driver, short against a poll period.
constexpr std::int64_t kBeforeCancelMilliseconds = 20;
// The race begins this long before the next tick of the I/O timer, so that
// the poller takes part in it.
constexpr std::int64_t kBeforeTickMilliseconds = 40;
// How long after the requesters a removal or a sleep begins.
constexpr std::int64_t kEventDelayMilliseconds = 5;
constexpr std::int64_t kMillisecondsPerSecond = 1000;

void Pause(std::int64_t milliseconds) {
    LARGE_INTEGER interval;
    interval.QuadPart = -milliseconds * static_cast<std::int64_t>(kTicksPerMillisecond);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

Bytes AsInput(ULONG value) {
    Bytes bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
}

Bytes TransmitRequest(ULONG protocol, const Bytes& apdu) {
    SCARD_IO_REQUEST header{protocol, kHeaderLength};
    // Sized once and filled in place: GCC 12 at -O3 misreads an insert after
    // the header as a copy past it (-Warray-bounds).
    Bytes request(kHeaderLength + apdu.size());
    std::memcpy(request.data(), &header, kHeaderLength);
    std::copy(apdu.begin(), apdu.end(), request.begin() + kHeaderLength);
    return request;
}

Bytes ReadApdu() { return {0x00, 0xB0, 0x00, 0x00, static_cast<std::uint8_t>(kReadLength)}; }

Bytes EchoApdu() {
    Bytes apdu = {0x80, 0xE4, kEchoWaits, 0x00, static_cast<std::uint8_t>(kEchoData.size())};
    apdu.insert(apdu.end(), kEchoData.begin(), kEchoData.end());
    apdu.push_back(static_cast<std::uint8_t>(kEchoData.size()));
    return apdu;
}

Bytes ExpectedRead() {
    Bytes answer;
    for (std::size_t i = 0; i < kReadLength; ++i) answer.push_back(sim::DataFileByte(i));
    answer.push_back(kSwOk >> 8);
    answer.push_back(kSwOk & 0xFF);
    return answer;
}

Bytes ExpectedEcho() {
    Bytes answer = kEchoData;
    answer.push_back(kSwOk >> 8);
    answer.push_back(kSwOk & 0xFF);
    return answer;
}

std::string Name(NTSTATUS status) { return NtStatusName(status); }

// What a card request (a transmit, a reset) may end with when the event
// meets it. Besides success:
// - A stop or a sleep holds requests that come after it has begun until the
//   reader is back; the card lost its power then, or the driver has not yet
//   seen it again: STATUS_INVALID_DEVICE_STATE (reset it first) or
//   STATUS_NO_MEDIA. A request already inside when the reader goes to sleep
//   and still waiting for the reader when the power goes finds it not ready
//   (STATUS_DEVICE_NOT_READY). A request never meets the reader stopped,
//   unconfigured or suspended: that is a transport failure
//   (STATUS_IO_TIMEOUT, STATUS_DEVICE_PROTOCOL_ERROR, STATUS_INVALID_HANDLE).
// - A cancelled stop changes nothing: the held request goes on.
// - A removal takes the reader away: a reader command that finds it gone
//   fails (STATUS_IO_TIMEOUT, the card services' verdict; a T=1 exchange cut
//   between its blocks, STATUS_DEVICE_PROTOCOL_ERROR; a reset that got no
//   answer, STATUS_UNRECOGNIZED_MEDIA), a request that comes after fails with
//   STATUS_DEVICE_REMOVED, or finds no device at all (STATUS_NO_SUCH_DEVICE).
std::set<NTSTATUS> CardRequestStatuses(Event event) {
    switch (event) {
    case Event::StopAndRestart:
        return {STATUS_SUCCESS, STATUS_INVALID_DEVICE_STATE, STATUS_NO_MEDIA};
    case Event::CancelStop:
    case Event::CardPulled:
    case Event::None:
        return {STATUS_SUCCESS};
    case Event::Sleep:
    case Event::Hibernate:
        return {STATUS_SUCCESS, STATUS_INVALID_DEVICE_STATE, STATUS_NO_MEDIA, STATUS_DEVICE_NOT_READY};
    case Event::SurpriseRemoval:
    case Event::OrderlyRemoval:
        break;
    }
    return {STATUS_SUCCESS,        STATUS_INVALID_DEVICE_STATE,  STATUS_NO_MEDIA,
            STATUS_IO_TIMEOUT,     STATUS_DEVICE_PROTOCOL_ERROR, STATUS_UNRECOGNIZED_MEDIA,
            STATUS_DEVICE_REMOVED, STATUS_NO_SUCH_DEVICE};
}

// A card-absent wait ends when the card goes, or when the driver reports the
// card again (after a restart or a wake it cannot know that the card stayed),
// or when the reader goes away (success); when it is cancelled or its handle
// closed (STATUS_CANCELLED); or because the reader is being removed.
const std::set<NTSTATUS>& WaitStatuses() {
    static const std::set<NTSTATUS> statuses = {STATUS_SUCCESS, STATUS_CANCELLED, STATUS_DEVICE_REMOVED,
                                                STATUS_NO_SUCH_DEVICE};
    return statuses;
}

class LifecycleStory final : public Story {
  public:
    explicit LifecycleStory(const Outline& outline)
        : outline_(outline), reader_(sim::ReaderOptions{}, sim::MakeCard(kCardName)),
          atr_(sim::CardOptions(kCardName)->atr) {
        KeInitializeEvent(&sending_, NotificationEvent, FALSE);
        KeInitializeEvent(&cancelled_, NotificationEvent, FALSE);
        KeInitializeEvent(&resubmitted_, NotificationEvent, FALSE);
        KeInitializeEvent(&eventDone_, NotificationEvent, FALSE);
    }

    NTSTATUS Setup(ReaderMachine& machine) override {
        NTSTATUS status = machine.Plug(reader_).status;
        if (NT_SUCCESS(status)) status = machine.Open(0);
        // The driver learns of the card at its first poll.
        for (std::int64_t waited = 0; NT_SUCCESS(status) && !CardSeen(machine) && waited < kWaitPatienceMilliseconds;
             waited += kWaitStepMilliseconds) {
            Pause(kWaitStepMilliseconds);
        }
        if (NT_SUCCESS(status)) status = Send(machine, IOCTL_SMARTCARD_POWER, AsInput(SCARD_COLD_RESET), 64).status;
        if (NT_SUCCESS(status)) status = Send(machine, IOCTL_SMARTCARD_SET_PROTOCOL, AsInput(Protocol()), 4).status;
        for (const Bytes& select : {kSelectDf, kSelectData}) {
            if (NT_SUCCESS(status)) status = Send(machine, IOCTL_SMARTCARD_TRANSMIT, TransmitRequest(Protocol(), select), 64).status;
        }
        if (!NT_SUCCESS(status)) return status;
        if (outline_.sender == Sender::Kernel) status = machine.Close(0);
        for (Work work : outline_.work) {
            if (work == Work::WaitAcross) across_.push_back(&machine.SendAsync(0, IOCTL_SMARTCARD_IS_ABSENT));
        }
        // The race begins just before a tick of the reader's I/O timer.
        const std::int64_t now = static_cast<std::int64_t>(K().Now() / kTicksPerMillisecond);
        const std::int64_t tick = (now / kMillisecondsPerSecond + 2) * kMillisecondsPerSecond;
        Pause(tick - kBeforeTickMilliseconds - now);
        return status;
    }

    void Race(ReaderMachine& machine) override {
        suspendedAtStart_ = machine.Bus().Counters().whileSuspended;
        K().Spawn("event", [this, &machine] { RunEvent(machine); });
        for (std::size_t i = 0; i < outline_.work.size(); ++i) {
            K().Spawn("requester " + std::to_string(i + 1), [this, &machine, i] { RunWork(machine, outline_.work[i]); });
        }
    }

    std::vector<std::string> Check(ReaderMachine& machine) override {
        Collect(machine);
        for (const harness::AsyncRequest& request : reaped_) {
            if (request.completions != 1) {
                problems_.push_back("a card wait completed " + std::to_string(request.completions) + " times");
            }
        }
        // A driver lets its reader sleep only once it has stopped sending to it.
        if (const std::uint64_t sent = machine.Bus().Counters().whileSuspended - suspendedAtStart_; sent != 0) {
            problems_.push_back(std::to_string(sent) + " USB request(s) sent to the reader while it was suspended");
        }
        if (machine.Outstanding() != 0) {
            problems_.push_back(std::to_string(machine.Outstanding()) + " card wait(s) still pending after the story");
        }
        return problems_;
    }

  private:
    bool CardSeen(ReaderMachine& machine) {
        const harness::IoctlResult state = Send(machine, IOCTL_SMARTCARD_GET_STATE, {}, sizeof(ULONG));
        ULONG value = 0;
        if (state.status == STATUS_SUCCESS && state.output.size() >= sizeof value)
            std::memcpy(&value, state.output.data(), sizeof value);
        return value >= SCARD_PRESENT;
    }

    ULONG Protocol() const {
        return std::find(outline_.work.begin(), outline_.work.end(), Work::TransmitT1) != outline_.work.end()
                   ? SCARD_PROTOCOL_T1
                   : SCARD_PROTOCOL_T0;
    }

    harness::IoctlResult Send(ReaderMachine& machine, ULONG code, const Bytes& input, ULONG outputLength) {
        return machine.DeviceControl(0, code, input, outputLength);
    }

    void Expect(const std::string& what, NTSTATUS status, std::initializer_list<NTSTATUS> accepted) {
        if (std::find(accepted.begin(), accepted.end(), status) == accepted.end())
            problems_.push_back(what + " ended with " + Name(status));
    }

    void ExpectIn(const std::string& what, NTSTATUS status, const std::set<NTSTATUS>& accepted) {
        if (!accepted.contains(status)) problems_.push_back(what + " ended with " + Name(status));
    }

    // ---- The event -------------------------------------------------------

    void RunEvent(ReaderMachine& machine) {
        DoEvent(machine);
        KeSetEvent(&eventDone_, IO_NO_INCREMENT, FALSE);
    }

    void DoEvent(ReaderMachine& machine) {
        // A removal or a sleep meets requests already under way; a stop meets
        // them as they come, at the gate.
        if (outline_.event != Event::StopAndRestart && outline_.event != Event::CancelStop && outline_.event != Event::CardPulled)
            Pause(kEventDelayMilliseconds);
        switch (outline_.event) {
        case Event::StopAndRestart: {
            const NTSTATUS stop = machine.Pnp(0, IRP_MN_STOP_DEVICE);
            Expect("the stop (with its query)", stop, {STATUS_SUCCESS, STATUS_DEVICE_BUSY});
            Expect("the restart", machine.Pnp(0, IRP_MN_START_DEVICE), {STATUS_SUCCESS});
            break;
        }
        case Event::CancelStop: {
            const NTSTATUS query = machine.Pnp(0, IRP_MN_QUERY_STOP_DEVICE);
            Expect("the query-stop", query, {STATUS_SUCCESS, STATUS_DEVICE_BUSY});
            if (query == STATUS_SUCCESS) Expect("the cancel-stop", machine.Pnp(0, IRP_MN_CANCEL_STOP_DEVICE), {STATUS_SUCCESS});
            break;
        }
        case Event::SurpriseRemoval:
            Expect("the surprise removal", machine.Unplug(0), {STATUS_SUCCESS});
            break;
        case Event::OrderlyRemoval: {
            // Refused while a handle is open; the application closes it, and
            // the removal is asked for again.
            NTSTATUS status = STATUS_UNSUCCESSFUL;
            for (std::int64_t waited = 0; waited <= kRemovalPatienceMilliseconds; waited += kRemovalRetryMilliseconds) {
                status = machine.Pnp(0, IRP_MN_REMOVE_DEVICE);
                if (status != STATUS_UNSUCCESSFUL) break;
                Pause(kRemovalRetryMilliseconds);
            }
            Expect("the removal", status, {STATUS_SUCCESS});
            break;
        }
        case Event::CardPulled:
            reader_.RemoveCard();
            break;
        case Event::None:
            break;
        case Event::Sleep:
        case Event::Hibernate: {
            const SYSTEM_POWER_STATE state = outline_.event == Event::Sleep ? PowerSystemSleeping3 : PowerSystemHibernate;
            Expect("the sleep", power::Sleep(state), {STATUS_SUCCESS});
            Pause(kSleepMilliseconds);
            Expect("the wake", power::Wake(), {STATUS_SUCCESS});
            break;
        }
        }
    }

    // ---- The requests ----------------------------------------------------

    void RunWork(ReaderMachine& machine, Work work) {
        switch (work) {
        case Work::TransmitT0:
            Transmit(machine, "the T=0 READ BINARY", ReadApdu(), ExpectedRead());
            break;
        case Work::TransmitT1:
            Transmit(machine, "the T=1 echo", EchoApdu(), ExpectedEcho());
            break;
        case Work::Power: {
            const harness::IoctlResult reset = Send(machine, IOCTL_SMARTCARD_POWER, AsInput(SCARD_COLD_RESET), 64);
            ExpectIn("the cold reset", reset.status, CardRequestStatuses(outline_.event));
            if (reset.status == STATUS_SUCCESS && reset.output != atr_)
                problems_.push_back("the cold reset claimed success with another ATR");
            break;
        }
        case Work::WaitThenCancel:
        case Work::WaitThenCleanup:
        case Work::WaitDuring:
            Wait(machine, work, machine.SendAsync(0, IOCTL_SMARTCARD_IS_ABSENT));
            break;
        case Work::WaitAcross:
            Wait(machine, work, *across_.at(acrossTaken_++));
            break;
        case Work::WaitCancelledByAnother: {
            KeSetEvent(&sending_, IO_NO_INCREMENT, FALSE);
            harness::AsyncRequest& wait = machine.SendAsync(0, IOCTL_SMARTCARD_IS_ABSENT);
            KeWaitForSingleObject(&cancelled_, Executive, KernelMode, FALSE, nullptr);
            AwaitEnd(wait);
            // A cancel that found the wait on its way in must still end it.
            if (!wait.done && cancelledInFlight_ != 0) problems_.push_back("a card-absent wait cancelled on its way in was not completed");
            if (!wait.done) {
                machine.Cancel(wait.irp);
                AwaitEnd(wait);
            }
            Finish(machine, wait);
            break;
        }
        case Work::Canceller:
            KeWaitForSingleObject(&sending_, Executive, KernelMode, FALSE, nullptr);
            cancelledInFlight_ = machine.CancelIo(0);
            KeSetEvent(&cancelled_, IO_NO_INCREMENT, FALSE);
            break;
        case Work::CancelAtTick:
            Pause(kBeforeTickMilliseconds);
            machine.CancelIo(0);
            break;
        case Work::WaitResubmitting: {
            // As the resource manager does: when the card has gone, the next
            // wait is for its return.
            harness::AsyncRequest* next = nullptr;
            harness::AsyncRequest& wait = machine.SendAsync(0, IOCTL_SMARTCARD_IS_ABSENT, [this, &machine, &next] {
                next = &machine.SendAsync(0, IOCTL_SMARTCARD_IS_PRESENT);
                KeSetEvent(&resubmitted_, IO_NO_INCREMENT, FALSE);
            });
            AwaitEnd(wait);
            // The completion routine may still be sending the next one.
            if (wait.done) {
                LARGE_INTEGER patience;
                patience.QuadPart = -kWaitPatienceMilliseconds * static_cast<std::int64_t>(kTicksPerMillisecond);
                KeWaitForSingleObject(&resubmitted_, Executive, KernelMode, FALSE, &patience);
            }
            if (!wait.done) {
                problems_.push_back("the card-absent wait was not completed when the card went");
                machine.Cancel(wait.irp);
                AwaitEnd(wait);
            }
            Finish(machine, wait);
            if (next != nullptr) {
                // The card stays out: the card-present wait is cancelled.
                if (!next->done) machine.Cancel(next->irp);
                AwaitEnd(*next);
                if (!next->done) problems_.push_back("a cancelled card-present wait was not completed");
                else Finish(machine, *next);
            }
            break;
        }
        }
    }

    void Transmit(ReaderMachine& machine, const std::string& what, const Bytes& apdu, const Bytes& expected) {
        const harness::IoctlResult answer =
            Send(machine, IOCTL_SMARTCARD_TRANSMIT, TransmitRequest(Protocol(), apdu), 300);
        ExpectIn(what, answer.status, CardRequestStatuses(outline_.event));
        if (answer.status != STATUS_SUCCESS) return;
        const bool right = answer.output.size() == kHeaderLength + expected.size() &&
                           std::equal(expected.begin(), expected.end(), answer.output.begin() + kHeaderLength);
        if (!right) problems_.push_back(what + " claimed success with other data than the card's");
    }

    bool Removal() const { return outline_.event == Event::SurpriseRemoval || outline_.event == Event::OrderlyRemoval; }

    void Wait(ReaderMachine& machine, Work work, harness::AsyncRequest& wait) {
        if (work == Work::WaitAcross || work == Work::WaitDuring) {
            // A wake reports the card known from before the sleep again, and
            // a removal ends every wait: either completes a wait pending
            // before the event. A wait that came in during a sleep or a stop
            // may stay pending while the card stays in; it is cancelled then.
            KeWaitForSingleObject(&eventDone_, Executive, KernelMode, FALSE, nullptr);
            AwaitEnd(wait);
            if (!wait.done && (work == Work::WaitAcross || Removal())) {
                problems_.push_back("a card-absent wait pending across the event was not completed by its end");
            }
            if (!wait.done) {
                machine.Cancel(wait.irp);
                AwaitEnd(wait);
            }
        } else {
            Pause(kBeforeCancelMilliseconds);
            if (!wait.done) {
                if (work == Work::WaitThenCancel) machine.Cancel(wait.irp);
                else machine.Close(0);
            }
            AwaitEnd(wait);
            if (!wait.done && work == Work::WaitThenCleanup) {
                // A wait still on its way in when the handle was cleaned up
                // may stay pending; the I/O manager cancels it when the
                // application's thread ends, as here.
                machine.Cancel(wait.irp);
                AwaitEnd(wait);
            }
            if (!wait.done) {
                problems_.push_back(std::string("a card-absent wait ") +
                                    (work == Work::WaitThenCancel ? "cancelled" : "whose handle was closed") +
                                    " was not completed");
                return;
            }
        }
        if (wait.done) Finish(machine, wait);
    }

    // Checks a wait that ended and collects it, as an application collects
    // its overlapped result; a handle closed meanwhile is closed for good now.
    void Finish(ReaderMachine& machine, const harness::AsyncRequest& wait) {
        ExpectIn("the card wait", wait.status, WaitStatuses());
        if (std::optional<harness::AsyncRequest> collected = machine.Reap(wait)) reaped_.push_back(*collected);
    }

    // Collects every wait that has ended, once the requesters are done.
    void Collect(ReaderMachine& machine) {
        for (harness::AsyncRequest& request : machine.Reap()) reaped_.push_back(request);
    }

    static void AwaitEnd(const harness::AsyncRequest& wait) {
        for (std::int64_t waited = 0; !wait.done && waited < kWaitPatienceMilliseconds; waited += kWaitStepMilliseconds)
            Pause(kWaitStepMilliseconds);
    }

    Outline outline_;
    sim::UsbReader reader_;
    std::vector<harness::AsyncRequest*> across_; // sent at the set-up, in the order of the work
    std::vector<harness::AsyncRequest> reaped_;
    std::uint64_t suspendedAtStart_ = 0;
    // The canceller's hand-over with the wait it cancels.
    KEVENT sending_{};
    KEVENT cancelled_{};
    KEVENT resubmitted_{}; // the resubmitting wait's completion has sent the next
    KEVENT eventDone_{};   // the event thread has done its part
    std::size_t cancelledInFlight_ = 0;
    std::size_t acrossTaken_ = 0;
    Bytes atr_;
    std::vector<std::string> problems_;
};

const std::vector<Outline>& Outlines() {
    static const std::vector<Outline> outlines = {
        {"stop-t0", "query-stop, stop and restart meet a T=0 transmit", Event::StopAndRestart, {Work::TransmitT0}},
        {"stop-t1-cancel", "query-stop, stop and restart meet a T=1 transmit and a cancelled card wait",
         Event::StopAndRestart, {Work::TransmitT1, Work::WaitThenCancel}},
        {"stop-power-cleanup", "query-stop, stop and restart meet a cold reset and a card wait ended by closing the handle",
         Event::StopAndRestart, {Work::Power, Work::WaitThenCleanup}},
        {"cancel-stop-t1", "query-stop and cancel-stop meet a T=1 transmit", Event::CancelStop, {Work::TransmitT1}},
        {"cancel-stop-power-cancel", "query-stop and cancel-stop meet a cold reset and a cancelled card wait",
         Event::CancelStop, {Work::Power, Work::WaitThenCancel}},
        {"surprise-t0-cleanup", "the reader pulled out under a T=0 transmit and a card wait ended by closing the handle",
         Event::SurpriseRemoval, {Work::TransmitT0, Work::WaitThenCleanup}},
        {"surprise-kernel-t1-wait", "the reader pulled out under a kernel-mode T=1 transmit and card wait",
         Event::SurpriseRemoval, {Work::TransmitT1, Work::WaitDuring}, Sender::Kernel},
        {"remove-t1-cleanup", "orderly removal meets a T=1 transmit and a card wait ended by closing the handle",
         Event::OrderlyRemoval, {Work::TransmitT1, Work::WaitThenCleanup}},
        {"remove-kernel-t1-wait", "orderly removal meets a kernel-mode T=1 transmit and card wait",
         Event::OrderlyRemoval, {Work::TransmitT1, Work::WaitDuring}, Sender::Kernel},
        {"remove-kernel-power-wait", "orderly removal meets a kernel-mode cold reset and card wait",
         Event::OrderlyRemoval, {Work::Power, Work::WaitDuring}, Sender::Kernel},
        {"cancel-wait-race", "a card wait cancelled from another thread as it goes in", Event::None,
         {Work::WaitCancelledByAnother, Work::Canceller}},
        {"card-pulled-cancel", "the card pulled out while its pending wait is cancelled as the poll comes",
         Event::CardPulled, {Work::WaitAcross, Work::CancelAtTick}},
        {"card-pulled-resubmit", "the card pulled out under a kernel-mode wait that sends the next one as it completes",
         Event::CardPulled, {Work::WaitResubmitting}, Sender::Kernel},
        {"sleep-t1-wait", "sleep (S3) and wake meet a T=1 transmit and a card wait that the wake must complete",
         Event::Sleep, {Work::TransmitT1, Work::WaitAcross}},
        {"sleep-t0-power", "sleep (S3) and wake meet a T=0 transmit and a cold reset", Event::Sleep,
         {Work::TransmitT0, Work::Power}},
        {"hibernate-t0-cleanup", "hibernation (S4) and wake meet a T=0 transmit and a card wait ended by closing the handle",
         Event::Hibernate, {Work::TransmitT0, Work::WaitThenCleanup}},
        {"hibernate-power-cancel", "hibernation (S4) and wake meet a cold reset and a cancelled card wait",
         Event::Hibernate, {Work::Power, Work::WaitThenCancel}},
    };
    return outlines;
}

} // namespace

const std::vector<Scenario>& Scenarios() {
    static const std::vector<Scenario> scenarios = [] {
        std::vector<Scenario> all;
        for (const Outline& outline : Outlines()) {
            all.push_back({outline.name, outline.summary, [&outline] { return std::make_unique<LifecycleStory>(outline); }});
        }
        return all;
    }();
    return scenarios;
}

} // namespace qv::explore
