#include "insim/ucInSim.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "insim/Generation.h"
#include "insim/Packets.h"
#include "insim/modByteHelper.h"
#include "insim/modInSim.h"
#include "net/SocketHelpers.h"

namespace pm::insim {

namespace {

constexpr int kProtocolUdp = 17;
constexpr int kProtocolTcp = 6;
constexpr const char* kIName = "Brenhollow ISC";

} // namespace

// A port text as the operator typed it: blanks around it are forgiven,
// anything else that is not a port number is refused.
std::optional<std::int32_t> ucInSim::ParsePort(const std::string& text, bool zeroAllowed) {
    const std::string t = TrimBlanks(text);
    std::int32_t value = 0;
    const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), value);
    if (t.empty() || ec != std::errc() || end != t.data() + t.size() || value < (zeroAllowed ? 0 : 1) ||
        value > 65535) {
        return std::nullopt;
    }
    return value;
}

std::string_view linkStateName(LinkState state) {
    switch (state) {
    case LinkState::Idle: return "idle";
    case LinkState::Handshake: return "handshake";
    case LinkState::Connected: return "connected";
    case LinkState::RetryPending: return "retry pending";
    }
    return "unknown";
}

ucInSim::ucInSim(platform::Platform& platform, ucInSimEvents* owner)
    : myTimer(platform.loop), timRetry(platform.loop, kRetryDelay), platform_(platform), owner_(owner),
      window_(platform.windows), InSimSocket_(platform, this) {
    myTimer.onTick = [this] { myTimer_Timer(); };
    timRetry.onTick = [this] { timRetry_Timer(); };
    intLastState_ = -1;
    bAutoReconnect_ = false;
}

ucInSim::~ucInSim() {
    owner_ = nullptr;
    *alive_ = false;
    Disconnect();
    myTimer.onTick = nullptr;
    timRetry.onTick = nullptr;
}

LinkState ucInSim::state() const {
    if (bConnected_) {
        return LinkState::Connected;
    }
    if (myTimer.enabled()) {
        return LinkState::Handshake;
    }
    if (timRetry.enabled()) {
        return LinkState::RetryPending;
    }
    return LinkState::Idle;
}

void ucInSim::WriteStatus(std::string_view text) {
    if (!platform_.trace.on()) {
        return;
    }
    if (traceLabel_.empty()) {
        platform_.trace.WriteStatus(text);
    } else {
        platform_.trace.WriteStatus("[" + traceLabel_ + "] " + std::string(text));
    }
}

// ---------------------------------------------------------------- lifecycle

