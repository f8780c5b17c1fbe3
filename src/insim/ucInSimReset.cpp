// Returning one client to a fresh start without making it again: a fuzz run
// feeds millions of inputs to one client, and making a client (and its
// sockets) for each would cost more than the input itself.

#include "insim/modInSim.h"
#include "insim/ucInSim.h"

namespace pm::insim {

void ucInSim::resetForFuzzing() {
    // The owner is being reset alongside; it hears nothing of this.
    ucInSimEvents* const owner = owner_;
    owner_ = nullptr;

    // The sockets of the link stand for those the next Connect would make
    // only when they are still open and made for the settings as they are.
    const auto listenPort = ParsePort(txtPortListen.text(), true);
    const auto serverPort = ParsePort(txtPort.text());
    const platform::WinSock& sockets = platform_.sockets;
    const bool reuse =
        !tcp_ && TrimBlanks(txtTransport.text()) != kTcp && txtHost.text() == host_ &&
        listenPort == listenPort_ && serverPort == serverPort_ && lngClientSocket_ != 0 &&
        sockets.isOpen(static_cast<platform::SOCKET>(lngClientSocket_)) &&
        (listenPort_ == 0 || (lngListenSocket_ != 0 && lngListenSocket_ != lngClientSocket_ &&
                              sockets.isOpen(static_cast<platform::SOCKET>(lngListenSocket_))));
    if (!reuse) {
        bAutoReconnect_ = false;
        Disconnect();
    }

    // Nothing left of what hosts said or what earlier links and tries found.
    for (std::size_t i = 0; i < kTables; ++i) {
        Conns_.clear(i);
        Players_.clear(i);
    }
    version_.clear();
    product_.clear();
    inSimVer_.clear();
    serverName_.clear();
    raceInfo_ = {};
    intLastState_ = -1;
    linkedBefore_ = false;
    lastFailure_ = LinkFailure::None;
    recoveredFrom_ = LinkFailure::None;
    everSettled_ = false;
    lastDownReason_.clear();
    lastSocketError_.clear();
    noticedStranger_.clear();
    reportedGeneration_ = 0;
    upgradeUnanswered_ = nullptr;
    downReason_.clear();
    datagramsOut_.clear();
    gathering_ = 0;
    txtLinkError.setText({});

    if (reuse) {
        // Where Connect leaves a datagram link: handshake from its first tick.
        timRetry.setEnabled(false);
        chooseGeneration();
        handshakeSent_ = false;
        bConnected_ = false;
        linkAnnounced_ = false;
        cmdConnect.setCaption("Connect");
        cmdConnect.setEnabled(false);
        bytTicks_ = 0;
        myTimer.setInterval(kTick);
        myTimer.setEnabled(false);
        myTimer.setEnabled(true);
        bAutoReconnect_ = true;
    } else {
        Connect();
    }
    owner_ = owner;
}

} // namespace pm::insim
