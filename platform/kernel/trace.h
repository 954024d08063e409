// The event trace of a run. Every scheduling decision and every notable
// kernel event is folded into a 64-bit digest, so that two runs with one seed
// can be compared by a single number; readable lines go to an optional
// listener (qvsim's log, a test that wants to see them), and so do lines
// that are shown only, outside the digest.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
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
    void Mix(std::uint64_t value) { digest_ = Step(digest_, value); }
    // Every character of every line goes through here: the digest is kept
    // in a local while the text is read, since the compiler must otherwise
    // assume that a store through a character may change it.
    void MixText(std::string_view text) {
        std::uint64_t digest = digest_;
        for (unsigned char c : text) digest = Step(digest, c);
        digest_ = digest;
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

    // The same for a text given in pieces, as if they were one string: the
    // digest does not tell the two apart, and the pieces are put together
    // only when a listener is there to read them.
    void Log(std::uint64_t time, std::string_view thread, std::string_view category,
             std::initializer_list<std::string_view> pieces) {
        Mix(time);
        MixText(thread);
        MixText(category);
        for (std::string_view piece : pieces) MixText(piece);
        if (!listener_) return;
        std::string text;
        for (std::string_view piece : pieces) text += piece;
        listener_(time, thread, category, text);
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
    static constexpr std::uint64_t kGoldenRatio = 0x9e3779b97f4a7c15ull;
    static constexpr std::uint64_t kFnvPrime = 0x100000001b3ull;
    static constexpr int kHighShift = 6;
    static constexpr int kLowShift = 2;
    // The sum is ordered so that the value's part stays off the chain from
    // one character to the next.
    static std::uint64_t Step(std::uint64_t digest, std::uint64_t value) {
        const std::uint64_t addend = value + kGoldenRatio;
        digest ^= ((digest << kHighShift) + addend) + (digest >> kLowShift);
        return digest * kFnvPrime;
    }

    std::uint64_t digest_ = 0xcbf29ce484222325ull;
    Listener listener_;
};

} // namespace qv
