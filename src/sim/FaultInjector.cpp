#include "sim/FaultInjector.h"

namespace pm::sim {

bool FaultInjector::roll(double percent) {
    // Hundredths of a percent, so 0.5 % means something.
    const auto draw = rng_() % 10000u;
    return static_cast<double>(draw) < percent * 100.0;
}

FaultInjector::Fate FaultInjector::decide() {
    const bool drop = roll(settings_.dropPercent);
    const bool duplicate = roll(settings_.duplicatePercent);
    const bool holdBack = roll(settings_.reorderPercent);
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

} // namespace pm::sim
