#include "sim/FaultInjector.h"

namespace pm::sim {

bool FaultInjector::roll(std::mt19937& rng, double percent) {
    // Hundredths of a percent, so 0.5 % means something.
    const auto draw = rng() % 10000u;
    return static_cast<double>(draw) < percent * 100.0;
}

FaultInjector::Fate FaultInjector::decide() {
    const bool drop = roll(rng_, settings_.dropPercent);
    const bool duplicate = roll(rng_, settings_.duplicatePercent);
    const bool holdBack = roll(rng_, settings_.reorderPercent);
    if (drop) {
        return Fate::Drop;
    }
    if (duplicate) {
        return Fate::Duplicate;
    }
    if (holdBack) {
        return Fate::HoldBack;
    }
    return Fate::Send;
}

std::optional<std::size_t> FaultInjector::cutAt(std::size_t length) {
    const bool cut = roll(cutRng_, settings_.splitPercent);
    const auto where = cutRng_();
    if (!cut || length < 2) {
        return std::nullopt;
    }
    return 1 + where % (length - 1);
}

} // namespace pm::sim
