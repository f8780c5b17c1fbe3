// Who is connected and how the last race finished, kept from the clients'
// events; and the answer to the server's own race order.

#include <algorithm>
#include <cctype>

#include "app/ListLookup.h"
#include "app/frmMain.h"
#include "insim/modByteHelper.h"
#include "insim/modInSim.h"

namespace pm::app {

namespace {

// IS_RES fields that the finishing order needs.
constexpr int kResSizeByte = 0;
constexpr int kResUName = 4;
constexpr int kResPName = 28;
constexpr int kNameWidth = 24;
constexpr int kResTTime = 64;
constexpr int kResSpB = 75;
constexpr int kResResultNum = 80;
// A result must be longer than this to be read at all.
constexpr int kResMinSize = 77;
// Positions get two digits; a ResultNum from 99 on would need a third, which
// both the text order of the list and the name cut after the position get
// wrong. The simulator also sends 255 for "not in the table".
constexpr int kLastTwoDigitResult = 98;
constexpr int kRaceModeQualifying = 2;

constexpr int kReoNumP = 3;
constexpr int kReoFirstPlid = 4;

bool isDemo(const std::string& product) {
    std::string p = product;
    p.erase(p.find_last_not_of(' ') + 1);
    p.erase(0, std::min(p.find_first_not_of(' '), p.size()));
    std::transform(p.begin(), p.end(), p.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return p == "DEMO";
}

} // namespace

void frmMain::PlayerRaceFinished(std::int16_t Index, std::span<const std::uint8_t> Result) {
    ServerViews* views = server(Index);
    // The client checks the Size byte, not the datagram's length: never read
    // past what actually arrived.
    if (views == nullptr || Result.size() <= static_cast<std::size_t>(kResResultNum) ||
        views->ucInSim.wire().lengthOf(Result[kResSizeByte]) <= kResMinSize) {
        return;
    }
    // A demo server has no user names; the client lists nicknames instead,
    // so the finishing order must use them too to find people again.
    const bool demo = isDemo(views->ucInSim.Product());
    const std::string name = insim::BytesToString(Result, demo ? kResPName : kResUName, kNameWidth);
    AddStatus(name + " has finished the race");

    if (Result[kResSpB] != 0) {
        return;
    }
    if (views->ucInSim.RaceMode() == kRaceModeQualifying) {
        return;
    }
    const int resultNum = Result[kResResultNum];
    if (resultNum > kLastTwoDigitResult) {
        return;
    }
    std::string item = insim::ZeroPad(resultNum + 1, 2) + " " + name;
    ServerSet& set = *findSet(Index);
    const std::uint32_t raceTime = insim::GetDWord(Result, kResTTime);
    const auto& items = views->lstFinish.items();
    const bool carried = set.carriedOver.count(name) != 0;
    // The same place for the same driver again, in this race, is one result
    // that arrived twice (UDP may duplicate a datagram), not a second finisher.
    const bool listed =
        std::any_of(items.begin(), items.end(), [&](const platform::ListItem& i) { return i.text == item; });
    if (listed && !carried && (resultNum != 0 || set.winnerTime == raceTime)) {
        return;
    }
    if (resultNum == 0) {
        if (set.raceStarted) {
            // This race's results that overtook its winner's stay; what is
            // left of the last race goes.
            for (int k = views->lstFinish.count() - 1; k >= 0; --k) {
                if (set.carriedOver.count(finisherName(views->lstFinish, k)) != 0) {
                    views->lstFinish.removeItem(k);
                }
            }
        } else {
            // No race start seen (its IS_RST lost, or the program started
            // mid-session): the winner's result opens a new race's order.
            views->lstFinish.clear();
        }
        set.carriedOver.clear();
        set.raceStarted = false;
        set.winnerTime = raceTime;
    } else if (carried) {
        // A driver's place in this race replaces the one from the last.
        set.carriedOver.erase(name);
        for (int k = views->lstFinish.count() - 1; k >= 0; --k) {
            if (finisherName(views->lstFinish, k) == name) {
                views->lstFinish.removeItem(k);
            }
        }
    }
    // Sorted by text, which for two-digit positions is finishing order.
    const auto at = std::upper_bound(
        items.begin(), items.end(), item,
        [](const std::string& text, const platform::ListItem& existing) { return text < existing.text; });
    views->lstFinish.addItem(std::move(item), static_cast<int>(at - items.begin()));
}

void frmMain::NewConnection(std::int16_t Index, const std::string& Username, std::uint8_t UserId,
                            const std::string& /*PlayerName*/) {
    ServerViews* views = server(Index);
    if (views == nullptr || Username.empty()) {
        return;
    }
    // Announced again (after a reconnection, say): the old entry goes, the
    // user moves to the end with the new connection ID.
    const std::int16_t old = findName(views->lstConnections, Username);
    if (old >= 0) {
        views->lstConnections.removeItem(old);
    }
    const int item = views->lstConnections.addItem(Username);
    views->lstConnections.setItemData(item, UserId);
}

void frmMain::LinkUp(std::int16_t Index) {
    ServerSet* set = findSet(Index);
    if (set == nullptr) {
        return;
    }
    // The host re-sends every connection in reply to TINY_NCN; whoever left
    // while the link was down is simply not among them. Connection IDs of
    // the old link mean nothing now, nor do the screens drawn for them.
    set->views->lstConnections.clear();
    set->buttonNames.clear();
    forgetPickIfGone(*set);
    // A grid sent on the old link names its players, whom a restarted host
    // numbers afresh; and its start, if it came, was never heard.
    set->gridAwaited.reset();
    set->voteAnsweredAt.reset();
    settleLastGrid(Index, *set, GridOutcome::Unconfirmed,
                   "grid not confirmed: the link was made again before the race started");
}

void frmMain::RaceStart(std::int16_t Index) {
    ServerSet* set = findSet(Index);
    if (set == nullptr) {
        return;
    }
    // Until this race's results arrive, the last race's places stand; each
    // result of the new race replaces its driver's, and its winner's result
    // clears whatever is left.
    // The host says its grid (IS_REO) just before the start; a start without
    // it (a host that sends none to this generation, a datagram lost) leaves
    // the grid unchecked, and it must not wait for the next race's.
    if (set->gridAwaited) {
        set->gridAwaited.reset();
        settleLastGrid(Index, *set, GridOutcome::Unconfirmed,
                       "grid not confirmed: the host started without saying its grid");
    }
    set->voteAnsweredAt.reset();
    set->raceStarted = true;
    set->carriedOver.clear();
    for (int k = 0; k < set->views->lstFinish.count(); ++k) {
        set->carriedOver.insert(finisherName(set->views->lstFinish, k));
    }
}

void frmMain::EndConnection(std::int16_t Index, const std::string& Username) {
    ServerSet* set = findSet(Index);
    if (set == nullptr) {
        return;
    }
    ServerViews* views = set->views.get();
    // An empty name comes from a connection the client never knew; it must
    // not take connection 0 (the host) off the list.
    const std::int16_t item = findName(views->lstConnections, Username);
    if (item < 0) {
        return;
    }
    // Two connections can share a name on a demo host (nicknames): the list
    // holds the later one, and the other one leaving must not take it away;
    // when the listed one leaves, the other one is still there.
    const int leaving = views->ucInSim.SenderUCID();
    if (leaving >= 0 && views->lstConnections.itemData(item) != leaving) {
        return;
    }
    views->lstConnections.removeItem(item);
    if (const int other = leaving >= 0 ? views->ucInSim.OtherConnectionId(Username, leaving) : -1; other >= 0) {
        const int again = views->lstConnections.addItem(Username);
        views->lstConnections.setItemData(again, other);
    }
    forgetPickIfGone(*set);
}

void frmMain::RaceOrder(std::int16_t Index, std::span<const std::uint8_t> Data) {
    if (server(Index) == nullptr) {
        return;
    }
    // The packet's size is not checked on arrival: NumP may promise more
    // slots than arrived.
    // Nor past the generation's slots: no host has more drivers than that.
    const int numP = std::min<int>(Data.size() > static_cast<std::size_t>(kReoNumP) ? Data[kReoNumP] : 0,
                                   server(Index)->ucInSim.wire().startOrderSlots);
    const std::size_t plids = std::min<std::size_t>(static_cast<std::size_t>(numP),
                                                    Data.size() > kReoFirstPlid ? Data.size() - kReoFirstPlid : 0);
    CheckGrid(Index, Data.subspan(std::min<std::size_t>(kReoFirstPlid, Data.size()), plids));
    AddStatus("SERVER RACE ORDER");
    for (int k = 1; k <= numP; ++k) {
        const std::size_t at = static_cast<std::size_t>(k - 1 + kReoFirstPlid);
        if (at >= Data.size()) {
            break;
        }
        AddStatus(std::to_string(k) + "=" + std::to_string(Data[at]));
    }
    SendStartOrder(Index, true);
}

} // namespace pm::app