void ucInSim::Connect() {
    // A pending retry would otherwise start a second Connect on top of this one.
    timRetry.setEnabled(false);
    if (!connectable_) {
        WriteStatus("Connect refused: this panel is no server");
        return;
    }
    chooseGeneration();
    handshakeSent_ = false;

    platform::cWndHook& hook = platform_.hook();
    if (InSimSocket_.Initilize(window_.handle, hook)) {
        WriteStatus("inSimSocket initialized!");
    } else {
        WriteStatus("Unable to initialize InSimSocket");
    }

    // The transport is read here, like every setting: a change applies to
    // the next Connect.
    tcp_ = TrimBlanks(txtTransport.text()) == kTcp;
    // Over TCP the listen port is not used at all; over UDP, 0 means one
    // socket for both ways, whose replies a router lets back in.
    const auto listenPort = tcp_ ? std::optional<std::int32_t>(0) : ParsePort(txtPortListen.text(), true);
    const auto serverPort = ParsePort(txtPort.text());
    if (!listenPort || !serverPort) {
        // Nothing sensible can be sent with such a port: stay idle, and say
        // why where the operator looks, not only in the trace.
        status([&] {
            return std::string(!listenPort ? "Listen Port is not a port number: '" + txtPortListen.text()
                                           : "Host Port is not a port number: '" + txtPort.text()) +
                   "'";
        });
        const std::string why = !listenPort ? "listen port '" + txtPortListen.text() + "' is not a port number (0"
                                            : "InSim port '" + txtPort.text() + "' is not a port number (1";
        txtLinkError.setText("the " + why + " to 65535)");
        notice(txtLinkError.text() + "; not connecting");
        cmdConnect.setEnabled(true);
        return;
    }

    host_ = txtHost.text();
    cmdConnect.setEnabled(false);

    initRecord_.Size = 44;
    initRecord_.Type = ISP_ISI;
    initRecord_.ReqI = 1;
    initRecord_.Zero = 0;
    initRecord_.Admin = txtPass.text();
    initRecord_.IName = kIName;
    // 0: the host answers on the stream, or to the port a datagram came from.
    initRecord_.UDPPort = *listenPort;
    initRecord_.Prefix = "*";
    initRecord_.Interval = 0;

    listenPort_ = *listenPort;
    serverPort_ = *serverPort;

    // A port still held by an exiting instance, or a host name that does not
    // resolve during a network outage, are passing troubles: both are retried
    // like an unanswered handshake, or the client would sit idle for good.
    lastSocketError_.clear();
    if (!tcp_ && listenPort_ != 0) {
        lngListenSocket_ = InSimSocket_.Listen(kProtocolUdp, listenPort_, "0");
        if (lngListenSocket_ == 0) {
            WriteStatus("could not create server socket!");
            InSimSocket_.CloseSocket(lngListenSocket_);
            linkFailed(LinkFailure::ListenPort,
                       "cannot listen on UDP port " + std::to_string(listenPort_) +
                           " (in use by another program?)");
            return;
        }
    }

    std::string resolved = host_;
    if (platform::WinSock::inet_addr(resolved) == platform::INADDR_NONE_W) {
        // A name: looked up off the loop, so that a name server that does
        // not answer holds up only this server, and only its own retries.
        const auto found = hostLookup_.lookup(host_, kLookupWait);
        if (found.state == platform::HostLookup::State::Pending) {
            status([&] { return "still looking up host '" + host_ + "'"; });
            InSimSocket_.CloseSocket(lngListenSocket_);
            bAutoReconnect_ = true;
            Disconnect();
            return;
        }
        resolved = found.addresses.empty() ? std::string() : net::AddrToString(found.addresses.front());
    }
    serverAddress_ = platform::WinSock::inet_addr(resolved);
    if (resolved.empty() || serverAddress_ == platform::INADDR_NONE_W) {
        WriteStatus("could not create client socket!");
        InSimSocket_.CloseSocket(lngListenSocket_);
        linkFailed(LinkFailure::HostName, "cannot find host '" + host_ + "'");
        return;
    }
    if (tcp_) {
        if (openStream()) {
            bytTicks_ = 0;
            myTimer.setInterval(kTick);
            myTimer.setEnabled(true);
            bAutoReconnect_ = true;
            return;
        }
    } else {
        // The socket object is given the address already looked up, so a
        // host name costs one lookup per Connect, not two.
        lngClientSocket_ = InSimSocket_.Connect(kProtocolUdp, serverPort_, resolved);
        if (lngClientSocket_ != 0) {
            if (listenPort_ == 0) {
                lngListenSocket_ = lngClientSocket_; // one socket both ways
            }
            status([&] { return "Socket(" + std::to_string(lngClientSocket_) + ") Connected"; });
            bytTicks_ = 0;
            myTimer.setInterval(kTick);
            myTimer.setEnabled(true);
            bAutoReconnect_ = true;
            return;
        }
    }
    WriteStatus("could not create client socket!");
    InSimSocket_.CloseSocket(lngListenSocket_);
    InSimSocket_.CloseSocket(lngClientSocket_);
    linkFailed(LinkFailure::ClientSocket,
               "cannot open a socket to " + host_ + ":" + std::to_string(serverPort_) +
                   (lastSocketError_.empty() ? std::string() : " (" + lastSocketError_ + ")"));
}

void ucInSim::chooseGeneration() {
    const std::string setting = TrimBlanks(txtInSimVer.text());
    autoGeneration_ = setting == kAutoGeneration;
    negotiated_ = false;
    upgrading_ = false; // a move that a dropped link left unfinished starts over
    mismatchReported_ = false;
    versionAskTicks_ = 0;
    const WireGeneration* chosen = nullptr;
    if (!autoGeneration_) {
        int version = 0;
        const auto [end, ec] = std::from_chars(setting.data(), setting.data() + setting.size(), version);
        if (ec == std::errc() && end == setting.data() + setting.size()) {
            chosen = wireForVersion(version);
        }
    }
    // auto begins where every host understands it, and moves up once the
    // host's IS_VER has named its release. A host that did not answer the
    // higher generation on the last try is left on InSim 4 for this one;
    // the try after it offers the higher one again.
    wire_ = chosen != nullptr ? chosen : &kWire4;
    if (autoGeneration_ && upgradeUnanswered_ != nullptr) {
        negotiated_ = true;
        upgradeUnanswered_ = nullptr;
    }
}

// The host's own words go into the status log: no control characters in
// them, so that a host cannot write lines of its own there.
std::string ucInSim::printableVersion() const {
    std::string out = version_;
    for (char& c : out) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) {
            c = '?';
        }
    }
    return out;
}

