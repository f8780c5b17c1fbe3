// Arranging the next grid by hand, from the window or the web page. It is
// the in-game screen's list (lstOrder) that changes, and the server goes to
// Custom as it does when an admin arranges the grid in the game, so every
// view of the order shows the same one.

#include <algorithm>

#include "app/ListLookup.h"
#include "app/frmMain.h"

namespace pm::app {

namespace {

constexpr long kUserNameLetters = 23;

// Reloads the order only where it differs: each change is one write to the
// state file and one redraw.
void setOrder(platform::ListBox& order, const std::vector<std::string>& users) {
    if (order.texts() == users) {
        return;
    }
    order.clear();
    for (const std::string& user : users) {
        order.addItem(user);
    }
}

} // namespace

std::string frmMain::ArrangeGrid(std::int16_t index, const std::vector<std::string>& users) {
    ServerViews* views = server(index);
    if (views == nullptr || index == kTemplateIndex) {
        return "no server has index " + std::to_string(index);
    }
    if (users.size() > static_cast<std::size_t>(insim::ucInSim::kTables)) {
        return "a grid holds at most " + std::to_string(insim::ucInSim::kTables) + " drivers";
    }
    for (std::size_t i = 0; i < users.size(); ++i) {
        if (users[i].empty()) {
            return "place " + std::to_string(i + 1) + " has no user name";
        }
        // A user name is at most 23 letters, and has no control characters:
        // anything else could never match a driver, and would come back
        // from the state file changed.
        const std::string& name = users[i];
        const auto letters = std::count_if(name.begin(), name.end(),
                                           [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; });
        const bool control = std::any_of(name.begin(), name.end(), [](char c) {
            const auto u = static_cast<unsigned char>(c);
            return u < 0x20 || u == 0x7F;
        });
        if (letters > kUserNameLetters || control) {
            return "place " + std::to_string(i + 1) + " is no user name (at most " +
                   std::to_string(kUserNameLetters) + " letters, no control characters)";
        }
        if (std::find(users.begin(), users.begin() + static_cast<std::ptrdiff_t>(i), users[i]) !=
            users.begin() + static_cast<std::ptrdiff_t>(i)) {
            return "'" + users[i] + "' is on the grid twice; a driver starts once";
        }
    }
    setOrder(views->lstOrder, users);
    views->chkCustom.setValue(1);
    return {};
}

namespace {

std::vector<std::string> usersOf(const NextGrid& grid) {
    std::vector<std::string> out;
    out.reserve(grid.places.size());
    for (const GridPlace& place : grid.places) {
        out.push_back(place.user);
    }
    return out;
}

} // namespace

std::string frmMain::MoveInGrid(std::int16_t index, int from, int to) {
    std::vector<std::string> users = usersOf(PlanGrid(index));
    const int n = static_cast<int>(users.size());
    if (from < 0 || from >= n || to < 0 || to >= n) {
        return "no such place on the grid";
    }
    std::string user = std::move(users[static_cast<std::size_t>(from)]);
    users.erase(users.begin() + from);
    users.insert(users.begin() + to, std::move(user));
    return ArrangeGrid(index, users);
}

std::string frmMain::RemoveFromGrid(std::int16_t index, int place) {
    std::vector<std::string> users = usersOf(PlanGrid(index));
    if (place < 0 || place >= static_cast<int>(users.size())) {
        return "no such place on the grid";
    }
    users.erase(users.begin() + place);
    return ArrangeGrid(index, users);
}

std::string frmMain::AddToGrid(std::int16_t index, const std::string& user, int place) {
    std::vector<std::string> users = usersOf(PlanGrid(index));
    if (std::find(users.begin(), users.end(), user) != users.end()) {
        return "'" + user + "' is on the grid already";
    }
    const int n = static_cast<int>(users.size());
    users.insert(users.begin() + (place < 0 || place > n ? n : place), user);
    return ArrangeGrid(index, users);
}

} // namespace pm::app
