// The bridge's world on the machine: the harness's machine with its readers
// (harness/reader_machine.h), which plugs, opens, closes, pulls and removes
// them as it does for qvsim and the tests, and one application handle per
// channel (see bridge.h). Every request is built as an application's DeviceIoControl is
// (harness/app_client.h) and runs on a simulated thread: the channel's own
// worker for its requests, a second worker per channel for its card-tracking
// wait, and the control worker for plugging, the slot and cancels.
#include "pcsc/bridge.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <utility>

#include "cards/card_catalogue.h"
#include "harness/app_client.h"
#include "harness/console_words.h"
#include "harness/reader_machine.h"
#include "kernel/status_names.h"
#include "pcsc/bridge_machine.h"
#include "pcsc/bridge_status.h"
#include "qvscr.h"
#include "usb_reader.h"

namespace qv::pcsc {

namespace {

constexpr unsigned kControlWorker = 0;
// Each channel has two workers of its own.
constexpr unsigned kWorkersPerChannel = 2;
// Room for any ATR in a power request's answer.
constexpr std::size_t kPowerOutputLength = 64;
// The longest answer an extended APDU can bring, and its status word.
constexpr std::size_t kMaxResponseLength = 65536 + 2;
constexpr std::size_t kMaxAttributeLength = 65536;
// Bytes of freed pool blocks the daemon's machine keeps quarantined (about
// a thousand transmits' worth).
constexpr std::size_t kPoolQuarantineBytes = 1024 * 1024;
constexpr std::size_t kMaxAtrLength = 33;
constexpr std::string_view kAtrPrefix = "atr:";
constexpr std::string_view kNoCard = "none";

std::span<const std::uint8_t> AsBytes(const ULONG& value) {
    return {reinterpret_cast<const std::uint8_t*>(&value), sizeof(value)};
}

// A card by catalogue name or "atr:HEX"; nothing (and why) otherwise.
std::unique_ptr<sim::Card> MakeCard(std::string_view name, std::uint64_t seed, std::string& error) {
    if (name.starts_with(kAtrPrefix)) {
        std::vector<std::uint8_t> atr;
        if (!harness::ParseHex(name.substr(kAtrPrefix.size()), atr) || atr.size() > kMaxAtrLength) {
            error = "an ATR is 1 to 33 bytes as hex digits in pairs";
            return nullptr;
        }
        auto options = sim::OptionsFromAtr(atr, seed);
        if (!options) {
            error = "no card can be made from that ATR";
            return nullptr;
        }
        return std::make_unique<sim::SimpleCard>(*options);
    }
    auto card = sim::MakeCard(name, seed);
    if (!card) error = "no card named '" + std::string(name) + "' (try card list)";
    return card;
}

} // namespace

std::string_view OutcomeName(Outcome outcome) {
    switch (outcome) {
    case Outcome::Ok: return "ok";
    case Outcome::NoCard: return "no card";
    case Outcome::NoDevice: return "no device";
    case Outcome::Timeout: return "time-out";
    case Outcome::NotSupported: return "not supported";
    case Outcome::BufferTooSmall: return "buffer too small";
    case Outcome::Failed: return "failed";
    }
    return "?";
}

// One reader and the application's handle on it.
struct Channel {
    std::uint32_t id = 0;
    unsigned slot = 0; // its workers: 1 + 2*slot (requests) and 2 + 2*slot (tracking)
    std::unique_ptr<sim::UsbReader> reader;
    std::string model;
    std::string card;
    PDEVICE_OBJECT pdo = nullptr;
    std::size_t index = 0;               // the machine's number for the reader
    harness::AppHandle* handle = nullptr; // the machine's, while it runs
    bool gone = false;   // pulled out, or its start failed
    bool closed = false; // IFDHCloseChannel came
    // The card-tracking wait, guarded by the machine's mutex.
    std::shared_ptr<harness::AppRequest> tracking;
    bool stopWaiting = false; // a stop not yet spent on a wait
    // What pcscd last heard of the card, and a removal the driver reported
    // since (guarded by the machine's mutex).
    std::optional<bool> heardPresent;
    bool removalToReport = false;
};

class Bridge::Machine {
  public:
    explicit Machine(BridgeConfig config)
        : config_(config),
          host_(ConfigFor(config), 1 + kMaxChannels * kWorkersPerChannel, {}, [this] { Teardown(); }) {}

    ~Machine() { host_.Stop(); }