void ucInSim::versionReceived(int hostInSimVer) {
    const std::string release = printableVersion();
    const auto say = [&](const WireGeneration& w) {
        // Once per change: a reconnection to the same host stays quiet.
        if (reportedGeneration_ != w.version) {
            reportedGeneration_ = w.version;
            notice("speaks InSim " + std::to_string(w.version) + " (LFS " + release + ")");
        }
    };
    if (!autoGeneration_) {
        // The operator's choice stands; only a host that answers in another
        // generation is worth a word, once per Connect. InSim 4 hosts
        // predate the question.
        if (wire_->version != kWire4.version && hostInSimVer != wire_->version && !mismatchReported_) {
            mismatchReported_ = true;
            notice("asked for InSim " + std::to_string(wire_->version) + ", the host answers InSim " +
                   std::to_string(hostInSimVer) + " (LFS " + release + "); set its InSim version to auto");
        }
        linkSettled();
        return;
    }
    if (upgrading_) {
        // The host's answer in the generation we moved to. One lower than
        // asked for, in the same framing, is what it speaks; any other
        // answer leaves the framing the link was opened in.
        upgrading_ = false;
        negotiated_ = true;
        if (const WireGeneration* answered = wireForVersion(hostInSimVer);
            answered != nullptr && answered->sizeUnit == wire_->sizeUnit && answered->version < wire_->version) {
            wire_ = answered;
        }
        say(*wire_);
        linkSettled();
        return;
    }
    if (negotiated_) {
        say(*wire_);
        linkSettled();
        return;
    }
    const auto generation = generationForRelease(TrimBlanks(version_));
    if (!generation) {
        negotiated_ = true;
        reportedGeneration_ = kWire4.version; // this line says it already
        notice("cannot read the host's version '" + release + "'; staying on InSim 4");
        linkSettled();
        return;
    }
    const WireGeneration* target = wireForVersion(*generation);
    if (target == nullptr || target->version <= wire_->version) {
        negotiated_ = true;
        say(*wire_);
        linkSettled();
        return;
    }
    // Close the InSim 4 link and open the higher one at once; the handshake
    // timer repeats the new IS_ISI until the host answers in its generation.
    status([&] { return "host " + release + ": moving to InSim " + std::to_string(target->version); });
    ISS_TINY(TINY_CLOSE);
    wire_ = target;
    upgrading_ = true;
    bConnected_ = false;
    cmdConnect.setCaption("Connect");
    bytTicks_ = 0;
    myTimer.setEnabled(true);
    if (tcp_) {
        // TINY_CLOSE ends a stream: the new generation speaks on a new one,
        // which introduces us when it opens.
        closeStream();
        if (!openStream()) {
            linkFailed(LinkFailure::ClientSocket, "cannot open a connection to " + host_ + ":" +
                                                      std::to_string(serverPort_) + " (" + lastSocketError_ + ")");
            return;
        }
        bytTicks_ = 1;
        return;
    }
    sendHandshake();
    bytTicks_ = 1; // the first try is this one
}

void ucInSim::linkSettled() {
    if (linkAnnounced_ || !bConnected_) {
        return;
    }
    linkAnnounced_ = true;
    if (recoveredFrom_ != LinkFailure::None) {
        recoveredFrom_ = LinkFailure::None;
        // "again" only for a host that had answered before the trouble.
        notice(linkedBefore_ && everSettled_ ? "the host answers again" : "the host answers");
    }
    everSettled_ = true;
    if (owner_ != nullptr) {
        owner_->LinkChanged(true, "InSim " + std::to_string(wire_->version) + (tcp_ ? " over TCP" : " over UDP") +
                                      ", LFS " + printableVersion());
    }
}

void ucInSim::linkFailed(LinkFailure kind, const std::string& text) {
    txtLinkError.setText(text);
    downReason_ = text;
    // The same trouble right after a link that never settled is no news.
    if (kind == recoveredFrom_) {
        lastFailure_ = kind;
        recoveredFrom_ = LinkFailure::None;
    }
    if (kind != lastFailure_) {
        lastFailure_ = kind;
        notice(text + "; retrying every " + std::to_string(kRetryDelay.count() / 1000) + " s");
    }
    bAutoReconnect_ = true;
    Disconnect(); // arms the retry
}

void ucInSim::Error(std::int32_t /*lngSocket*/, const std::string& strMsg) {
    lastSocketError_ = strMsg;
    status([&] { return "socket: " + strMsg; });
}

void ucInSim::notice(const std::string& text) {
    WriteStatus(text);
    if (owner_ != nullptr) {
        owner_->LinkNotice(text);
    }
}

