// The next race's start order: chosen by the server's rule when a restart
// vote passes, then sent as an IS_REO with a private message to each driver.

#include <algorithm>
#include <limits>

#include "app/ListLookup.h"
#include "app/Numbers.h"
#include "app/frmMain.h"
#include "insim/Packets.h"

namespace pm::app {

void frmMain::VoteAction(std::int16_t Index, std::int16_t Vote) {
    ServerViews* views = server(Index);
    if (views == nullptr || Vote != insim::VOTE_RESTART) {
        return;
    }
    // Custom wins whatever the other two say; Reverse Top only refines Last
    // Race. A box counts only when fully checked (grey is off).
    if (views->chkCustom.isOn()) {
        SendStartOrder(Index, false);
        return;
    }
    if (!views->chkLastRace.isOn()) {
        return;
    }
    if (views->chkReverse.isOn()) {
        // The count box takes free text. A text that is no number cannot say
        // how many to reverse, so the plain finishing order is used and the
        // log says why. Below 1 nothing is reversed; above the field the
        // whole field is (both fall out of the rule's own clamping).
        const std::string& text = views->txtReverse.text();
        const auto R = parseNumber(text);
        if (!R) {
            AddStatus("Reverse Top count '" + text + "' is not a number; using the plain finishing order");
            buildLastRaceOrder(*views);
        } else {
            const auto rounded = roundToInt16(*R - 1);
            std::int16_t N = 0;
            if (rounded) {
                N = *rounded;
            } else {
                N = *R > 0 ? std::numeric_limits<std::int16_t>::max() : std::int16_t{-1};
            }
            buildReverseTopOrder(*views, N);
        }
    } else {
        buildLastRaceOrder(*views);
    }
    SendStartOrder(Index, false);
}

void frmMain::addFinisher(ServerViews& views, int k) {
    // Drivers who left since the race lose their place; the rest close up.
    const std::string name = finisherName(views.lstFinish, k);
    // A driver starts once. The list can name someone twice when a lost
    // winner's result left the previous race's places in it; the place the
    // rule meets first counts.
    if (findName(views.lstConnections, name) >= 0 && findName(views.lstOrder, name) < 0) {
        views.lstOrder.addItem(name);
    }
}

void frmMain::buildLastRaceOrder(ServerViews& views) {
    views.lstOrder.clear();
    for (int k = 0; k < views.lstFinish.count(); ++k) {
        addFinisher(views, k);
    }
}

void frmMain::buildReverseTopOrder(ServerViews& views, std::int16_t N) {
    views.lstOrder.clear();
    const int last = views.lstFinish.count() - 1;
    // The reversal is over finishing positions, before anyone who left is
    // dropped. A negative count reverses nothing.
    const int top = std::max(-1, std::min<int>(N, last));
    for (int k = top; k >= 0; --k) {
        addFinisher(views, k);
    }
    for (int k = top + 1; k <= last; ++k) {
        addFinisher(views, k);
    }
}

namespace {

// The rule a vote applies, as VoteAction picks it.
std::string ruleApplied(const ServerViews& views) {
    if (views.chkCustom.isOn()) {
        return "Custom";
    }
    if (views.chkReverse.isOn() && parseNumber(views.txtReverse.text())) {
        return "Reverse Top " + views.txtReverse.text();
    }
    return "Last Race";
}

// A nickname as people read it: LFS colour codes (^0 to ^9) left out.
std::string withoutColours(const std::string& nickname) {
    std::string out;
    for (std::size_t i = 0; i < nickname.size(); ++i) {
        if (nickname[i] == '^' && i + 1 < nickname.size() && nickname[i + 1] >= '0' && nickname[i + 1] <= '9') {
            ++i;
            continue;
        }
        out += nickname[i];
    }
    return out;
}

} // namespace

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
    if (!bSilent && !summaryLine.empty()) {
        summary = "grid sent (" + ruleApplied(*views) + "):";
        for (int k = 0; k < sent; ++k) {
            const std::string name = views->lstOrder.text(k);
            const std::string nick = withoutColours(client.GetPlayerName(name));
            summary += (k == 0 ? " " : ", ") + std::to_string(k + 1) + " " + (nick.empty() ? name : nick);
        }
        if (sent == 0) {
            summary += " nobody";
        }
    }
    if (!bSilent) {
        if (ServerSet* set = findSet(Index)) {
            set->gridAwaited = std::move(grid);
        }
    }
    client.SendInSim(reo.toBytes(client.wire()));
    if (!summary.empty()) {
        summaryLine(Index, summary);
    }
}

} // namespace pm::app
