// Drawing the custom-order screen for one administrator's connection.
//
// Bounds: one drawing has 47 entry slots over both columns (player IDs 10..56,
// order IDs 100..146), and a column has at most 39 rows, the last ending at
// T 199 inside the 200-unit button area. Entries past either bound are not
// drawn; the start order itself stays whole, and a start order is sent with
// at most 32 drivers anyway.

#include "app/CustomOrderScreen.h"

#include "app/ListLookup.h"
#include "app/frmMain.h"
#include "insim/modInSim.h"

namespace pm::app {

using namespace screen;

void frmMain::ShowCustomOrderScreen(int conn, const std::string& /*Username*/, std::int16_t Index) {
    ServerSet* set = findSet(Index);
    if (set == nullptr) {
        return;
    }
    ServerViews& views = *set->views;
    insim::ucInSim& client = views.ucInSim;
    // Slots not written by this drawing must not keep names from an earlier,
    // longer one: a stale button would then act on the wrong driver.
    SlotNames& names = set->buttonNames[conn];
    names.fill(std::string());

    client.ISS_BTN("Click on the Players to move them", StyleText, conn, 25, 15, 45, 8, kTitleId);
    client.ISS_BTN("Players on Server", StyleText, conn, kPlayersLeft, 35, 45, 8, kPlayersHeadingId);
    client.ISS_BTN("Starting Grid", StyleText, conn, kGridLeft, 35, 45, 8, kGridHeadingId);

    int slot = 0;
    int row = 0;
    for (const auto& item : views.lstConnections.items()) {
        if (slot >= kSlots || row >= kRowsPerColumn) {
            break;
        }
        if (item.text.empty() || findName(views.lstOrder, item.text) >= 0) {
            continue; // already on the grid, shown in the right column
        }
        client.ISS_BTN(client.GetPlayerName(item.text) + " (" + item.text + ")", StyleEntry, conn,
                       kPlayersLeft, rowTop(row), kEntryWidth, kRowHeight, kPlayerBase + slot);
        names[static_cast<std::size_t>(slot)] = item.text;
        ++row;
        ++slot;
    }

    row = 0;
    const auto& order = views.lstOrder.items();
    for (std::size_t p = 0; p < order.size(); ++p) {
        if (slot >= kSlots || row >= kRowsPerColumn) {
            break;
        }
        const std::string& name = order[p].text;
        if (name.empty()) {
            continue; // no button, but it keeps its place in the numbering
        }
        const std::string text = insim::ZeroPad(static_cast<std::int32_t>(p + 1), 2) + " - " +
                                 client.GetPlayerName(name) + " (" + name + ")";
        client.ISS_BTN(text, StyleEntry, conn, kGridLeft, rowTop(row), kEntryWidth, kRowHeight,
                       kOrderBase + slot);
        names[static_cast<std::size_t>(slot)] = name;
        ++row;
        ++slot;
    }

    client.ISS_BTN("Close", StyleClose, conn, 100, 15, 15, 8, kCloseId);
}

void frmMain::ClearButtons(int conn, std::int16_t Index) {
    ServerViews* views = server(Index);
    if (views == nullptr) {
        return;
    }
    views->ucInSim.ISS_BFN(conn);
}

} // namespace pm::app
