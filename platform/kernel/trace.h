// The event trace of a run. Every scheduling decision and every notable
// kernel event is folded into a 64-bit digest, so that two runs with one seed
// can be compared by a single number; readable lines go to an optional
// listener (qvsim's log, a test that wants to see them), and so do lines
// that are shown only, outside the digest.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace qv {

// The category of the lines a driver's debug print sends to the listener;
// they stay out of the run's digest.
inline constexpr std::string_view kDebugPrintCategory = "dbgprint";

class Trace {
  public:
    using Listener = std::function<void(std::uint64_t time, std::string_view thread, std::string_view category,
                                        std::string_view text)>;

    // Folds a number into the digest (cheap; used on hot paths).
    void Mix(std::uint64_t value) {
        digest_ ^= value + 0x9e3779b97f4a7c15ull + (digest_ << 6) + (digest_ >> 2);
        digest_ *= 0x100000001b3ull;
    }
    void MixText(std::string_view text) {
        for (unsigned char c : text) Mix(c);
    }

    // Records a readable event: folded into the digest and shown to the
    // listener, if any.
    void Log(std::uint64_t time, std::string_view thread, std::string_view category, std::string_view text) {
        Mix(time);
        MixText(thread);
        MixText(category);
        MixText(text);
        if (listener_) listener_(time, thread, category, text);
    }

    // Shows a readable line to the listener, if any, without folding it into
    // the digest: commentary that the run's course does not depend on, such
    // as a driver's debug print, which a run may print or not and which a
    // driver may gain or lose lines of without changing any run's digest.
    void Show(std::uint64_t time, std::string_view thread, std::string_view category, std::string_view text) const {
        if (listener_) listener_(time, thread, category, text);
    }

    bool Listening() const { return static_cast<bool>(listener_); }
    void SetListener(Listener listener) { listener_ = std::move(listener); }
    std::uint64_t Digest() const { return digest_; }

  private:
    std::uint64_t digest_ = 0xcbf29ce484222325ull;
    Listener listener_;
};

} // namespace qv