void ucInSim::setConnectable(bool connectable) {
    connectable_ = connectable;
    if (!connectable_) {
        bAutoReconnect_ = false;
        Disconnect();
    }
    cmdConnect.setEnabled(connectable_);
}

void ucInSim::Disconnect() {
    bytTicks_ = 0;
    myTimer.setEnabled(false);
    if (bConnected_) {
        bConnected_ = false;
        ISS_TINY(TINY_CLOSE);
        WriteStatus("Socket Disconnected");
    }
    // The goodbye, and anything gathered before it, goes out first.
    const int gathering = gathering_;
    gathering_ = 0;
    flushDatagrams();
    gathering_ = gathering;
    closeStream();
    if (lngListenSocket_ != lngClientSocket_) {
        InSimSocket_.CloseSocket(lngListenSocket_);
    }
    InSimSocket_.CloseSocket(lngClientSocket_);
    cmdConnect.setCaption("Connect");
    cmdConnect.setEnabled(connectable_);
    if (bAutoReconnect_ && connectable_) {
        timRetry.setEnabled(true);
        retryDue_ = platform_.clock.monotonicNow() + kRetryDelay;
    }
    std::string reason = std::move(downReason_);
    downReason_.clear();
    if (!reason.empty()) {
        lastDownReason_ = reason;
    }
    if (linkAnnounced_) {
        linkAnnounced_ = false;
        if (owner_ != nullptr) {
            // Last: the handler may do anything, the client is in order.
            owner_->LinkChanged(false, reason.empty() ? "disconnected" : reason);
        }
    }
}

// The likely causes of silence, most likely first.
std::string ucInSim::noAnswerAdvice() const {
    std::string text = "no answer from " + host_ + ":" + std::to_string(serverPort_) + " in InSim " +
                       std::to_string(wire_->version) + (tcp_ ? " over TCP" : " over UDP") +
                       "; likely causes: InSim is not enabled there on that port, or this machine's address is "
                       "not allowed in the host's InSim settings; a wrong admin password (the host then answers "
                       "nothing)";
    if (!autoGeneration_ && wire_->version != kWire4.version) {
        text += "; a host whose LFS does not speak InSim " + std::to_string(wire_->version) + " (auto finds out)";
    }
    if (!tcp_ && listenPort_ != 0) {
        text += "; a router or firewall that drops the replies to listen port " + std::to_string(listenPort_) +
                " (use Transport=tcp, or Listen Port=0)";
    }
    return text;
}

void ucInSim::cmdConnect_Click() {
    if (!connectable_) {
        return;
    }
    // The operator's own action starts a new story: an old reason would
    // stand beside a link the operator has just ended or asked for afresh.
    txtLinkError.setText({});
    if (bConnected_) {
        bAutoReconnect_ = false;
        downReason_ = "disconnected by the operator";
        Disconnect();
        WriteStatus("already connected? Now disconecting");
    } else {
        // The operator's own try asks the host afresh, whatever an earlier
        // try learnt about the generations it answers.
        upgradeUnanswered_ = nullptr;
        Connect();
    }
}

void ucInSim::timRetry_Timer() {
    // Stopped before Connect, not after: a Connect that fails (its listen
    // port taken, say) arms the retry again, and that arm must stand.
    timRetry.setEnabled(false);
    Connect();
}