    static MachineConfig ConfigFor(const BridgeConfig& config) {
        MachineConfig machine;
        machine.seed = config.seed;
        machine.realTime = true;
        machine.realTimeScale = config.timeScale;
        // The daemon's memory is the quarantine's at most, whatever it has
        // run: freed pool blocks stay checked for the last few thousand
        // requests, not for the whole life of the machine.
        machine.poolQuarantineBytes = kPoolQuarantineBytes;
        // The daemon runs as long as it likes.
        machine.timeLimit = ~VirtualTime{0};
        return machine;
    }

    MachineHost& Host() { return host_; }

    // The open channel with this id; null when there is none.
    Channel* Find(std::uint32_t id) {
        std::lock_guard lock(mutex_);
        auto found = channels_.find(id);
        return found == channels_.end() || found->second->closed ? nullptr : found->second.get();
    }

    std::vector<ChannelInfo> Infos() {
        std::lock_guard lock(mutex_);
        std::vector<ChannelInfo> infos;
        for (const auto& [id, channel] : channels_) {
            infos.push_back(ChannelInfo{id, channel->model, channel->card, inserted_.at(id), channel->gone});
        }
        return infos;
    }

    Outcome Open(std::uint32_t id, const ChannelOptions& options) {
        std::unique_ptr<Channel> made;
        {
            std::lock_guard lock(mutex_);
            if (channels_.contains(id)) return Outcome::Failed;
            std::vector<bool> used(kMaxChannels);
            for (const auto& [other, channel] : channels_) used[channel->slot] = true;
            const auto free = std::find(used.begin(), used.end(), false);
            if (free == used.end()) return Outcome::Failed;
            made = std::make_unique<Channel>();
            made->slot = static_cast<unsigned>(free - used.begin());
        }
        sim::ReaderOptions readerOptions;
        const std::optional<sim::ReaderModel> model = sim::ModelByName(options.model);
        if (!model) return Outcome::Failed;
        readerOptions.model = *model;
        readerOptions.cardInserted = options.card != kNoCard;
        std::string error;
        std::unique_ptr<sim::Card> card =
            MakeCard(options.card == kNoCard ? std::string_view("dual") : std::string_view(options.card), config_.seed, error);
        if (!card) return Outcome::Failed;
        made->id = id;
        made->model = std::string(sim::ModelId(readerOptions.model));
        made->card = options.card;
        made->reader = std::make_unique<sim::UsbReader>(readerOptions, std::move(card));
        Channel* channel = made.get();
        {
            std::lock_guard lock(mutex_);
            channels_.emplace(id, std::move(made));
            inserted_[id] = readerOptions.cardInserted;
        }
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        const bool ran = host_.Call(kControlWorker, [&] { status = PlugAndOpen(*channel); });
        if (!ran) return Outcome::NoDevice;
        if (!NT_SUCCESS(status)) {
            std::lock_guard lock(mutex_);
            channel->gone = true;
            Retire(id);
            return OutcomeFromStatus(status);
        }
        return Outcome::Ok;
    }

    Outcome Close(std::uint32_t id) {
        Channel* channel = Find(id);
        if (channel == nullptr) return Outcome::NoDevice;
        StopWaiting(id);
        bool wasGone = false;
        const bool ran = host_.Call(kControlWorker, [&] {
            wasGone = channel->gone;
            CloseAndRemove(*channel);
        });
        std::lock_guard lock(mutex_);
        Retire(id);
        return ran && !wasGone ? Outcome::Ok : Outcome::NoDevice;
    }

    // A request on the channel's handle, run on its request worker.
    Reply Request(std::uint32_t id, ULONG code, std::span<const std::uint8_t> input, std::size_t outputLength) {
        Reply reply;
        Channel* channel = Find(id);
        if (channel == nullptr) {
            reply.outcome = Outcome::NoDevice;
            return reply;
        }
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        const bool ran = host_.Call(RequestWorker(*channel), [&] {
            if (!channel->handle) {
                status = STATUS_NO_SUCH_DEVICE;
                return;
            }
            status = channel->handle->Control(code, input, outputLength, &reply.data);
        });
        reply.outcome = ran ? OutcomeFromStatus(status) : Outcome::NoDevice;
        if (trace_) {
            std::fprintf(stderr, "qvscr: reader %08X request 0x%08X: %s, %zu bytes\n", static_cast<unsigned>(id),
                         static_cast<unsigned>(code), ran ? NtStatusText(status).c_str() : "(machine stopped)",
                         reply.data.size());
        }
        if (!reply.Ok()) reply.data.clear();
        return reply;
    }

