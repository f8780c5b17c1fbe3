// Whether the host started the race with the grid sent for the vote. On an
// internet path one lost IS_REO is a wrong grid that nothing else notices;
// the host's own IS_REO at the start of the race says which grid it used.

#include <algorithm>

#include "app/frmMain.h"

namespace pm::app {

void frmMain::settleLastGrid(std::int16_t index, ServerSet& set, GridOutcome outcome, std::string text) {
    if (!set.lastGrid || set.lastGrid->outcome != GridOutcome::Awaited) {
        return;
    }
    set.lastGrid->outcome = outcome;
    set.lastGrid->outcomeText = std::move(text);
    // Confirmed and differing grids have a status line of their own; a grid
    // nobody could check would otherwise leave its "grid sent" unanswered.
    if (outcome == GridOutcome::Unconfirmed) {
        summarise(index, set.lastGrid->outcomeText);
    }
}

void frmMain::CheckGrid(std::int16_t Index, std::span<const std::uint8_t> hostPlids) {
    ServerSet* set = findSet(Index);
    if (set == nullptr || !set->gridAwaited) {
        return; // no grid of ours is waiting: a race the host started alone
    }
    const auto awaited = std::move(*set->gridAwaited);
    set->gridAwaited.reset();
    ServerViews& views = *set->views;
    const insim::ucInSim& client = views.ucInSim;
    const auto nameOf = [&client](std::uint8_t plid) {
        const std::string name = client.GetConnFromPLID(std::to_string(plid));
        return name.empty() ? "player " + std::to_string(plid) : name;
    };

    // A driver who left the race between the vote and the start is not on
    // the host's grid and is no difference; one who joined since comes
    // after everyone we placed.
    std::vector<const std::pair<std::uint8_t, std::string>*> stayed;
    for (const auto& place : awaited) {
        const bool stillPlays = !client.GetConnFromPLID(std::to_string(place.first)).empty();
        const bool onHostGrid = std::find(hostPlids.begin(), hostPlids.end(), place.first) != hostPlids.end();
        if (stillPlays || onHostGrid) {
            stayed.push_back(&place);
        }
    }
    if (stayed.empty()) {
        // Nobody of ours is left to start: nothing was confirmed.
        settleLastGrid(Index, *set, GridOutcome::Unconfirmed, "grid not confirmed: none of its drivers is left to start");
        return;
    }
    std::string outcome;
    for (std::size_t k = 0; k < stayed.size() && outcome.empty(); ++k) {
        const std::string place = "grid differs at place " + std::to_string(k + 1) + ": ";
        if (k >= hostPlids.size()) {
            outcome = place + "the host starts nobody there, not " + stayed[k]->second;
        } else if (hostPlids[k] != stayed[k]->first) {
            outcome = place + "the host starts " + nameOf(hostPlids[k]) + " there, not " + stayed[k]->second;
        }
    }
    if (outcome.empty()) {
        outcome = "grid confirmed, " + std::to_string(stayed.size()) + (stayed.size() == 1 ? " driver" : " drivers");
    }
    const bool confirmed = outcome.rfind("grid confirmed", 0) == 0;
    settleLastGrid(Index, *set, confirmed ? GridOutcome::Confirmed : GridOutcome::Differed, outcome);
    ++(confirmed ? set->counters.gridsConfirmed : set->counters.gridsDiffered);
    views.txtGridCheck.setText(outcome);
    AddStatus(serverName(Index) + ": " + outcome);
}

} // namespace pm::app
