#pragma once
// Helpers shared by the platform tests: a bounded way to run a real-clock
// loop until something happens, so that a broken notification path fails the
// test instead of hanging it.

#include <chrono>
#include <functional>

#include "platform/PollEventLoop.h"

namespace pm::platform::testsupport {

// The longest a test waits for loopback traffic. Loopback delivery takes
// microseconds; this only bounds a failing test.
constexpr std::chrono::milliseconds kWatchdog{3000};

// Runs passes until pred() holds or the watchdog expires; returns pred().
inline bool runUntil(PollEventLoop& loop, const std::function<bool()>& pred,
                     std::chrono::milliseconds watchdog = kWatchdog) {
    const auto deadline = std::chrono::steady_clock::now() + watchdog;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return pred();
        }
        loop.runOnce(std::chrono::milliseconds(10));
    }
    return true;
}

// Runs a few bounded passes so that anything that would wrongly happen has
// its chance; used to assert that something does NOT happen.
inline void settle(PollEventLoop& loop, int passes = 5) {
    for (int i = 0; i < passes; ++i) {
        loop.runOnce(std::chrono::milliseconds(5));
    }
}

inline std::chrono::milliseconds elapsedSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
}

} // namespace pm::platform::testsupport
