#include "sim/World.h"

#include <algorithm>

#include "platform/CodePage.h"

namespace pm::sim {

std::string_view raceStateName(RaceState state) {
    switch (state) {
    case RaceState::None: return "none";
    case RaceState::Race: return "race";
    case RaceState::Qualifying: return "qualifying";
    }
    return "?";
}

std::string spaced(const std::vector<std::string>& names) {
    std::string out;
    for (const auto& n : names) {
        out += (out.empty() ? "" : " ") + n;
    }
    return out.empty() ? "(empty)" : out;
}

namespace {

// Width as it will stand in a packet: one byte per character.
std::size_t wireWidth(std::string_view text) {
    return platform::utf8ToCp1252(text).size();
}

} // namespace

World::World(std::string hostNick) {
    Connection host;
    host.ucid = kHostUcid;
    host.name = std::string(kHostName);
    host.nick = std::move(hostNick);
    host.admin = true;
    conns_.emplace(kHostUcid, std::move(host));
}

Connection* World::find(std::string_view name) {
    for (auto& [ucid, c] : conns_) {
        if (c.name == name) {
            return &c;
        }
    }
    return nullptr;
}

const Connection* World::connection(std::string_view name) const {
    return const_cast<World*>(this)->find(name);
}

Connection* World::connectionByUcid(std::uint8_t ucid) {
    auto it = conns_.find(ucid);
    return it == conns_.end() ? nullptr : &it->second;
}

const Connection* World::connectionByUcid(std::uint8_t ucid) const {
    return const_cast<World*>(this)->connectionByUcid(ucid);
}

const Player* World::playerOf(std::string_view name) const {
    const Connection* c = connection(name);
    if (c == nullptr) {
        return nullptr;
    }
    for (const auto& [plid, p] : players_) {
        if (p.ucid == c->ucid) {
            return &p;
        }
    }
    return nullptr;
}

const Player* World::player(std::uint8_t plid) const {
    auto it = players_.find(plid);
    return it == players_.end() ? nullptr : &it->second;
}

std::string World::nameOfPlayer(std::uint8_t plid) const {
    const Player* p = player(plid);
    const Connection* c = p ? connectionByUcid(p->ucid) : nullptr;
    return c ? c->name : std::string{};
}

std::vector<Connection*> World::addressed(std::uint8_t ucid) {
    std::vector<Connection*> out;
    if (ucid == kEveryone) {
        for (auto& [id, c] : conns_) {
            out.push_back(&c);
        }
    } else if (Connection* c = connectionByUcid(ucid)) {
        out.push_back(c);
    }
    return out;
}

std::uint8_t World::freeUcid() const {
    for (int ucid = 1; ucid <= kHighestId; ++ucid) {
        if (!conns_.contains(static_cast<std::uint8_t>(ucid))) {
            return static_cast<std::uint8_t>(ucid);
        }
    }
    return 0;
}

// PLIDs count up and are not handed out again soon, as on a real host, so a
// client that keeps a stale player shows it.
std::uint8_t World::freePlid() {
    for (int tries = 0; tries < kHighestId; ++tries) {
        lastPlid_ = lastPlid_ >= kHighestId ? 1 : static_cast<std::uint8_t>(lastPlid_ + 1);
        if (!players_.contains(lastPlid_)) {
            return lastPlid_;
        }
    }
    return 0;
}

Outcome World::connect(const std::string& name, const std::string& nick, bool admin) {
    if (name.empty()) {
        return Outcome::fail("a connection needs a user name");
    }
    if (name == kHostName) {
        return Outcome::fail("'host' is the host's own connection");
    }
    if (wireWidth(name) > kNameWidth || wireWidth(nick) > kNameWidth) {
        return Outcome::fail("names are at most " + std::to_string(kNameWidth) + " characters");
    }
    if (find(name) != nullptr) {
        return Outcome::fail(name + " is already connected");
    }
    const std::uint8_t ucid = freeUcid();
    if (ucid == 0) {
        return Outcome::fail("no free connection slot");
    }
    Connection c;
    c.ucid = ucid;
    c.name = name;
    c.nick = nick.empty() ? name : nick;
    c.admin = admin;
    conns_.emplace(ucid, std::move(c));
    return Outcome::ok();
}

Outcome World::takeCar(const std::string& name) {
    const Connection* c = find(name);
    if (c == nullptr) {
        return Outcome::fail(name + " is not connected");
    }
    if (c->ucid == kHostUcid) {
        return Outcome::fail("the host does not race");
    }
    if (playerOf(name) != nullptr) {
        return Outcome::fail(name + " is already in the race");
    }
    if (static_cast<int>(players_.size()) >= maxCars_) {
        return Outcome::fail("the race is full: " + std::to_string(maxCars_) + " cars");
    }
    const std::uint8_t plid = freePlid();
    if (plid == 0) {
        return Outcome::fail("no free player slot");
    }
    players_.emplace(plid, Player{plid, c->ucid});
    grid_.push_back(plid);
    return Outcome::ok();
}

void World::dropFromGrid(std::uint8_t plid) {
    std::erase(grid_, plid);
}

Outcome World::spectate(const std::string& name) {
    if (find(name) == nullptr) {
        return Outcome::fail(name + " is not connected");
    }
    const Player* p = playerOf(name);
    if (p == nullptr) {
        return Outcome::fail(name + " is not in the race");
    }
    const std::uint8_t plid = p->plid;
    dropFromGrid(plid);
    players_.erase(plid);
    return Outcome::ok();
}

Outcome World::disconnect(const std::string& name) {
    const Connection* c = find(name);
    if (c == nullptr) {
        return Outcome::fail(name + " is not connected");
    }
    if (c->ucid == kHostUcid) {
        return Outcome::fail("the host cannot leave");
    }
    const std::uint8_t ucid = c->ucid;
    if (playerOf(name) != nullptr) {
        spectate(name);
    }
    conns_.erase(ucid);
    return Outcome::ok();
}

void World::startSession(RaceState state) {
    state_ = state;
    finished_.clear();
    reoWindow_ = false;
}

void World::endSession() {
    startSession(RaceState::None);
}

Outcome World::checkFinishers(const std::vector<std::string>& names) const {
    if (state_ == RaceState::None) {
        return Outcome::fail("no race is in progress");
    }
    std::vector<std::uint8_t> seen;
    for (const auto& name : names) {
        if (connection(name) == nullptr) {
            return Outcome::fail(name + " is not connected");
        }
        const Player* p = playerOf(name);
        if (p == nullptr) {
            return Outcome::fail(name + " is not in the race");
        }
        if (std::ranges::find(finished_, p->plid) != finished_.end() ||
            std::ranges::find(seen, p->plid) != seen.end()) {
            return Outcome::fail(name + " has already finished");
        }
        seen.push_back(p->plid);
    }
    return Outcome::ok();
}

std::uint8_t World::classify(std::uint8_t plid) {
    finished_.push_back(plid);
    return static_cast<std::uint8_t>(finished_.size() - 1);
}

std::vector<std::string> World::gridNames() const {
    std::vector<std::string> names;
    for (auto plid : grid_) {
        names.push_back(nameOfPlayer(plid));
    }
    return names;
}

World::ReoResult World::applyStartOrder(const insim::IsReo& reo, std::chrono::milliseconds at, int slots) {
    ReoResult result;
    if (!reoWindow_) {
        result.notes.push_back("ignored: no restart vote pending");
        return result;
    }
    std::vector<std::uint8_t> order;
    slots = std::clamp(slots, 0, static_cast<int>(reo.PLID.size()));
    const int count = std::min<int>(reo.NumP, slots);
    if (reo.NumP > slots) {
        result.notes.push_back("NumP " + std::to_string(reo.NumP) + " exceeds the " + std::to_string(slots) +
                               " slots");
    }
    for (int k = 0; k < count; ++k) {
        const std::uint8_t plid = reo.PLID[static_cast<std::size_t>(k)];
        const std::string slot = "slot " + std::to_string(k + 1) + ": ";
        if (plid == 0) {
            result.notes.push_back(slot + "PLID 0 skipped");
        } else if (!players_.contains(plid)) {
            result.notes.push_back(slot + "no player " + std::to_string(plid) + ", skipped");
        } else if (std::ranges::find(order, plid) != order.end()) {
            result.notes.push_back(slot + "player " + std::to_string(plid) + " twice, skipped");
        } else {
            order.push_back(plid);
        }
    }
    // A real host starts everyone who is on track; the ones the order left
    // out go behind it in their old order.
    for (auto plid : grid_) {
        if (std::ranges::find(order, plid) == order.end()) {
            result.notes.push_back(nameOfPlayer(plid) + " not in the order, placed behind");
            order.push_back(plid);
        }
    }
    grid_ = std::move(order);
    reoWindow_ = false;
    result.applied = true;
    applied_.push_back(AppliedGrid{at, gridNames()});
    return result;
}

void World::deliver(const Connection& to, Message message) {
    messages_[to.name].push_back(std::move(message));
}

const std::vector<Message>& World::messagesFor(std::string_view name) const {
    static const std::vector<Message> kNone;
    auto it = messages_.find(std::string(name));
    return it == messages_.end() ? kNone : it->second;
}

void World::clearAllButtons() {
    for (auto& [ucid, c] : conns_) {
        c.buttons.clear();
    }
}

void World::hostRestarted() {
    endSession();
    clearAllButtons();
}

} // namespace pm::sim