    Outcome WaitForChange(std::uint32_t id, std::chrono::milliseconds timeout) {
        Channel* channel = Find(id);
        if (channel == nullptr) return Outcome::NoDevice;
        struct Wait {
            std::mutex mutex;
            std::condition_variable cv;
            bool finished = false;
            NTSTATUS status = STATUS_UNSUCCESSFUL;
        };
        auto wait = std::make_shared<Wait>();
        {
            // A stop that came while no wait was pending ends this one.
            std::lock_guard lock(mutex_);
            if (channel->stopWaiting) {
                channel->stopWaiting = false;
                return Outcome::Ok;
            }
        }
        host_.Send(
            TrackingWorker(*channel),
            [this, channel, wait] {
                if (!channel->handle) {
                    wait->status = STATUS_NO_SUCH_DEVICE;
                    return;
                }
                // The wait is for a change from what pcscd last heard; before
                // it has asked, from the card's state now.
                std::optional<bool> present;
                {
                    std::lock_guard lock(mutex_);
                    present = channel->heardPresent;
                }
                if (!present) {
                    std::vector<std::uint8_t> state;
                    NTSTATUS status = channel->handle->Control(IOCTL_SMARTCARD_GET_STATE, {}, sizeof(ULONG), &state);
                    if (!NT_SUCCESS(status) || state.size() < sizeof(ULONG)) {
                        wait->status = NT_SUCCESS(status) ? STATUS_DEVICE_DATA_ERROR : status;
                        return;
                    }
                    ULONG current = 0;
                    std::memcpy(&current, state.data(), sizeof current);
                    present = current > SCARD_ABSENT;
                }
                const ULONG code = *present ? IOCTL_SMARTCARD_IS_ABSENT : IOCTL_SMARTCARD_IS_PRESENT;
                auto request = channel->handle->ControlAsync(code, {}, 0);
                bool stop = false;
                {
                    std::lock_guard lock(mutex_);
                    channel->tracking = request;
                    stop = channel->stopWaiting;
                }
                if (stop) request->Cancel();
                wait->status = request->Wait();
                if (trace_) std::fprintf(stderr, "qvscr: tracking 0x%08X ended: %s\n", static_cast<unsigned>(code), NtStatusText(wait->status).c_str());
                std::lock_guard lock(mutex_);
                channel->tracking.reset();
                // The card pcscd knew is gone, even if another is in the
                // slot by now (taken out and put back between two polls).
                if (code == IOCTL_SMARTCARD_IS_ABSENT && wait->status == STATUS_SUCCESS) channel->removalToReport = true;
                // A stop ends one wait: pcscd stops its polling thread
                // around a reset, then starts it again.
                channel->stopWaiting = false;
            },
            [wait](bool ran) {
                {
                    std::lock_guard lock(wait->mutex);
                    wait->finished = true;
                    if (!ran) wait->status = STATUS_NO_SUCH_DEVICE;
                }
                wait->cv.notify_all();
            });
        std::unique_lock lock(wait->mutex);
        if (!wait->cv.wait_for(lock, timeout, [&] { return wait->finished; })) {
            lock.unlock();
            CancelTracking(*channel);
            lock.lock();
            wait->cv.wait(lock, [&] { return wait->finished; });
        }
        const NTSTATUS status = wait->status;
        // A wait that ended because it was cancelled is no failure.
        if (status == STATUS_CANCELLED) return Outcome::Ok;
        return OutcomeFromStatus(status);
    }

    // The card's presence as pcscd is told it: a removal the driver reported
    // since pcscd last asked is told first, as an empty slot, also when
    // another card is in the slot by now. pcscd then forgets the old card's
    // ATR and protocol, and hears of the card in the slot at its next look.
    Reply Presence(std::uint32_t id) {
        Channel* channel = Find(id);
        if (channel == nullptr) return Reply{Outcome::NoDevice, {}};
        {
            std::lock_guard lock(mutex_);
            if (channel->removalToReport) {
                channel->removalToReport = false;
                channel->heardPresent = false;
                const ULONG absent = SCARD_ABSENT;
                const std::span<const std::uint8_t> bytes = AsBytes(absent);
                return Reply{Outcome::Ok, std::vector<std::uint8_t>(bytes.begin(), bytes.end())};
            }
        }
        Reply reply = Request(id, IOCTL_SMARTCARD_GET_STATE, {}, sizeof(ULONG));
        if (reply.Ok() && reply.data.size() >= sizeof(ULONG)) {
            ULONG state = 0;
            std::memcpy(&state, reply.data.data(), sizeof state);
            std::lock_guard lock(mutex_);
            channel->heardPresent = state > SCARD_ABSENT;
        }
        return reply;
    }

