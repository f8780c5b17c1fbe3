// Buttons on a connection's screen, and clicks on them.

#include "insim/PacketCoding.h"
#include "insim/Packets.h"

namespace pm::insim {

using detail::Builder;
using detail::Reader;
using detail::receivedWidth;
using detail::wireBytes;

// ---- IS_BTN

std::vector<std::uint8_t> IsBtn::toBytes(const WireGeneration& wire) const {
    const int width =
        wire.variableTexts ? wire.variableField(wireBytes(Text), wire.btnTextWidth) : wire.btnTextWidth;
    return Builder(wire, kType, 12 + width, ReqI, UCID)
        .byte(4, ClickID)
        .byte(5, Inst)
        .byte(6, BStyle)
        .byte(7, TypeIn)
        .byte(8, L)
        .byte(9, T)
        .byte(10, W)
        .byte(11, H)
        .text(12, width, Text)
        .take();
}

std::optional<IsBtn> IsBtn::fromBytes(std::span<const std::uint8_t> datagram, const WireGeneration& wire) {
    Reader in(datagram);
    IsBtn p;
    p.ReqI = in.byte(2);
    p.UCID = in.byte(3);
    p.ClickID = in.byte(4);
    p.Inst = in.byte(5);
    p.BStyle = in.byte(6);
    p.TypeIn = in.byte(7);
    p.L = in.byte(8);
    p.T = in.byte(9);
    p.W = in.byte(10);
    p.H = in.byte(11);
    p.Text = in.text(12, wire.variableTexts ? receivedWidth(datagram, 12, wire.btnTextWidth) : wire.btnTextWidth);
    return in.result(std::move(p));
}

// ---- IS_BFN

IsBfn IsBfn::forButton(std::uint8_t ucid, std::uint8_t clickId) {
    IsBfn p;
    p.SubT = clickId == 0 ? BFN_CLEAR : BFN_DEL_BTN;
    p.UCID = ucid;
    p.ClickID = clickId;
    return p;
}

std::vector<std::uint8_t> IsBfn::toBytes(const WireGeneration& wire) const {
    // Byte 6 was Inst before ClickMax came; we never set Inst, so an InSim 4
    // packet keeps it zero.
    return Builder(wire, kType, kLength, ReqI, SubT)
        .byte(4, UCID)
        .byte(5, ClickID)
        .byte(6, wire.bfnClickMax ? ClickMax : 0)
        .take();
}

std::optional<IsBfn> IsBfn::fromBytes(std::span<const std::uint8_t> datagram, const WireGeneration& wire) {
    Reader in(datagram);
    IsBfn p;
    p.ReqI = in.byte(2);
    p.SubT = in.byte(3);
    p.UCID = in.byte(4);
    p.ClickID = in.byte(5);
    p.ClickMax = wire.bfnClickMax ? in.byte(6) : 0;
    return in.result(std::move(p));
}

// ---- IS_BTC

std::vector<std::uint8_t> IsBtc::toBytes(const WireGeneration& wire) const {
    return Builder(wire, kType, kLength, ReqI, UCID)
        .byte(4, ClickID)
        .byte(5, Inst)
        .byte(6, CFlags)
        .take();
}

std::optional<IsBtc> IsBtc::fromBytes(std::span<const std::uint8_t> datagram) {
    Reader in(datagram);
    IsBtc p;
    p.ReqI = in.byte(2);
    p.UCID = in.byte(3);
    p.ClickID = in.byte(4);
    p.Inst = in.byte(5);
    p.CFlags = in.byte(6);
    return in.result(std::move(p));
}

} // namespace pm::insim
