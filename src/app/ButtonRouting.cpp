// Clicks on the custom-order screen: add, remove or move an entry of the
// start order, then draw the screen again for the clicker only.
//
// A click on an entry whose name has left the start order since the screen
// was drawn (another admin removed it, a vote rebuilt the order) changes
// nothing and only redraws, so the clicker sees the current order. IDs 57 and
// 147 lie past the 47 slots and are never drawn; clicks on them do nothing.

#include "app/CustomOrderScreen.h"
#include "app/ListLookup.h"
#include "app/frmMain.h"

namespace pm::app {

using namespace screen;

namespace {

constexpr std::int16_t kShiftLeft = 1;  // move towards the front
constexpr std::int16_t kShiftRight = 2; // move towards the back

bool isPlayerEntry(int id) {
    return id >= kPlayerBase && id < kPlayerBase + kSlots;
}
bool isOrderEntry(int id) {
    return id >= kOrderBase && id < kOrderBase + kSlots;
}

} // namespace

void frmMain::ButtonClick(std::int16_t Index, std::int16_t btnId, const std::string& Username) {
    ServerViews* views = server(Index);
    // A click from a connection the client does not know has no name; its
    // connection ID would come out as 0, the host.
    if (views == nullptr || Username.empty()) {
        return;
    }
    const int conn = senderConnection(views->ucInSim, Username);
    if (btnId == kCloseId) {
        ClearButtons(conn, Index);
        return;
    }
    if (isPlayerEntry(btnId)) {
        ClearButtons(conn, Index);
        const std::string name = ButtonName(Index, conn, btnId - kPlayerBase);
        if (!name.empty()) {
            views->lstOrder.addItem(name);
        }
        ShowCustomOrderScreen(conn, Username, Index);
        return;
    }
    if (isOrderEntry(btnId)) {
        ClearButtons(conn, Index);
        const std::string name = ButtonName(Index, conn, btnId - kOrderBase);
        views->lstOrder.removeItem(findName(views->lstOrder, name));
        ShowCustomOrderScreen(conn, Username, Index);
    }
}

void frmMain::ButtonShiftClick(std::int16_t Index, std::int16_t btnId, const std::string& Username,
                               std::int16_t Button) {
    ServerViews* views = server(Index);
    if (views == nullptr || Username.empty()) {
        return;
    }
    const int conn = senderConnection(views->ucInSim, Username);
    if (btnId == kCloseId) {
        ClearButtons(conn, Index);
        return;
    }
    if (!isOrderEntry(btnId)) {
        return; // players not on the grid have no place to move from
    }
    ClearButtons(conn, Index);
    const std::string name = ButtonName(Index, conn, btnId - kOrderBase);
    platform::ListBox& order = views->lstOrder;
    const int p = findName(order, name);
    if (p >= 0 && (Button == kShiftLeft || Button == kShiftRight)) {
        order.removeItem(p);
        if (Button == kShiftLeft) {
            order.addItem(name, p == 0 ? 0 : p - 1);
        } else {
            const int n = order.count();
            order.addItem(name, p + 1 > n - 1 ? n : p + 1);
        }
    }
    ShowCustomOrderScreen(conn, Username, Index);
}

} // namespace pm::app