    void StopWaiting(std::uint32_t id) {
        Channel* channel = Find(id);
        if (channel == nullptr) return;
        {
            std::lock_guard lock(mutex_);
            channel->stopWaiting = true;
        }
        CancelTracking(*channel);
    }

    Outcome InsertCard(std::uint32_t id, std::string_view name, std::string& error) {
        Channel* channel = Find(id);
        if (channel == nullptr) {
            error = "no such reader";
            return Outcome::NoDevice;
        }
        std::unique_ptr<sim::Card> card;
        if (!name.empty()) {
            card = MakeCard(name, config_.seed, error);
            if (!card) return Outcome::Failed;
        }
        // The driver learns of it from its next card-status poll.
        const bool ran = host_.Call(kControlWorker, [&] {
            if (channel->reader->CardInserted()) channel->reader->RemoveCard();
            if (card) channel->reader->InsertCard(std::move(card));
            else channel->reader->InsertCard();
        });
        if (!ran) return Outcome::NoDevice;
        std::lock_guard lock(mutex_);
        if (!name.empty()) channel->card = std::string(name);
        else if (channel->card == kNoCard) channel->card = "dual";
        inserted_[id] = true;
        return Outcome::Ok;
    }

    Outcome RemoveCard(std::uint32_t id) {
        Channel* channel = Find(id);
        if (channel == nullptr) return Outcome::NoDevice;
        if (!host_.Call(kControlWorker, [&] { channel->reader->RemoveCard(); })) return Outcome::NoDevice;
        std::lock_guard lock(mutex_);
        inserted_[id] = false;
        return Outcome::Ok;
    }

    Outcome Activity(std::uint32_t id, CardActivity& activity) {
        Channel* channel = Find(id);
        if (channel == nullptr) return Outcome::NoDevice;
        bool simple = false;
        const bool ran = host_.Call(kControlWorker, [&] {
            const sim::SimpleCard* card = channel->reader->Simple();
            if (card == nullptr) return;
            simple = true;
            const sim::CardStatistics& statistics = card->Statistics();
            activity = {statistics.busy / sim::kMicrosecond, statistics.commands, statistics.chained,
                        statistics.getResponses, statistics.extended};
        });
        if (!ran) return Outcome::NoDevice;
        return simple ? Outcome::Ok : Outcome::NotSupported;
    }

    Outcome ArmFault(std::uint32_t id, std::string_view name, unsigned count, std::string& error) {
        Channel* channel = Find(id);
        if (channel == nullptr) {
            error = "no such reader";
            return Outcome::NoDevice;
        }
        bool armed = false;
        if (!host_.Call(kControlWorker, [&] { armed = channel->reader->Arm(name, count); })) return Outcome::NoDevice;
        if (!armed) {
            error = "no fault named '" + std::string(name) + "' (try fault list)";
            return Outcome::Failed;
        }
        return Outcome::Ok;
    }

    Outcome Unplug(std::uint32_t id) {
        Channel* channel = Find(id);
        if (channel == nullptr) return Outcome::NoDevice;
        bool done = false;
        if (!host_.Call(kControlWorker, [&] {
                if (channel->gone) return;
                (void)host_.Readers().Unplug(channel->index);
                MarkGone(*channel);
                done = true;
            })) {
            return Outcome::NoDevice;
        }
        return done ? Outcome::Ok : Outcome::NoDevice;
    }

  private:
    unsigned RequestWorker(const Channel& channel) const { return 1 + channel.slot * kWorkersPerChannel; }
    unsigned TrackingWorker(const Channel& channel) const { return 2 + channel.slot * kWorkersPerChannel; }

    // On the control worker: the cancel the I/O manager sends for an
    // application that gives up on its overlapped request.
    void CancelTracking(Channel& channel) {
        host_.Call(kControlWorker, [this, &channel] {
            std::shared_ptr<harness::AppRequest> request;
            {
                std::lock_guard lock(mutex_);
                request = channel.tracking;
            }
            if (request) request->Cancel();
        });
    }

