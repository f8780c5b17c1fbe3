// The world operations of SimServer: each changes the world and sends what a
// dedicated host sends about it, in the host's order.

#include "sim/HostPackets.h"
#include "sim/PacketText.h"
#include "sim/SimServer.h"

namespace pm::sim {

using namespace insim;

void SimServer::sendSta(std::uint8_t reqI) {
    const IsSta sta = staPacket(world_, options_, reqI);
    IsSta told = sta;
    told.ReqI = 0;
    lastSta_ = told;
    sendPacket(sta);
}

// A host reports its state whenever it changes, unasked.
void SimServer::syncSta() {
    if (!client_) {
        return;
    }
    if (!lastSta_ || !(*lastSta_ == staPacket(world_, options_, 0))) {
        sendSta(0);
    }
}

Outcome SimServer::connect(const std::string& name, const std::string& nick, bool admin) {
    if (auto r = world_.connect(name, nick, admin); !r) {
        return r;
    }
    sendPacket(ncnPacket(world_, *world_.connection(name), demo(), 0));
    syncSta();
    return Outcome::ok();
}

Outcome SimServer::join(const std::string& name, const std::string& nick, bool admin) {
    if (world_.connection(name) == nullptr) {
        if (auto r = world_.connect(name, nick, admin); !r) {
            return r;
        }
        sendPacket(ncnPacket(world_, *world_.connection(name), demo(), 0));
    }
    if (auto r = world_.takeCar(name); !r) {
        syncSta();
        return r;
    }
    sendPacket(nplPacket(world_, *world_.playerOf(name), 0));
    syncSta();
    return Outcome::ok();
}

Outcome SimServer::spectate(const std::string& name) {
    const Player* p = world_.playerOf(name);
    const std::uint8_t plid = p ? p->plid : 0;
    if (auto r = world_.spectate(name); !r) {
        return r;
    }
    sendPacket(IsPll{0, plid});
    syncSta();
    return Outcome::ok();
}

Outcome SimServer::leave(const std::string& name) {
    const Connection* c = world_.connection(name);
    const Player* p = world_.playerOf(name);
    const std::uint8_t ucid = c ? c->ucid : 0;
    const std::uint8_t plid = p ? p->plid : 0;
    if (auto r = world_.disconnect(name); !r) {
        return r;
    }
    if (plid != 0) {
        sendPacket(IsPll{0, plid});
    }
    sendPacket(cnlPacket(world_, ucid));
    syncSta();
    return Outcome::ok();
}

Outcome SimServer::chat(const std::string& name, const std::string& text) {
    const Connection* c = world_.connection(name);
    if (c == nullptr) {
        return Outcome::fail(name + " is not connected");
    }
    if (text.empty()) {
        return Outcome::fail("nothing to say");
    }
    const char prefix = client_ ? client_->prefix : '\0';
    const bool colours = client_ && (client_->flags & kIsfMsoCols) != 0;
    sendPacket(msoPacket(world_, *c, text, prefix, colours));
    return Outcome::ok();
}

Outcome SimServer::click(const std::string& name, int clickId, std::uint8_t flags) {
    const Connection* c = world_.connection(name);
    if (c == nullptr) {
        return Outcome::fail(name + " is not connected");
    }
    auto it = c->buttons.find(static_cast<std::uint8_t>(clickId));
    if (clickId < 0 || clickId > World::kHighestClickId || it == c->buttons.end()) {
        return Outcome::fail(name + " has no button " + std::to_string(clickId));
    }
    if (!it->second.clickable()) {
        return Outcome::fail("button " + std::to_string(clickId) + " on " + name +
                             "'s screen is not clickable");
    }
    IsBtc btc;
    btc.ReqI = it->second.reqI;
    btc.UCID = c->ucid;
    btc.ClickID = it->second.clickId;
    btc.Inst = it->second.inst;
    btc.CFlags = flags;
    sendPacket(btc);
    return Outcome::ok();
}

void SimServer::cancelPendingVote() {
    if (voteTimer_ != 0) {
        loop_.stopTimer(voteTimer_);
        voteTimer_ = 0;
    }
}

Outcome SimServer::beginSession(RaceState state) {
    cancelPendingVote();
    world_.startSession(state);
    transcript_.note(std::string(state == RaceState::Race ? "race" : "qualifying") +
                     " starts, grid: " + spaced(world_.gridNames()));
    sendRaceOrder(0);
    sendPacket(rstPacket(world_, options_, 0));
    syncSta();
    return Outcome::ok();
}

Outcome SimServer::startRace() {
    return beginSession(RaceState::Race);
}

Outcome SimServer::startQualifying() {
    return beginSession(RaceState::Qualifying);
}

Outcome SimServer::endRace() {
    cancelPendingVote();
    world_.endSession();
    syncSta();
    return Outcome::ok();
}

Outcome SimServer::finish(const std::vector<std::string>& names) {
    if (auto r = world_.checkFinishers(names); !r) {
        return r;
    }
    for (const auto& name : names) {
        const Player& p = *world_.playerOf(name);
        const std::uint8_t resultNum = world_.classify(p.plid);
        sendPacket(resPacket(world_, options_, p, resultNum, demo()));
    }
    syncSta();
    return Outcome::ok();
}

Outcome SimServer::vote(std::uint8_t action) {
    if (action != VOTE_END && action != VOTE_RESTART && action != VOTE_QUALIFY) {
        return Outcome::fail("no vote " + std::to_string(action));
    }
    cancelPendingVote();
    if (action != VOTE_END) {
        world_.openStartOrderWindow();
    }
    sendPacket(voteActionPacket(action));
    if (options_.voteTakesEffectAfter.count() > 0) {
        std::weak_ptr<bool> alive = alive_;
        voteTimer_ = loop_.startTimer(options_.voteTakesEffectAfter, [this, alive, action] {
            if (alive.lock()) {
                loop_.stopTimer(voteTimer_);
                voteTimer_ = 0;
                carryOutVote(action);
            }
        });
    }
    return Outcome::ok();
}

void SimServer::carryOutVote(std::uint8_t action) {
    transcript_.note("the " + voteName(action) + " vote is carried out");
    if (action == VOTE_RESTART) {
        startRace();
    } else if (action == VOTE_QUALIFY) {
        startQualifying();
    } else {
        endRace();
    }
}

Outcome SimServer::reportOrder() {
    // A host that sends this client no IS_REO stays silent; the scenario's
    // step is still carried out, not refused.
    sendRaceOrder(0);
    return Outcome::ok();
}

void SimServer::sendRaceOrder(std::uint8_t reqI) {
    if (reoWithheld()) {
        transcript_.note("no IS_REO: LFS " + std::string(releaseName(options_.lfs)) +
                         " sends none to an InSim " + std::to_string(wire().version) + " client");
        return;
    }
    const auto slots = static_cast<std::size_t>(wire().startOrderSlots);
    if (world_.gridPlids().size() > slots) {
        transcript_.note("IS_REO holds the first " + std::to_string(slots) + " of " +
                         std::to_string(world_.gridPlids().size()) + " cars");
    }
    sendPacket(reoPacket(world_, reqI, wire()));
}

void SimServer::changeRelease(LfsRelease release) {
    if (release == options_.lfs) {
        return;
    }
    // As a host restarted on another release: the link goes, the drivers stay.
    forgetClient("the host changes release");
    options_.lfs = release;
    world_.setMaxCars(factsOf(release).maxCars);
    transcript_.note("the host now plays LFS " + std::string(releaseName(release)));
}

void SimServer::silence(std::chrono::milliseconds duration) {
    faults_.silenceUntil(clock_.monotonicNow() + duration);
    transcript_.note("silent for " + std::to_string(duration.count()) + " ms");
}

void SimServer::restartServer(std::chrono::milliseconds downtime) {
    transcript_.note("host restarting");
    forgetClient("host restart");
    cancelPendingVote();
    world_.hostRestarted();
    held_.clear();
    endpoint_.close();
    streams_.close(); // streams not yet a client's go too
    inbound_.clear();
    if (reopenTimer_ != 0) {
        loop_.stopTimer(reopenTimer_);
        reopenTimer_ = 0;
    }
    auto reopen = [this] {
        openPort();
        if (openError_.empty()) {
            transcript_.note("host back on port " + std::to_string(port_));
        } else {
            transcript_.note("host could not come back: " + openError_);
        }
    };
    if (downtime.count() <= 0) {
        reopen();
        return;
    }
    std::weak_ptr<bool> alive = alive_;
    reopenTimer_ = loop_.startTimer(downtime, [this, alive, reopen] {
        if (alive.lock()) {
            loop_.stopTimer(reopenTimer_);
            reopenTimer_ = 0;
            reopen();
        }
    });
}

// ---- Lookups

std::vector<std::string> SimServer::lastAppliedGrid() const {
    const auto& grids = world_.appliedGrids();
    return grids.empty() ? std::vector<std::string>{} : grids.back().names;
}

std::vector<std::string> SimServer::messagesFor(std::string_view name) const {
    std::vector<std::string> texts;
    for (const auto& m : world_.messagesFor(name)) {
        texts.push_back(m.text);
    }
    return texts;
}

std::vector<Button> SimServer::buttonsFor(std::string_view name) const {
    std::vector<Button> out;
    if (const Connection* c = world_.connection(name)) {
        for (const auto& [id, b] : c->buttons) {
            out.push_back(b);
        }
    }
    return out;
}

std::string SimServer::screenFor(std::string_view name) const {
    const auto buttons = buttonsFor(name);
    std::string out = std::string(name) + "'s screen: " + std::to_string(buttons.size()) + " button(s)";
    for (const auto& b : buttons) {
        char id[8];
        std::snprintf(id, sizeof id, "%5d", b.clickId);
        out += "\n" + std::string(id) + (b.clickable() ? " [click] " : "         ") + quoted(b.text);
    }
    return out;
}

} // namespace pm::sim