void ucInSim::myTimer_Timer() {
    if (!bConnected_) {
        if (bytTicks_ == kGiveUpAt) {
            WriteStatus("no response in 3 tries.. InSim running?");
            if (autoGeneration_ && upgrading_) {
                // It answered InSim 4 and then not the generation its release
                // should speak: the next try stays where it was heard.
                upgrading_ = false;
                upgradeUnanswered_ = wire_;
                reportedGeneration_ = kWire4.version; // this line says it already
                notice("did not answer InSim " + std::to_string(wire_->version) + "; staying on InSim 4");
            } else if (wire_->version != kWire4.version || autoGeneration_ || tcp_ || listenPort_ == 0) {
                // A host that never answers looks like no host at all; say
                // it once, and what may be wrong. (Servers on InSim 4 over
                // UDP with a listen port keep the log they always had.)
                txtLinkError.setText("no answer from " + host_ + ":" + std::to_string(serverPort_));
                if (recoveredFrom_ == LinkFailure::NoAnswer) {
                    lastFailure_ = LinkFailure::NoAnswer;
                    recoveredFrom_ = LinkFailure::None;
                }
                if (lastFailure_ != LinkFailure::NoAnswer) {
                    lastFailure_ = LinkFailure::NoAnswer;
                    notice(noAnswerAdvice());
                }
            }
            Disconnect();
            return;
        }
        // A stream not open yet sends its handshake when it opens.
        if (bytTicks_ % kTryEvery == 0 && (!tcp_ || streamOpen_)) {
            status([&] {
                return "connecting to " + host_ + ":" + std::to_string(serverPort_) + " (" +
                       std::to_string(bytTicks_ / kTryEvery + 1) + "/3 tries)";
            });
            sendHandshake();
        }
    } else {
        if (!handshakeSent_) {
            // The host spoke first (a link left over from an earlier run,
            // say): it still needs to hear who we are and be asked.
            sendHandshake();
        }
        if (autoGeneration_ && (!negotiated_ || upgrading_) && ++versionAskTicks_ % kAskVersionEvery == 0) {
            // Its version answer got lost: without it auto cannot settle.
            ISS_TINY(TINY_VER);
        }
        if (bytTicks_ % kAskStateEvery == 0) {
            ISS_TINY(TINY_SST);
        }
        if (bytTicks_ > kSilenceLimit) {
            WriteStatus("no response in 2 minutes.. InSim running?");
            if (tcp_) {
                // A stream the host keeps open but no longer answers on
                // looks up from here: without a line, its drop and retries
                // would go unexplained.
                linkFailed(LinkFailure::HostSilent, "no packet from " + host_ + ":" + std::to_string(serverPort_) +
                                                        " for 2 minutes; the connection is closed and opened again");
            } else {
                downReason_ = "no packet from " + host_ + ":" + std::to_string(serverPort_) + " for 2 minutes";
                Disconnect();
            }
        }
    }
    bytTicks_ = static_cast<std::uint8_t>(bytTicks_ + 1 >= 240 ? 1 : bytTicks_ + 1);
}

// ------------------------------------------------------------------ lookups

std::string ucInSim::GetPlayerName(const std::string& Username) const {
    std::string result;
    for (const auto& c : Conns_) {
        if (!c.UName.empty() && c.UName == Username) {
            result = c.PName;
        }
    }
    return result;
}

std::string ucInSim::GetPlayerNameColoured(const std::string& Username) const {
    std::string result;
    for (const auto& c : Conns_) {
        if (!c.UName.empty() && c.UName == Username) {
            result = c.PNameColoured;
        }
    }
    return result;
}

std::int16_t ucInSim::GetPlayerId(const std::string& Username) const {
    std::int16_t result = 0;
    for (int i = 0; i < kTables; ++i) {
        // An empty entry never matches: otherwise an empty name would find
        // the last unused slot.
        if (!Conns_[i].UName.empty() && Conns_[i].UName == Username) {
            result = static_cast<std::int16_t>(i);
        }
    }
    return result;
}

std::int16_t ucInSim::GetConnectionId(const std::string& Username) const { return GetPlayerId(Username); }

std::string ucInSim::GetConnFromPLID(const std::string& PLID) const {
    const std::string t = TrimBlanks(PLID);
    int wanted = 0;
    const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), wanted);
    if (t.empty() || ec != std::errc() || end != t.data() + t.size()) {
        return {}; // not a number: no player has it
    }
    std::string result;
    for (const auto& p : Players_) {
        if (p.PLID != 0 && p.PLID == wanted && p.UCID < kTables) {
            result = Conns_[p.UCID].UName;
        }
    }
    return result;
}

std::int16_t ucInSim::GetPlayerNum(const std::string& Username) const {
    std::int16_t result = 0;
    if (Username.empty()) {
        return 0;
    }
    for (int i = 0; i < kTables; ++i) {
        const PlayerInfo& p = Players_[i];
        if (p.PLID == 0) {
            continue; // an empty entry belongs to nobody
        }
        if (p.UCID < kTables && Conns_[p.UCID].UName == Username) {
            result = static_cast<std::int16_t>(i);
        }
    }
    return result;
}

int ucInSim::OtherConnectionId(const std::string& Username, int ucid) const {
    for (int i = 0; i < kTables; ++i) {
        if (i != ucid && !Conns_[i].UName.empty() && Conns_[i].UName == Username) {
            return i;
        }
    }
    return -1;
}

std::string ucInSim::GetPlayers() const {
    std::string out;
    for (const auto& c : Conns_) {
        if (!c.UName.empty()) {
            out += ",";
            out += c.UName;
        }
    }
    return out.empty() ? out : out.substr(1);
}

void ucInSim::ClearPlayer(int index) {
    if (index < 0 || index >= kTables) {
        return;
    }
    Players_.clear(static_cast<std::size_t>(index));
}

} // namespace pm::insim
