#include "pcsc/ifd_handler.h"

#include <cstdio>
#include <cstdlib>

namespace qv::pcsc {

namespace {

constexpr const char* kControlVariable = "QVSCR_CONTROL";
constexpr const char* kSeedVariable = "QVSCR_SEED";
// Wall seconds per second of the machine's time, for tests (see BridgeConfig).
constexpr const char* kTimeScaleVariable = "QVSCR_TIME_SCALE";
constexpr double kSlowestTimeScale = 1000.0;

BridgeConfig ConfigFromEnvironment() {
    BridgeConfig config;
    if (const char* seed = std::getenv(kSeedVariable)) config.seed = std::strtoull(seed, nullptr, 10);
    if (const char* text = std::getenv(kTimeScaleVariable); text != nullptr && *text != '\0') {
        char* end = nullptr;
        const double scale = std::strtod(text, &end);
        if (*end == '\0' && scale > 0 && scale <= kSlowestTimeScale) {
            config.timeScale = scale;
        } else {
            std::fprintf(stderr, "qvscr: %s=%s is no time scale (wall seconds per second, above 0); real time it is\n",
                         kTimeScaleVariable, text);
        }
    }
    return config;
}

} // namespace

IfdHandler& IfdHandler::Instance() {
    static IfdHandler handler;
    return handler;
}

IfdHandler::~IfdHandler() {
    std::lock_guard lock(mutex_);
    control_.reset();
    bridge_.reset();
}

Outcome IfdHandler::OpenChannel(std::uint32_t lun, const ChannelOptions& options) {
    std::shared_ptr<Bridge> bridge;
    {
        std::lock_guard lock(mutex_);
        if (open_.contains(lun)) return Outcome::Failed;
        if (!bridge_) {
            bridge_ = std::make_shared<Bridge>(ConfigFromEnvironment());
            if (const char* path = std::getenv(kControlVariable); path != nullptr && *path != '\0') {
                control_ = std::make_unique<ControlServer>(*bridge_, path);
                if (!control_->Listening()) std::fprintf(stderr, "qvscr: %s\n", control_->Error().c_str());
            }
        }
        bridge = bridge_;
    }
    const Outcome outcome = bridge->Open(lun, options);
    std::lock_guard lock(mutex_);
    if (outcome == Outcome::Ok) {
        open_.insert(lun);
    } else if (open_.empty()) {
        control_.reset();
        bridge_.reset();
    }
    if (outcome != Outcome::Ok && bridge->Stopped()) std::fprintf(stderr, "qvscr: %s\n", bridge->StopReport().c_str());
    return outcome;
}

Outcome IfdHandler::CloseChannel(std::uint32_t lun) {
    std::shared_ptr<Bridge> bridge;
    {
        std::lock_guard lock(mutex_);
        if (!open_.contains(lun)) return Outcome::NoDevice;
        bridge = bridge_;
    }
    const Outcome outcome = bridge->Close(lun);
    std::unique_ptr<ControlServer> control;
    std::shared_ptr<Bridge> last;
    {
        std::lock_guard lock(mutex_);
        open_.erase(lun);
        if (open_.empty()) {
            // The last reader is gone: the machine goes with it (its unload
            // audit runs), outside the lock.
            control = std::move(control_);
            last = std::move(bridge_);
        }
    }
    control.reset();
    if (last) {
        const std::string report = last->Shutdown();
        if (!report.empty()) std::fprintf(stderr, "qvscr: %s\n", report.c_str());
    } else if (bridge->Stopped()) {
        std::fprintf(stderr, "qvscr: %s\n", bridge->StopReport().c_str());
    }
    return outcome;
}

std::shared_ptr<Bridge> IfdHandler::For(std::uint32_t lun) {
    std::lock_guard lock(mutex_);
    if (!open_.contains(lun)) return nullptr;
    return bridge_;
}

} // namespace qv::pcsc
