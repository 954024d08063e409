// Independent random streams drawn from the machine's one seed, so that
// adding a draw for one purpose (a pool fault, say) does not change the
// schedule.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <stdexcept>

namespace qv {

enum class RandomStream : unsigned { Schedule = 1, Pool = 2, Bus = 3, Device = 4, Power = 5 };
inline constexpr std::size_t kRandomStreams = 5;

class RandomStreams {
  public:
    explicit RandomStreams(std::uint64_t seed) : seed_(seed) {}

    std::mt19937_64& Of(RandomStream stream) {
        const auto number = static_cast<std::size_t>(stream);
        if (number == 0 || number > engines_.size()) throw std::logic_error("unknown random stream");
        std::optional<std::mt19937_64>& engine = engines_[number - 1];
        if (!engine) engine.emplace(SplitMix(seed_ ^ (static_cast<std::uint64_t>(stream) << 56)));
        return *engine;
    }

  private:
    static std::uint64_t SplitMix(std::uint64_t x) {
        x += 0x9e3779b97f4a7c15ull;
        x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
        x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
        return x ^ (x >> 31);
    }

    std::uint64_t seed_;
    // Seeded on first use (a machine boots for every fuzzer input, and
    // seeding a stream it never draws from is a good part of the boot);
    // each stream's seed depends on the machine's seed alone, so the order
    // of first use changes nothing.
    std::array<std::optional<std::mt19937_64>, kRandomStreams> engines_;
};

} // namespace qv
