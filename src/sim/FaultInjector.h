#pragma once
// Network trouble between the sim and its client, on the datagrams the sim
// sends: loss, duplication, reordering, and silence (nothing answered, in or
// out). Decisions come from a seeded generator, so a run repeats exactly.

#include <cstdint>
#include <random>

#include "platform/Clock.h"
#include "sim/SimOptions.h"

namespace pm::sim {

class FaultInjector {
public:
    enum class Fate { Send, Drop, Duplicate, HoldBack };

    explicit FaultInjector(std::uint32_t seed, FaultSettings settings = {})
        : rng_(seed), settings_(settings) {}

    FaultSettings& settings() { return settings_; }
    const FaultSettings& settings() const { return settings_; }

    // Three draws per datagram whatever the settings, so changing one
    // percentage does not shift the others' sequence.
    Fate decide();

    void silenceUntil(platform::Clock::Monotonic until) { silentUntil_ = until; }
    bool silent(platform::Clock::Monotonic now) const { return now < silentUntil_; }

private:
    bool roll(double percent);

    std::mt19937 rng_; // its sequence is fixed by the standard, unlike the distributions'
    FaultSettings settings_;
    platform::Clock::Monotonic silentUntil_{};
};

} // namespace pm::sim
