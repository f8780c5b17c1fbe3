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

bool isDemo(const std::string& product) {
    std::string p = TrimBlanks(product);
    for (char& c : p) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return p == "DEMO";
}

} // namespace

void ucInSim::Received(std::int32_t lngSocket, std::span<const std::uint8_t> Data, std::int32_t lngLength) {
    if (lngSocket != lngListenSocket_ || lngListenSocket_ == 0) {
        return; // only the listen socket carries the server's packets
    }
    // Anyone on the network can send to the listen port; only the server
    // we talk to may change tables or give admin commands.
    const std::uint32_t source = InSimSocket_.LastSourceAddress();
    if (source != serverAddress_) {
        status([&] {
            return "Ignored datagram from " + platform::WinSock::inet_ntoa(source) + ": not the server";
        });
        return;
    }
    const auto length = static_cast<std::size_t>(std::max<std::int32_t>(lngLength, 0));
    ReceivePacket(Data.first(std::min(length, Data.size())));
}

void ucInSim::ReceivePacket(std::span<const std::uint8_t> data) {
    if (!bConnected_) {
        bConnected_ = true;
        cmdConnect.setCaption("Disconnect");
        cmdConnect.setEnabled(true);
        bAutoReconnect_ = true;
    }
    std::weak_ptr<bool> alive = alive_;
    handlePacket(data);
    if (!alive.expired()) {
        bytTicks_ = 1;
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
        const auto required = requiredSize(Type);
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
        inSimVer_ = std::to_string(GetWord(d, 18));
        WriteStatus("Received LFS Version Update");
        status([&] { return "Version: " + version_; });
        status([&] { return "Product: " + product_; });
        status([&] { return "InSimVer: " + inSimVer_; });
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
        if (!sizeOk() || !holds(136) || !validId(d[4], "UCID")) {
            return;
        }
        std::string msg = TrimBlanks(BytesToString(d, 8, 128));
        for (char& c : msg) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        const auto first = msg.find(':');
        if (first == std::string::npos) {
            return;
        }
        const auto second = msg.find(':', first + 1);
        const std::string request = TrimBlanks(
            msg.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1));
        if (request.empty() || request[0] != '*' || owner_ == nullptr) {
            return;
        }
        const ConnInfo& sender = Conns_[d[4]];
        const std::string username = sender.UName;
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
    case ISP_LAP:
        sizeOk(); // nothing is read from these
        return;

    case ISP_NCN: {
        if (!sizeOk() || !holds(56) || !validId(SubT, "UCID")) {
            return;
        }
        ConnInfo& c = Conns_.write(SubT);
        c.UCID = SubT;
        c.UName = BytesToString(d, 4, 24);
        c.PName = BytesToString(d, 28, 24);
        if (isDemo(product_)) {
            c.UName = c.PName; // demo servers have no user names
        }
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