    // On the control worker: the bus reports the reader, the Plug and Play
    // manager loads the driver (the first time), adds and starts the
    // device, and the application opens the reader's interface.
    NTSTATUS PlugAndOpen(Channel& channel) {
        harness::ReaderMachine& machine = host_.Readers();
        const harness::PlugResult plugged =
            machine.Plug(*channel.reader, {}, harness::PlugStart::Now, "reader" + std::to_string(channel.id));
        channel.index = plugged.index;
        channel.pdo = machine.Readers()[plugged.index].pdo;
        NTSTATUS status = NT_SUCCESS(plugged.status) ? plugged.started : plugged.status;
        if (!NT_SUCCESS(status)) {
            MarkGone(channel);
            return status;
        }
        status = machine.Open(plugged.index);
        if (!NT_SUCCESS(status)) return status;
        channel.handle = machine.Handle(plugged.index);
        machine.AwaitFirstPoll(plugged.index);
        return status;
    }

    // On the control worker: the handle closed (the remove of a pulled
    // reader follows), or an orderly removal of one still plugged in.
    void CloseAndRemove(Channel& channel) {
        if (channel.handle) (void)host_.Readers().Close(channel.index);
        if (!channel.gone && channel.pdo != nullptr) {
            (void)host_.Readers().Pnp(channel.index, IRP_MN_REMOVE_DEVICE);
            MarkGone(channel);
        }
    }

    // Under the lock. The id may be opened again: the old record stays (the
    // bus keeps its model, a late job may still refer to it) under no id.
    void Retire(std::uint32_t id) {
        auto node = channels_.extract(id);
        if (node.empty()) return;
        node.mapped()->closed = true;
        retired_.push_back(std::move(node.mapped()));
        inserted_.erase(id);
    }

    // On the machine's thread; the control channel reads it from others.
    void MarkGone(Channel& channel) {
        std::lock_guard lock(mutex_);
        channel.gone = true;
    }

    void Teardown() {
        std::vector<Channel*> all;
        {
            std::lock_guard lock(mutex_);
            for (auto& [id, channel] : channels_) all.push_back(channel.get());
            for (auto& channel : retired_) all.push_back(channel.get());
        }
        for (Channel* channel : all) {
            std::shared_ptr<harness::AppRequest> tracking;
            {
                // No host lock is held across a kernel call: another
                // simulated thread on this host thread may want it.
                std::lock_guard lock(mutex_);
                channel->stopWaiting = true;
                tracking = channel->tracking;
            }
            if (tracking) tracking->Cancel();
            CloseAndRemove(*channel);
        }
        // The machine closes the handles once their last request has been
        // reaped, and switches the bus off.
        host_.Readers().Teardown();
    }

