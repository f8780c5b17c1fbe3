#pragma once
// The views that belong to one server: its InSim client and the lists, check
// boxes and count box that the rules read and write. The window mirrors these
// models; the logic and the tests use them directly.

#include "insim/ucInSim.h"
#include "platform/Controls.h"
#include "platform/Platform.h"

namespace pm::app {

struct ServerViews {
    ServerViews(platform::Platform& platform, insim::ucInSimEvents* events) : ucInSim(platform, events) {}
    ServerViews(const ServerViews&) = delete;
    ServerViews& operator=(const ServerViews&) = delete;

    insim::ucInSim ucInSim;
    // Item text = user name, item data = connection ID.
    platform::ListBox lstConnections;
    // Item text = two-digit finishing position, a blank, the name; kept in
    // text order, so item 0 is the winner.
    platform::ListBox lstFinish;
    // The next race's start order; item text = user name.
    platform::ListBox lstOrder;
    platform::CheckBox chkLastRace;
    platform::CheckBox chkCustom;
    platform::CheckBox chkReverse;
    platform::TextBox txtReverse{"10"};
    // How the host took the last grid sent for a vote ("grid confirmed, 12
    // drivers"); empty until a host has said.
    platform::TextBox txtGridCheck;
    // The player number of the connection the operator last picked ("ann:
    // player 5"); empty once that user is no longer listed.
    platform::TextBox txtPlayerNum;
};

} // namespace pm::app
