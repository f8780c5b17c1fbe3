// Administrators steer their server's rules from the game's chat. Commands
// answer nothing in the chat; their effect shows in the window's boxes.

#include "app/AdminCommands.h"

#include "app/ListLookup.h"
#include "app/Numbers.h"
#include "app/frmMain.h"
#include "insim/Packets.h"

namespace pm::app {

AdminCommand ParseAdminCommand(std::string_view request) {
    AdminCommand out;
    const std::size_t firstBlank = request.find(' ');
    out.command = std::string(request.substr(0, firstBlank));
    if (firstBlank == std::string_view::npos) {
        out.argument = "0";
    } else {
        const std::string_view rest = request.substr(firstBlank + 1);
        out.argument = std::string(rest.substr(0, rest.find(' ')));
    }
    auto value = parseNumber(out.argument);
    if (!value) {
        // A word where a number belongs ("*reverse all") means "on", and as
        // a count the usual ten.
        out.argument = "10";
        value = 10.0;
    }
    out.positive = *value > 0;
    return out;
}

void frmMain::AdminRequest(std::int16_t Index, const std::string& Username, const std::string& Request) {
    ServerViews* views = server(Index);
    if (views == nullptr) {
        return;
    }
    const AdminCommand cmd = ParseAdminCommand(Request);
    if (cmd.command == "*reverse") {
        views->txtReverse.setText(cmd.argument);
        views->chkReverse.setValue(cmd.positive ? 1 : 0);
    } else if (cmd.command == "*lastrace") {
        views->chkLastRace.setValue(cmd.positive ? 1 : 0);
    } else if (cmd.command == "*custom") {
        if (!cmd.positive) {
            views->chkCustom.setValue(0);
            return;
        }
        views->chkCustom.setValue(1);
        // Without a name the connection is unknown; connection 0 would be
        // the host, not the admin who typed the command.
        if (Username.empty()) {
            return;
        }
        const int conn = senderConnection(views->ucInSim, Username);
        // Clear first: a screen drawn earlier with more entries would
        // otherwise keep its extra buttons, now meaning nothing.
        ClearButtons(conn, Index);
        ShowCustomOrderScreen(conn, Username, Index);
    } else if (cmd.command == "*reorder") {
        VoteAction(Index, insim::VOTE_RESTART);
    }
    // Any other word is somebody else's command; it is ignored.
}

} // namespace pm::app
