#include "sim/Crowd.h"

#include <cstdio>
#include <vector>

namespace pm::sim {

Crowd::Crowd(SimServer& server, platform::EventLoop& loop, CrowdOptions options)
    : server_(server), loop_(loop), options_(options), rng_(options.seed) {}

Crowd::~Crowd() {
    *alive_ = false;
    if (timer_ != 0) {
        loop_.stopTimer(timer_);
    }
}

std::string Crowd::nameOf(int index) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "driver%02d", index + 1);
    return buf;
}

bool Crowd::start() {
    for (int i = 0; i < options_.drivers; ++i) {
        char nick[32];
        std::snprintf(nick, sizeof nick, "Driver %02d", i + 1);
        if (auto r = server_.join(nameOf(i), nick, i == 0); !r) {
            error_ = r.error;
            return false;
        }
    }
    server_.startRace();
    std::weak_ptr<bool> alive = alive_;
    timer_ = loop_.startTimer(options_.raceEvery, [this, alive] {
        if (alive.lock()) {
            endOfRace();
        }
    });
    return true;
}

void Crowd::endOfRace() {
    if (server_.world().state() == RaceState::None) {
        server_.startRace();
    }
    std::vector<std::string> order;
    for (auto plid : server_.world().gridPlids()) {
        auto name = server_.world().nameOfPlayer(plid);
        if (server_.world().checkFinishers({name})) { // a script may have classified some
            order.push_back(std::move(name));
        }
    }
    // Fisher-Yates on the generator's raw output: std::shuffle's use of it
    // differs between standard libraries, and a seed must replay anywhere.
    for (std::size_t i = order.size(); i > 1; --i) {
        std::swap(order[i - 1], order[rng_() % i]);
    }
    server_.finish(order);
    ++races_;
    server_.voteRestart();
}

} // namespace pm::sim