    BridgeConfig config_;
    // Every request and its status on standard error (QVSCR_TRACE set).
    bool trace_ = std::getenv("QVSCR_TRACE") != nullptr;
    std::mutex mutex_;
    std::map<std::uint32_t, std::unique_ptr<Channel>> channels_;
    std::vector<std::unique_ptr<Channel>> retired_;
    std::map<std::uint32_t, bool> inserted_;
    // Last: its thread runs the machine over the members above.
    MachineHost host_;
};

Bridge::Bridge(BridgeConfig config) : machine_(std::make_unique<Machine>(config)) {}
Bridge::~Bridge() = default;

Outcome Bridge::Open(std::uint32_t channel, const ChannelOptions& options) { return machine_->Open(channel, options); }
Outcome Bridge::Close(std::uint32_t channel) { return machine_->Close(channel); }
bool Bridge::HasChannel(std::uint32_t channel) const { return machine_->Find(channel) != nullptr; }

Reply Bridge::Power(std::uint32_t channel, PowerAction action) {
    ULONG minor = SCARD_POWER_DOWN;
    if (action == PowerAction::Cold) minor = SCARD_COLD_RESET;
    if (action == PowerAction::Warm) minor = SCARD_WARM_RESET;
    return machine_->Request(channel, IOCTL_SMARTCARD_POWER, AsBytes(minor),
                             action == PowerAction::Down ? 0 : kPowerOutputLength);
}

Reply Bridge::SetProtocol(std::uint32_t channel, std::uint32_t mask) {
    const ULONG value = mask;
    return machine_->Request(channel, IOCTL_SMARTCARD_SET_PROTOCOL, AsBytes(value), sizeof(ULONG));
}

Reply Bridge::Transmit(std::uint32_t channel, std::uint32_t protocol, std::span<const std::uint8_t> apdu,
                       std::size_t maxResponse) {
    // The request an application sends: the protocol's header, then the
    // command APDU; the answer comes back behind a header of its own.
    const SCARD_IO_REQUEST header{protocol, static_cast<ULONG>(sizeof(SCARD_IO_REQUEST))};
    std::vector<std::uint8_t> request(sizeof header);
    std::memcpy(request.data(), &header, sizeof header);
    request.reserve(request.size() + apdu.size());
    request.insert(request.end(), apdu.begin(), apdu.end());
    const std::size_t room = sizeof header + std::min(maxResponse, kMaxResponseLength);
    Reply reply = machine_->Request(channel, IOCTL_SMARTCARD_TRANSMIT, request, room);
    if (!reply.Ok()) return reply;
    if (reply.data.size() < sizeof header) {
        // A success without even the header is no answer.
        reply.outcome = Outcome::Failed;
        reply.data.clear();
        return reply;
    }
    reply.data.erase(reply.data.begin(), reply.data.begin() + static_cast<std::ptrdiff_t>(sizeof header));
    return reply;
}

Reply Bridge::State(std::uint32_t channel) {
    return machine_->Request(channel, IOCTL_SMARTCARD_GET_STATE, {}, sizeof(ULONG));
}

Reply Bridge::Presence(std::uint32_t channel) { return machine_->Presence(channel); }

Reply Bridge::Attribute(std::uint32_t channel, std::uint32_t id, std::size_t maxLength) {
    const ULONG value = id;
    return machine_->Request(channel, IOCTL_SMARTCARD_GET_ATTRIBUTE, AsBytes(value),
                             std::min(maxLength, kMaxAttributeLength));
}

Reply Bridge::SetAttribute(std::uint32_t channel, std::uint32_t id, std::span<const std::uint8_t> value) {
    const ULONG tag = id;
    const std::span<const std::uint8_t> tagBytes = AsBytes(tag);
    std::vector<std::uint8_t> input(tagBytes.begin(), tagBytes.end());
    input.insert(input.end(), value.begin(), value.end());
    return machine_->Request(channel, IOCTL_SMARTCARD_SET_ATTRIBUTE, input, 0);
}

Reply Bridge::Control(std::uint32_t channel, std::uint32_t code, std::span<const std::uint8_t> input,
                      std::size_t outputLength) {
    return machine_->Request(channel, code, input, std::min(outputLength, kMaxAttributeLength));
}

Outcome Bridge::WaitForChange(std::uint32_t channel, std::chrono::milliseconds timeout) {
    return machine_->WaitForChange(channel, timeout);
}

void Bridge::StopWaiting(std::uint32_t channel) { machine_->StopWaiting(channel); }

Outcome Bridge::InsertCard(std::uint32_t channel, std::string_view card, std::string& error) {
    return machine_->InsertCard(channel, card, error);
}
Outcome Bridge::RemoveCard(std::uint32_t channel) { return machine_->RemoveCard(channel); }
Outcome Bridge::Activity(std::uint32_t channel, CardActivity& activity) {
    return machine_->Activity(channel, activity);
}
Outcome Bridge::ArmFault(std::uint32_t channel, std::string_view name, unsigned count, std::string& error) {
    return machine_->ArmFault(channel, name, count, error);
}
Outcome Bridge::Unplug(std::uint32_t channel) { return machine_->Unplug(channel); }
std::vector<ChannelInfo> Bridge::Channels() const { return machine_->Infos(); }

std::string Bridge::CardList() {
    std::string list;
    for (const sim::CatalogueEntry& entry : sim::CardCatalogue())
        list += std::string(entry.name) + ": " + std::string(entry.description) + "\n";
    return list;
}

std::string Bridge::FaultList() {
    std::string list;
    for (const sim::FaultInfo& info : sim::FaultCatalog())
        list += std::string(info.name) + ": " + std::string(info.description) + "\n";
    return list;
}

std::string Bridge::Shutdown() {
    machine_->Host().Stop();
    return machine_->Host().StopReport();
}

bool Bridge::Stopped() const { return machine_->Host().Stopped(); }
std::string Bridge::StopReport() const { return machine_->Host().StopReport(); }

} // namespace qv::pcsc
