// The next race's start order: chosen by the server's rule when a restart
// vote passes, then sent as an IS_REO with a private message to each driver.

#include <algorithm>
#include <chrono>
#include <limits>

#include "app/ListLookup.h"
#include "app/Numbers.h"
#include "app/frmMain.h"
#include "insim/Packets.h"

namespace pm::app {

namespace {

// The rule a vote applies, from the boxes. Custom wins whatever the other
// two say; Reverse Top only refines Last Race. A box counts only when fully
// checked (grey is off).
struct VoteRule {
    GridRule rule = GridRule::None;
    std::int16_t reverseTop = 0; // ReverseTop: the last finishing position (0-based) reversed
    std::string name;
    std::string note;
};

VoteRule ruleOf(const ServerViews& views) {
    VoteRule out;
    if (views.chkCustom.isOn()) {
        out.rule = GridRule::Custom;
        out.name = "Custom";
        return out;
    }
    if (!views.chkLastRace.isOn()) {
        out.name = "none";
        return out;
    }
    out.rule = GridRule::LastRace;
    out.name = "Last Race";
    if (!views.chkReverse.isOn()) {
        return out;
    }
    // The count box takes free text. A text that is no number cannot say
    // how many to reverse, so the plain finishing order is used. Below 1
    // nothing is reversed; above the field the whole field is (both fall out
    // of the rule's own clamping).
    const std::string& text = views.txtReverse.text();
    const auto R = parseNumber(text);
    if (!R) {
        out.note = "the Reverse Top count '" + text + "' is not a number: the plain finishing order is used";
        return out;
    }
    out.rule = GridRule::ReverseTop;
    if (const auto rounded = roundToInt16(*R - 1)) {
        out.reverseTop = *rounded;
    } else {
        out.reverseTop = *R > 0 ? std::numeric_limits<std::int16_t>::max() : std::int16_t{-1};
    }
    // The count as applied, not as typed: " 3", "3.0" and "-0" say what
    // they do ("Reverse Top 3", "Reverse Top 0").
    out.name = "Reverse Top " + std::to_string(std::max(0, out.reverseTop + 1));
    return out;
}

// The finishing order as the next grid, the first top+1 places reversed (a
// negative top reverses nothing). Drivers who left since the race lose their
// place and the rest close up; the reversal is over finishing positions,
// before anyone who left is dropped.
std::vector<std::string> orderByFinish(const ServerViews& views, std::int16_t top) {
    std::vector<std::string> out;
    const auto add = [&](int k) {
        std::string name = finisherName(views.lstFinish, k);
        // A driver starts once. The list can name someone twice when a lost
        // winner's result left the previous race's places in it; the place
        // the rule meets first counts.
        if (findName(views.lstConnections, name) >= 0 && std::find(out.begin(), out.end(), name) == out.end()) {
            out.push_back(std::move(name));
        }
    };
    const int last = views.lstFinish.count() - 1;
    const int reversed = std::max(-1, std::min<int>(top, last));
    for (int k = reversed; k >= 0; --k) {
        add(k);
    }
    for (int k = reversed + 1; k <= last; ++k) {
        add(k);
    }
    return out;
}

std::vector<GridPlace> placesOf(const std::vector<std::string>& users, const insim::ucInSim& client) {
    std::vector<GridPlace> out;
    out.reserve(users.size());
    for (const std::string& user : users) {
        out.push_back({static_cast<int>(out.size()) + 1, user, client.GetPlayerNameColoured(user),
                       static_cast<std::uint8_t>(client.GetPlayerNum(user))});
    }
    return out;
}

} // namespace

void frmMain::VoteAction(std::int16_t Index, std::int16_t Vote) {
    ServerViews* views = server(Index);
    if (views == nullptr || Vote != insim::VOTE_RESTART) {
        return;
    }
    const VoteRule rule = ruleOf(*views);
    if (rule.rule == GridRule::None) {
        return;
    }
    if (rule.rule != GridRule::Custom) {
        if (!rule.note.empty()) {
            AddStatus("Reverse Top count '" + views->txtReverse.text() +
                      "' is not a number; using the plain finishing order");
        }
        const std::int16_t top = rule.rule == GridRule::ReverseTop ? rule.reverseTop : std::int16_t{-1};
        views->lstOrder.clear();
        for (std::string& name : orderByFinish(*views, top)) {
            views->lstOrder.addItem(std::move(name));
        }
    }
    SendStartOrder(Index, false);
}

namespace {

// A copy of a vote datagram arrives within moments of the first; a second
// real vote needs the race to restart first, which clears the mark anyway.
constexpr std::chrono::seconds kVoteCopyWindow{2};

} // namespace

void frmMain::HostVote(std::int16_t Index, std::int16_t Vote) {
    ServerSet* set = findSet(Index);
    if (set == nullptr) {
        return;
    }
    const auto now = platform_.clock.monotonicNow();
    // A copy is answered as the first was (the host takes the first grid
    // and ignores the second, which is the same), but it is one vote.
    const bool copy =
        Vote == insim::VOTE_RESTART && set->voteAnsweredAt && now - *set->voteAnsweredAt < kVoteCopyWindow;
    const auto sentBefore = set->counters.gridsSent;
    VoteAction(Index, Vote);
    if (set->counters.gridsSent != sentBefore && !copy) {
        ++set->counters.votesAnswered;
        set->voteAnsweredAt = now;
    }
}

NextGrid frmMain::PlanGrid(std::int16_t Index) const {
    NextGrid out;
    const ServerViews* views = server(Index);
    if (views == nullptr) {
        return out;
    }
    const VoteRule rule = ruleOf(*views);
    out.rule = rule.rule;
    out.ruleName = rule.name;
    out.ruleNote = rule.note;
    out.slots = views->ucInSim.wire().startOrderSlots;
    switch (rule.rule) {
    case GridRule::None:
        break;
    case GridRule::Custom:
        out.places = placesOf(views->lstOrder.texts(), views->ucInSim);
        break;
    case GridRule::LastRace:
        out.places = placesOf(orderByFinish(*views, -1), views->ucInSim);
        break;
    case GridRule::ReverseTop:
        out.places = placesOf(orderByFinish(*views, rule.reverseTop), views->ucInSim);
        break;
    }
    return out;
}

void frmMain::SendStartOrder(std::int16_t Index, bool bSilent) {
    ServerViews* views = server(Index);
    if (views == nullptr) {
        return;
    }
    insim::ucInSim& client = views->ucInSim;
    // The packet has room for 32, 40 or 48 drivers, by the protocol
    // generation. A longer order is sent cut to the packet's slots rather
    // than not at all, and the log says so; the rest start wherever the
    // server puts them.
    insim::IsReo reo;
    const int slots = client.wire().startOrderSlots;
    const int count = views->lstOrder.count();
    const int sent = std::min(count, slots);
    reo.NumP = static_cast<std::uint8_t>(sent);

    AddStatus("BH RACE ORDER");
    std::vector<std::pair<std::uint8_t, std::string>> grid;
    for (int k = 0; k < sent; ++k) {
        const std::string name = views->lstOrder.text(k);
        const std::int16_t p = client.GetPlayerNum(name);
        reo.PLID[static_cast<std::size_t>(k)] = static_cast<std::uint8_t>(p);
        if (p != 0) {
            grid.emplace_back(static_cast<std::uint8_t>(p), name);
        }
        AddStatus(std::to_string(k + 1) + "=" + std::to_string(p));
        // Without a player there is nobody to tell: a message to player 0
        // would land on connection 0, the host, with someone else's place.
        if (!bSilent && p != 0) {
            client.ISS_MTC("^2Your Grid position for the next race is #" + std::to_string(k + 1), 0, p);
            client.ISS_MTC("^3Powered by Brenhollow's Paddock Marshal", 0, p);
        }
    }
    if (count > slots) {
        AddStatus("Start order has " + std::to_string(count) + " entries; only the first " +
                  std::to_string(slots) + " were sent");
    }
    // A vote's grid is what the host should start with; the silent answer
    // to the host's own order is no new grid to check.
    std::string summary;
    // Only the headless log reads it: the window's vote does not pay for it.
    if (!bSilent && (!summaryLine.empty() || recentLimit_ != 0)) {
        summary = "grid sent (" + ruleOf(*views).name + "):";
        for (int k = 0; k < sent; ++k) {
            const std::string name = views->lstOrder.text(k);
            const std::string nick = withoutColours(client.GetPlayerName(name));
            summary += (k == 0 ? " " : ", ") + std::to_string(k + 1) + " " + (nick.empty() ? name : nick);
            // The host gets no player for the place: the drivers behind
            // start a place higher than their message says.
            if (reo.PLID[static_cast<std::size_t>(k)] == 0) {
                summary += " (not on the track)";
            }
        }
        if (sent == 0) {
            summary += " nobody";
        }
    }
    if (!bSilent) {
        if (ServerSet* set = findSet(Index)) {
            set->gridAwaited = std::move(grid);
            const auto& order = views->lstOrder.items();
            std::vector<std::string> users;
            users.reserve(static_cast<std::size_t>(sent));
            for (int k = 0; k < sent; ++k) {
                users.push_back(order[static_cast<std::size_t>(k)].text);
            }
            set->lastGrid = SentGrid{ruleOf(*views).name, placesOf(users, client), GridOutcome::Awaited, {}};
            ++set->counters.gridsSent;
        }
    }
    client.SendInSim(reo.toBytes(client.wire()));
    if (!summary.empty()) {
        summarise(Index, summary);
    }
}

} // namespace pm::app
