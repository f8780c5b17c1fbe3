#pragma once
// Network trouble between the sim and its client, on what the sim sends:
// loss, duplication and reordering of datagrams, packets cut apart on a
// stream, and silence (nothing answered, in or out). Decisions come from
// seeded generators, so a run repeats exactly.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>

#include "platform/Clock.h"
#include "sim/SimOptions.h"

namespace pm::sim {

class FaultInjector {
public:
    enum class Fate { Send, Drop, Duplicate, HoldBack };

    explicit FaultInjector(std::uint32_t seed, FaultSettings settings = {})
        : rng_(seed), cutRng_(seed ^ 0x9e3779b9u), settings_(settings) {}

    FaultSettings& settings() { return settings_; }
    const FaultSettings& settings() const { return settings_; }

    // Three draws per datagram whatever the settings, so changing one
    // percentage does not shift the others' sequence.
    Fate decide();
    // Where to cut a packet of this length sent on a stream (1 to length-1),
    // or nullopt to leave it whole. Its own generator, two draws a packet,
    // so streams and datagrams do not shift each other's sequence.
    std::optional<std::size_t> cutAt(std::size_t length);

    void silenceUntil(platform::Clock::Monotonic until) { silentUntil_ = until; }
    bool silent(platform::Clock::Monotonic now) const { return now < silentUntil_; }

private:
    static bool roll(std::mt19937& rng, double percent);

    std::mt19937 rng_; // its sequence is fixed by the standard, unlike the distributions'
    std::mt19937 cutRng_;
    FaultSettings settings_;
    platform::Clock::Monotonic silentUntil_{};
};

} // namespace pm::sim
