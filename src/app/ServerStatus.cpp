// A server's status, read off its client and views when someone asks: a
// snapshot costs nothing while nobody looks, and can never disagree with
// what the vote would do.

#include "app/ServerStatus.h"

#include <algorithm>
#include <chrono>

#include "app/frmMain.h"

namespace pm::app {

std::string_view linkPhaseWord(LinkPhase phase) {
    switch (phase) {
    case LinkPhase::Idle: return "idle";
    case LinkPhase::Connecting: return "connecting";
    case LinkPhase::Connected: return "connected";
    case LinkPhase::Silent: return "silent";
    case LinkPhase::Retrying: return "retrying";
    case LinkPhase::Stopped: return "stopped";
    }
    return "idle";
}

std::string_view gridOutcomeWord(GridOutcome outcome) {
    switch (outcome) {
    case GridOutcome::Awaited: return "awaited";
    case GridOutcome::Confirmed: return "confirmed";
    case GridOutcome::Differed: return "differed";
    case GridOutcome::Unconfirmed: return "unconfirmed";
    }
    return "awaited";
}

namespace {

std::string linkName(const LinkStatus& link) {
    std::string out = link.generation > 0 ? "InSim " + std::to_string(link.generation) : "InSim";
    out += link.transport == "tcp" ? " over TCP" : " over UDP";
    if (!link.release.empty()) {
        out += ", LFS " + link.release;
    }
    return out;
}

} // namespace

std::string LinkStatus::badge() const {
    switch (phase) {
    case LinkPhase::Idle: return "not connected";
    case LinkPhase::Connecting: return "connecting " + std::to_string(attempt) + "/3";
    case LinkPhase::Connected: return "connected";
    case LinkPhase::Silent: return "silent " + std::to_string(silentSeconds) + " s";
    case LinkPhase::Retrying: return "retrying in " + std::to_string(retryInSeconds) + " s";
    case LinkPhase::Stopped: return "stopped";
    }
    return {};
}

std::string LinkStatus::line() const {
    switch (phase) {
    case LinkPhase::Idle: return "not connected";
    case LinkPhase::Connecting: return "connecting (try " + std::to_string(attempt) + " of 3)";
    case LinkPhase::Connected: return "connected, " + linkName(*this);
    case LinkPhase::Silent:
        return "silent for " + std::to_string(silentSeconds) + " s (" + linkName(*this) + ")";
    case LinkPhase::Retrying:
        return "retrying in " + std::to_string(retryInSeconds) + " s" + (reason.empty() ? "" : " (" + reason + ")");
    case LinkPhase::Stopped: return "stopped" + (reason.empty() ? "" : " (" + reason + ")");
    }
    return {};
}

std::string withoutColours(std::string_view nickname) {
    std::string out;
    out.reserve(nickname.size());
    for (std::size_t i = 0; i < nickname.size(); ++i) {
        if (nickname[i] == '^' && i + 1 < nickname.size() && nickname[i + 1] >= '0' && nickname[i + 1] <= '9') {
            ++i;
            continue;
        }
        out += nickname[i];
    }
    return out;
}

namespace {

// A host answers TINY_SST at once and is asked after 30 quiet seconds; a few
// seconds past that without a word, it is no longer "connected" to anyone
// watching, though the link is only dropped after two minutes.
constexpr int kSilentAfterSeconds = insim::ucInSim::kAskStateEvery + 5;

LinkStatus linkOf(const insim::ucInSim& client, const platform::Clock& clock) {
    LinkStatus link;
    link.transport = client.overTcp() ? "tcp" : "udp";
    const std::string& error = client.txtLinkError.text();
    switch (client.state()) {
    case insim::LinkState::Connected: {
        if (!client.linkSettledNow()) {
            // Bytes came, but no version yet: it may be no InSim host at all.
            link.phase = LinkPhase::Connecting;
            link.attempt = 1;
            break;
        }
        link.generation = client.wire().version;
        link.release = client.Release();
        // Ticks count seconds since the host's last packet, starting at 1.
        link.silentSeconds = std::max(0, client.ticks() - 1);
        link.phase = link.silentSeconds >= kSilentAfterSeconds ? LinkPhase::Silent : LinkPhase::Connected;
        break;
    }
    case insim::LinkState::Handshake:
        link.phase = LinkPhase::Connecting;
        link.attempt = std::clamp(client.ticks() / insim::ucInSim::kTryEvery + 1, 1, 3);
        break;
    case insim::LinkState::RetryPending: {
        link.phase = LinkPhase::Retrying;
        const auto left = std::chrono::ceil<std::chrono::seconds>(client.retryDue() - clock.monotonicNow());
        link.retryInSeconds = static_cast<int>(std::max<std::int64_t>(0, left.count()));
        link.reason = error.empty() ? client.LastDownReason() : error;
        break;
    }
    case insim::LinkState::Idle:
        link.phase = error.empty() ? LinkPhase::Idle : LinkPhase::Stopped;
        link.reason = error;
        break;
    }
    return link;
}

} // namespace

std::optional<ServerStatus> frmMain::Status(std::int16_t index) const {
    const ServerSet* set = findSet(index);
    if (set == nullptr || index == kTemplateIndex) {
        return std::nullopt;
    }
    ServerStatus out;
    out.index = index;
    out.name = serverName(index);
    out.link = linkOf(set->views->ucInSim, platform_.clock);
    out.lastError = set->views->ucInSim.txtLinkError.text();
    out.nextGrid = PlanGrid(index);
    out.lastGrid = set->lastGrid;
    out.counters = set->counters;
    out.recentLines.assign(set->recentLines.begin(), set->recentLines.end());
    out.recentLinesKept = set->recentLinesKept;
    return out;
}

void frmMain::resetStatusForFuzzing(std::int16_t index) {
    if (ServerSet* set = findSet(index)) {
        set->gridAwaited.reset();
        set->lastGrid.reset();
        set->counters = {};
        set->recentLines.clear();
        set->recentLinesKept = 0;
        set->voteAnsweredAt.reset();
    }
}

} // namespace pm::app
