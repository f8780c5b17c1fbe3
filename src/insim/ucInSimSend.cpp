// The sending half of the InSim client: every packet it sends, in the
// generation the link speaks.

#include <string>
#include <string_view>

#include "insim/Packets.h"
#include "insim/ucInSim.h"

namespace pm::insim {

void ucInSim::SendPacket(std::int32_t lngSocket, std::span<const std::uint8_t> Data, std::int32_t lngStart) {
    if (tcp_) {
        // A stream takes bytes, not datagrams: queued in order, and written
        // at once unless a read's handlers are still adding to them.
        if (lngSocket == 0 || lngSocket != streamSocket_ || lngStart < 0 ||
            static_cast<std::size_t>(lngStart) >= Data.size()) {
            return;
        }
        streamOut_.insert(streamOut_.end(), Data.begin() + lngStart, Data.end());
        flushStream();
        return;
    }
    if (gathering_ > 0 && lngSocket != 0 && lngSocket == lngClientSocket_ && lngStart == 0) {
        datagramsOut_.emplace_back(Data.begin(), Data.end());
        return;
    }
    InSimSocket_.Send(lngSocket, Data, lngStart);
}

void ucInSim::flushDatagrams() {
    if (datagramsOut_.empty()) {
        return;
    }
    std::vector<std::vector<std::uint8_t>> out;
    out.swap(datagramsOut_);
    InSimSocket_.SendMany(lngClientSocket_, out);
}

void ucInSim::endGathering() {
    if (--gathering_ > 0) {
        return;
    }
    std::weak_ptr<bool> alive = alive_;
    flushDatagrams();
    if (!alive.expired()) {
        flushStream();
    }
}

bool ucInSim::byteArgument(int value, std::string_view what, std::string_view op) {
    if (value >= 0 && value <= 255) {
        return true;
    }
    // Refused rather than wrapped: a wrapped UCID would reach the wrong driver.
    status([&] {
        return std::string(op) + " refused: " + std::string(what) + " " + std::to_string(value) +
               " is outside 0..255";
    });
    return false;
}

void ucInSim::ISS_ISI() {
    if (initRecord_.Size != 44) {
        platform_.trace.WriteError(100, "Incorrect Header.Size for IS_Connect");
        return;
    }
    if (initRecord_.Type != ISP_ISI) {
        platform_.trace.WriteError(100, "Incorrect Header.Type for IS_Connect");
        return;
    }
    IsIsi isi;
    isi.ReqI = initRecord_.ReqI;
    isi.UDPPort = static_cast<std::uint16_t>(initRecord_.UDPPort);
    isi.Flags = 16;
    // An InSim 4 program sends 0 here, which hosts take for an old client.
    isi.InSimVer = static_cast<std::uint8_t>(wire_->version == kWire4.version ? 0 : wire_->version);
    isi.Prefix = initRecord_.Prefix;
    isi.Interval = static_cast<std::uint16_t>(initRecord_.Interval);
    isi.Admin = initRecord_.Admin;
    isi.IName = initRecord_.IName;
    const auto bytes = isi.toBytes(*wire_);
    SendPacket(lngClientSocket_, bytes, 0);
}

// The introduction and what the program asks of every host before it
// can work: its version, state, connections, name and players.
void ucInSim::sendHandshake() {
    handshakeSent_ = true;
    ++gathering_; // one write on a stream
    ISS_ISI();
    ISS_TINY(TINY_VER);
    ISS_TINY(TINY_SST);
    ISS_TINY(TINY_NCN);
    ISS_TINY(TINY_ISM);
    ISS_TINY(TINY_NPL);
    endGathering();
}

void ucInSim::SendInSim(std::span<const std::uint8_t> Data) { SendPacket(lngClientSocket_, Data, 0); }

void ucInSim::ISS_MTC(const std::string& strCommand, int bytConn, int bytPlayer) {
    if (!byteArgument(bytConn, "UCID", "ISS_MTC") || !byteArgument(bytPlayer, "PLID", "ISS_MTC")) {
        return;
    }
    IsMtc mtc;
    mtc.UCID = static_cast<std::uint8_t>(bytConn);
    mtc.PLID = static_cast<std::uint8_t>(bytPlayer);
    mtc.Text = strCommand;
    const auto bytes = mtc.toBytes(*wire_);
    SendPacket(lngClientSocket_, bytes, 0);
}

void ucInSim::ISS_MST(const std::string& strCommand) {
    IsMst mst;
    mst.Msg = strCommand;
    const auto bytes = mst.toBytes(*wire_);
    SendPacket(lngClientSocket_, bytes, 0);
}

void ucInSim::ISS_BTN(const std::string& strText, int bStyle, int iConn, int l, int T, int W, int H, int bID) {
    if (!byteArgument(bStyle, "BStyle", "ISS_BTN") || !byteArgument(iConn, "UCID", "ISS_BTN") ||
        !byteArgument(l, "L", "ISS_BTN") || !byteArgument(T, "T", "ISS_BTN") ||
        !byteArgument(W, "W", "ISS_BTN") || !byteArgument(H, "H", "ISS_BTN") ||
        !byteArgument(bID, "ClickID", "ISS_BTN")) {
        return;
    }
    IsBtn btn;
    btn.UCID = static_cast<std::uint8_t>(iConn);
    btn.ClickID = static_cast<std::uint8_t>(bID);
    btn.BStyle = static_cast<std::uint8_t>(bStyle);
    btn.L = static_cast<std::uint8_t>(l);
    btn.T = static_cast<std::uint8_t>(T);
    btn.W = static_cast<std::uint8_t>(W);
    btn.H = static_cast<std::uint8_t>(H);
    btn.Text = strText;
    const auto bytes = btn.toBytes(*wire_);
    SendPacket(lngClientSocket_, bytes, 0);
}

void ucInSim::ISS_BFN(int iConn, int bButton) {
    if (!byteArgument(iConn, "UCID", "ISS_BFN") || !byteArgument(bButton, "ClickID", "ISS_BFN")) {
        return;
    }
    const auto bytes =
        IsBfn::forButton(static_cast<std::uint8_t>(iConn), static_cast<std::uint8_t>(bButton)).toBytes(*wire_);
    SendPacket(lngClientSocket_, bytes, 0);
}

void ucInSim::ISS_TINY(int myTiny) {
    if (!byteArgument(myTiny, "TINY code", "ISS_TINY")) {
        return;
    }
    IsTiny tiny;
    tiny.ReqI = 1;
    tiny.SubT = static_cast<std::uint8_t>(myTiny);
    const auto bytes = tiny.toBytes(*wire_);
    SendPacket(lngClientSocket_, bytes, 0);
}

} // namespace pm::insim
