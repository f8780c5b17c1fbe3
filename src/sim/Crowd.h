#pragma once
// Drivers for demos and load: N of them join, a race starts, and every K
// seconds everyone on track finishes in a shuffled order and a restart vote
// passes (which restarts the race). The shuffle comes from the seed, so a
// crowd run repeats.

#include <chrono>
#include <cstdint>
#include <memory>
#include <random>
#include <string>

#include "platform/EventLoop.h"
#include "sim/SimServer.h"

namespace pm::sim {

struct CrowdOptions {
    int drivers = 8;
    std::chrono::milliseconds raceEvery{20000};
    std::uint32_t seed = 1;
};

class Crowd {
public:
    Crowd(SimServer& server, platform::EventLoop& loop, CrowdOptions options);
    ~Crowd();
    Crowd(const Crowd&) = delete;
    Crowd& operator=(const Crowd&) = delete;

    // "driver01" ... ; the first is an administrator, so chat commands work.
    static std::string nameOf(int index);

    // Joins everyone and starts the first race; false (with the reason in
    // error()) when the world refused a driver.
    bool start();
    int racesFinished() const { return races_; }
    const std::string& error() const { return error_; }

private:
    void endOfRace();

    SimServer& server_;
    platform::EventLoop& loop_;
    CrowdOptions options_;
    std::mt19937 rng_;
    platform::EventLoop::TimerId timer_ = 0;
    int races_ = 0;
    std::string error_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

} // namespace pm::sim
