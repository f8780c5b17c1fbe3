// The receiving half of the InSim client: one datagram is one packet.

#include <algorithm>
#include <cctype>

#include "insim/Packets.h"
#include "insim/modByteHelper.h"
#include "insim/modInSim.h"
#include "insim/ucInSim.h"

namespace pm::insim {

namespace {

constexpr std::uint8_t kNoId = 255; // outside both tables
constexpr std::size_t kMsoMsg = 8;    // IS_MSO: where the message text begins
constexpr std::size_t kMsoText = 128; // and its field's width

bool isDemo(const std::string& product) {
    std::string p = TrimBlanks(product);
    for (char& c : p) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return p == "DEMO";
}

// Names the packet's sender for the handlers of the event it raises; the
// client may be gone when they return, so nothing is touched through it then.
class SenderScope {
public:
    SenderScope(std::shared_ptr<int> slot, int ucid) : slot_(std::move(slot)) { *slot_ = ucid; }
    ~SenderScope() { *slot_ = -1; }
    SenderScope(const SenderScope&) = delete;
    SenderScope& operator=(const SenderScope&) = delete;

private:
    std::shared_ptr<int> slot_;
};

} // namespace

void ucInSim::Received(std::int32_t lngSocket, std::span<const std::uint8_t> Data, std::int32_t lngLength) {
    if (tcp_) {
        if (lngSocket == 0 || lngSocket != streamSocket_) {
            return;
        }
        if (lngLength <= 0) {
            streamLost(LinkFailure::StreamClosed, "the host closed the InSim connection");
            return;
        }
        receiveStream(Data.first(std::min(static_cast<std::size_t>(lngLength), Data.size())));
        return;
    }
    if (lngSocket != lngListenSocket_ || lngListenSocket_ == 0) {
        return; // only the listen socket carries the server's packets
    }
    // Anyone on the network can send to the listen port; only the server
    // we talk to may change tables or give admin commands. The port counts
    // as much as the address: any process on the host's machine shares it.
    const std::uint32_t source = InSimSocket_.LastSourceAddress();
    const std::int32_t sourcePort = InSimSocket_.LastSourcePort();
    if (source != serverAddress_ || sourcePort != serverPort_) {
        const std::string from = platform::WinSock::inet_ntoa(source) + ":" + std::to_string(sourcePort);
        status([&] {
            return "Ignored datagram from " +
                   (source == serverAddress_ ? from + ": not the server's InSim port"
                                             : platform::WinSock::inet_ntoa(source) + ": not the server");
        });
        // Once until the host is heard (not once per retry, nor per sender:
        // a forger could use every port): a multi-homed host that answers
        // from another address, or a NAT that changes its port, would
        // otherwise look like a host that never answers.
        if (noticedStranger_.empty()) {
            noticedStranger_ = from;
            notice("ignored datagrams from " + from + ", expecting the server at " +
                   platform::WinSock::inet_ntoa(serverAddress_) + ":" + std::to_string(serverPort_));
        }
        return;
    }
    const auto length = static_cast<std::size_t>(std::max<std::int32_t>(lngLength, 0));
    // Whatever the handlers send in answer leaves in one batch.
    std::weak_ptr<bool> alive = alive_;
    ++gathering_;
    ReceivePacket(Data.first(std::min(length, Data.size())));
    if (!alive.expired()) {
        endGathering();
    }
}

bool ucInSim::framedForWire(std::span<const std::uint8_t> d) {
    // InSim 4 judges sizes per packet type, as it always has. From InSim 9
    // on, every datagram must be exactly as long as its Size byte says:
    // anything else is no packet of this generation (a late one from before
    // a change of generation, say), and must not even count as the host.
    if (wire_->sizeUnit == 1) {
        return true;
    }
    if (d.size() < 4 || d[0] == 0 || static_cast<std::size_t>(wire_->lengthOf(d[0])) != d.size()) {
        status([&] {
            return "Dropped datagram of " + std::to_string(d.size()) + " bytes: Size byte " +
                   (d.empty() ? std::string("missing") : std::to_string(d[0])) + " in InSim " +
                   std::to_string(wire_->version);
        });
        return false;
    }
    return true;
}

void ucInSim::ReceivePacket(std::span<const std::uint8_t> data) {
    if (!framedForWire(data)) {
        return;
    }
    std::weak_ptr<bool> alive = alive_;
    if (!bConnected_) {
        bConnected_ = true;
        cmdConnect.setCaption("Disconnect");
        cmdConnect.setEnabled(true);
        bAutoReconnect_ = true;
        linkEstablished();
        if (alive.expired()) {
            return;
        }
    }
    handlePacket(data);
    if (!alive.expired()) {
        bytTicks_ = 1;
    }
}

void ucInSim::linkEstablished() {
    // The trouble reported earlier is over only once the host has said its
    // version: bytes from something that is no InSim host (a web server on
    // the port, say) would otherwise say so, then fail again, every retry.
    if (lastFailure_ != LinkFailure::None) {
        recoveredFrom_ = lastFailure_;
    }
    txtLinkError.setText({});
    lastFailure_ = LinkFailure::None;
    noticedStranger_.clear();
    // Only an earlier link can have left entries behind.
    if (!linkedBefore_) {
        linkedBefore_ = true;
        return;
    }
    for (std::size_t i = 0; i < kTables; ++i) {
        Conns_.clear(i);
        Players_.clear(i);
    }
    if (owner_ != nullptr) {
        owner_->LinkUp();
    }
}

void ucInSim::handlePacket(std::span<const std::uint8_t> d) {
    if (d.size() < 4) {
        status([&] { return "Dropped datagram of " + std::to_string(d.size()) + " bytes: no header"; });
        return;
    }
    const std::int32_t Size = d[0];
    const std::int32_t Type = d[1];
    const std::uint8_t ReqI = d[2];
    const std::uint8_t SubT = d[3];
    status([&] { return "Received '" + std::to_string(Size) + "' Bytes Repsonse - parsing header"; });
    status([&] { return "Type '" + std::to_string(Type) + "'"; });
    status([&] { return "ReqI '" + std::to_string(ReqI) + "'"; });

    // The Size byte is what the size rules compare; the datagram must still
    // hold every byte the handler reads, or the packet is dropped untouched.
    auto sizeOk = [&]() {
        const auto required = requiredSize(Type, *wire_);
        if (required && Size != *required) {
            WriteStatus(wrongSizeText(Type));
            return false;
        }
        return true;
    };
    auto holds = [&](std::size_t needed) {
        if (d.size() >= needed) {
            return true;
        }
        status([&] {
            return "Dropped short datagram for " + std::string(packetName(Type)) + ": " +
                   std::to_string(d.size()) + " of " + std::to_string(needed) + " bytes";
        });
        return false;
    };
    auto validId = [&](std::uint8_t id, const char* what) {
        if (id != kNoId) {
            return true;
        }
        status([&] { return "Dropped " + std::string(packetName(Type)) + " naming " + what + " 255"; });
        return false;
    };

    switch (Type) {
    case ISP_VER:
        if (!sizeOk() || !holds(20)) {
            return;
        }
        version_ = BytesToString(d, 4, 8);
        product_ = BytesToString(d, 12, 6);
        {
            // A word in InSim 4; a byte and a spare from InSim 9 on.
            const int hostInSimVer = wire_->sizeUnit == 1 ? GetWord(d, 18) : d[18];
            inSimVer_ = std::to_string(hostInSimVer);
            WriteStatus("Received LFS Version Update");
            status([&] { return "Version: " + version_; });
            status([&] { return "Product: " + product_; });
            status([&] { return "InSimVer: " + inSimVer_; });
            versionReceived(hostInSimVer);
        }
        return;

    case ISP_TINY:
        if (SubT == TINY_NONE) {
            WriteStatus("Received Keep Alive");
            ISS_TINY(TINY_NONE);
            WriteStatus("Sent reply");
            bytTicks_ = 1;
        } else if (SubT == TINY_REPLY) {
            status([&] { return "Received Keep Alive Reply to ReqI '" + std::to_string(ReqI) + "'"; });
            bytTicks_ = 1;
        } else {
            WriteStatus("Unknown TINY_ Received");
        }
        return;

    case ISP_SMALL:
        WriteStatus("SMALL RECEIVED");
        if (!sizeOk() || !holds(8)) {
            return;
        }
        if (SubT == SMALL_VTA && owner_ != nullptr) {
            owner_->VoteAction(static_cast<std::int16_t>(d[4]));
        }
        return;

    case ISP_STA: {
        if (!sizeOk() || !holds(28)) {
            return;
        }
        raceInfo_.ReplaySpeed = GetSingle(d, 4);
        raceInfo_.Flags = std::to_string(GetWord(d, 8));
        raceInfo_.InGameCam = d[10];
        raceInfo_.ViewPLID = d[11];
        raceInfo_.NumP = d[12];
        raceInfo_.NumConns = d[13];
        raceInfo_.NumFinished = d[14];
        raceInfo_.RaceInProg = d[15];
        if (raceInfo_.RaceInProg != intLastState_) {
            const std::int16_t last = intLastState_;
            if (owner_ != nullptr) {
                std::weak_ptr<bool> alive = alive_;
                owner_->RaceStateChange(last, raceInfo_.RaceInProg);
                if (alive.expired()) {
                    return;
                }
            }
            intLastState_ = raceInfo_.RaceInProg;
        }
        raceInfo_.QualMins = d[16];
        raceInfo_.RaceLaps = d[17];
        raceInfo_.Track = BytesToString(d, 20, 6);
        raceInfo_.Weather = d[26];
        raceInfo_.Wind = d[27];
        return;
    }

    case ISP_ISM:
        if (!sizeOk() || !holds(40)) {
            return;
        }
        if (d[4] == 1) {
            serverName_ = BytesToString(d, 8, 32);
        }
        return;

    case ISP_MSO: {
        // InSim 4 has a fixed 128-byte text; later ones end the packet
        // with the text, at most 128 bytes and at least 4.
        const std::size_t textLimit =
            wire_->variableTexts ? std::min<std::size_t>(d.size() - std::min<std::size_t>(d.size(), kMsoMsg), kMsoText)
                                 : kMsoText;
        if (wire_->variableTexts && (textLimit < 4 || d.size() > kMsoMsg + kMsoText)) {
            WriteStatus(wrongSizeText(Type));
            return;
        }
        if (!sizeOk() || !holds(kMsoMsg + textLimit) || !validId(d[4], "UCID")) {
            return;
        }
        // Only what a user typed is a command. A system message ("Mal^c*lastrace 0
        // joined") carries a name that anyone can choose, so searching the
        // whole line for a colon and an asterisk would obey a nickname.
        const std::uint8_t userType = d[6];
        const std::size_t textStart = d[7];
        if (userType != MSO_USER && userType != MSO_PREFIX) {
            return;
        }
        std::size_t textEnd = 0;
        while (textEnd < textLimit && d[kMsoMsg + textEnd] != 0) {
            ++textEnd;
        }
        if (textStart > textEnd) {
            status([&] { return "Dropped IS_MSO: TextStart " + std::to_string(textStart) + " past its text"; });
            return;
        }
        std::string msg = BytesToString(d, static_cast<int>(kMsoMsg + textStart),
                                        static_cast<int>(textEnd - textStart));
        for (char& c : msg) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        // A colon still ends the command, as it always has ("*a:b" is "*a").
        const std::string request = TrimBlanks(msg.substr(0, msg.find(':')));
        if (request.empty() || request[0] != '*' || owner_ == nullptr) {
            return;
        }
        const ConnInfo& sender = Conns_[d[4]];
        const std::string username = sender.UName;
        const SenderScope scope(senderUcid_, d[4]);
        if (sender.Admin == 1) {
            owner_->AdminRequest(username, request);
        } else {
            owner_->UserRequest(username, request);
        }
        return;
    }

    case ISP_VTN:
        if (!holds(6) || !validId(d[4], "UCID")) {
            return;
        }
        if (owner_ != nullptr) {
            const std::string username = Conns_[d[4]].UName;
            owner_->Vote(username, static_cast<std::int16_t>(d[5]));
        }
        return;

    case ISP_RST:
        if (sizeOk() && owner_ != nullptr) {
            owner_->RaceStart();
        }
        return;

    case ISP_LAP:
        sizeOk(); // nothing is read from it
        return;

    case ISP_NCN: {
        if (!sizeOk() || !holds(56) || !validId(SubT, "UCID")) {
            return;
        }
        std::string uname = BytesToString(d, 4, 24);
        const std::string pname = BytesToString(d, 28, 24);
        if (isDemo(product_)) {
            uname = pname; // demo servers have no user names
        }
        // A user announced again under a new UCID (its CNL lost) replaces the
        // old entry: lookups by name must find one connection, the live one.
        // A demo host has only nicknames, which two people may share: there
        // both stay, told apart by the UCID their packets carry.
        if (!uname.empty() && !isDemo(product_)) {
            for (int ucid = 0; ucid < kTables; ++ucid) {
                if (ucid != SubT && Conns_[ucid].UName == uname) {
                    for (int plid = 0; plid < kTables; ++plid) {
                        if (Players_[plid].PLID != 0 && Players_[plid].UCID == ucid) {
                            ClearPlayer(plid);
                        }
                    }
                    Conns_.clear(static_cast<std::size_t>(ucid));
                }
            }
        }
        ConnInfo& c = Conns_.write(SubT);
        c.UCID = SubT;
        c.UName = std::move(uname);
        c.PName = pname;
        c.PNameColoured = BytesToStringWithColours(d, 28, 24);
        c.Admin = d[52];
        c.Flags = d[54];
        if (owner_ != nullptr) {
            const std::string username = c.UName;
            const std::string playerName = c.PName;
            owner_->NewConnection(username, c.UCID, playerName);
        }
        return;
    }

    case ISP_CNL: {
        if (!sizeOk() || !holds(8) || !validId(SubT, "UCID")) {
            return;
        }
        // The leaving connection's players go with it.
        for (int plid = 0; plid < kTables; ++plid) {
            if (Players_[plid].PLID != 0 && Players_[plid].UCID == SubT) {
                ClearPlayer(plid);
            }
        }
        const std::string username = Conns_[SubT].UName;
        if (owner_ != nullptr) {
            std::weak_ptr<bool> alive = alive_;
            const SenderScope scope(senderUcid_, SubT);
            owner_->EndConnection(username);
            if (alive.expired()) {
                return;
            }
        }
        Conns_.clear(SubT);
        return;
    }

    case ISP_NPL: {
        ISS_TINY(TINY_SST); // asked whatever the size: the state may have changed
        if (!sizeOk() || !holds(76) || !validId(SubT, "PLID") || !validId(d[4], "UCID")) {
            return;
        }
        PlayerInfo& p = Players_.write(SubT);
        p.PLID = SubT;
        p.UCID = d[4];
        p.PType = d[5];
        p.Flags = GetWord(d, 6);
        p.PName = BytesToString(d, 8, 24);
        p.Plate = BytesToString(d, 32, 8);
        p.CName = BytesToString(d, 40, 4);
        p.SName = BytesToString(d, 44, 16);
        for (int i = 0; i < 4; ++i) {
            p.Tyres[static_cast<std::size_t>(i)] = d[60 + static_cast<std::size_t>(i)];
        }
        p.H_Mass = d[64];
        p.H_TRes = d[65];
        p.Model = d[66];
        p.Pass = d[67];
        return;
    }

    case ISP_PLL: {
        if (!validId(SubT, "PLID")) {
            return;
        }
        const PlayerInfo& p = Players_[SubT];
        if (owner_ != nullptr) {
            const std::string username = p.UCID < kTables ? Conns_[p.UCID].UName : std::string();
            const std::string playerName = p.PName;
            std::weak_ptr<bool> alive = alive_;
            owner_->PlayerRaceLeave(username, playerName);
            if (alive.expired()) {
                return;
            }
        }
        ClearPlayer(SubT);
        return;
    }

    case ISP_RES:
        if (!sizeOk() || !holds(84)) {
            return;
        }
        if (owner_ != nullptr) {
            owner_->PlayerRaceFinished(d);
        }
        return;

    case ISP_REO:
        // NumP names how many PLIDs follow; the handler reads exactly those.
        if (!holds(4 + static_cast<std::size_t>(SubT))) {
            return;
        }
        if (owner_ != nullptr) {
            owner_->RaceOrder(d);
        }
        return;

    case ISP_BTC: {
        if (!holds(7) || !validId(SubT, "UCID")) {
            return;
        }
        if (owner_ == nullptr) {
            return;
        }
        const std::string username = Conns_[SubT].UName;
        const auto btnId = static_cast<std::int16_t>(d[4]);
        const SenderScope scope(senderUcid_, SubT);
        switch (d[6]) {
        case ISB_LMB: owner_->ButtonClick(btnId, username); break;
        case kClickShiftLeft: owner_->ButtonShiftClick(btnId, username, 1); break;
        case kClickShiftRight: owner_->ButtonShiftClick(btnId, username, 2); break;
        default: break; // right click without shift, ctrl clicks: not ours
        }
        return;
    }

    default:
        WriteStatus("Unknown ISP_ Received");
        return;
    }
}

} // namespace pm::insim
