// Messages and commands, to and from the server.

#include "insim/PacketCoding.h"
#include "insim/Packets.h"

namespace pm::insim {

using detail::Builder;
using detail::Reader;
using detail::receivedWidth;
using detail::wireBytes;

// ---- IS_MSO

std::vector<std::uint8_t> IsMso::toBytes(const WireGeneration& wire) const {
    const int width =
        wire.variableTexts ? wire.variableField(wireBytes(Msg), wire.msoTextWidth) : wire.msoTextWidth;
    const int written = wire.variableTexts ? width - 1 : width;
    return Builder(wire, kType, 8 + width, ReqI)
        .byte(4, UCID)
        .byte(5, PLID)
        .byte(6, UserType)
        .byte(7, TextStart)
        .text(8, written, Msg)
        .take();
}

std::optional<IsMso> IsMso::fromBytes(std::span<const std::uint8_t> datagram, const WireGeneration& wire) {
    Reader in(datagram);
    IsMso p;
    p.ReqI = in.byte(2);
    p.UCID = in.byte(4);
    p.PLID = in.byte(5);
    p.UserType = in.byte(6);
    p.TextStart = in.byte(7);
    p.Msg = in.text(8, wire.variableTexts ? receivedWidth(datagram, 8, wire.msoTextWidth) : wire.msoTextWidth);
    return in.result(std::move(p));
}

// ---- IS_MST

std::vector<std::uint8_t> IsMst::toBytes(const WireGeneration& wire) const {
    return Builder(wire, kType, kLength, ReqI).text(4, kWire.mstTextWidth, Msg).take();
}

std::optional<IsMst> IsMst::fromBytes(std::span<const std::uint8_t> datagram) {
    Reader in(datagram);
    IsMst p;
    p.ReqI = in.byte(2);
    p.Msg = in.text(4, kWire.mstTextWidth);
    return in.result(std::move(p));
}

// ---- IS_MTC

std::vector<std::uint8_t> IsMtc::toBytes(const WireGeneration& wire) const {
    const int width =
        wire.variableTexts ? wire.variableField(wireBytes(Text), wire.mtcTextWidth) : wire.mtcTextWidth;
    // The last byte of a variable field stays zero: its terminator.
    const int written = wire.variableTexts ? width - 1 : width;
    return Builder(wire, kType, 8 + width, ReqI, wire.variableTexts ? Sound : 0)
        .byte(4, UCID)
        .byte(5, PLID)
        .text(8, written, Text)
        .take();
}

std::optional<IsMtc> IsMtc::fromBytes(std::span<const std::uint8_t> datagram, const WireGeneration& wire) {
    Reader in(datagram);
    IsMtc p;
    p.ReqI = in.byte(2);
    p.Sound = wire.variableTexts ? in.byte(3) : 0;
    p.UCID = in.byte(4);
    p.PLID = in.byte(5);
    p.Text = in.text(8, wire.variableTexts ? receivedWidth(datagram, 8, wire.mtcTextWidth) : wire.mtcTextWidth);
    return in.result(std::move(p));
}

} // namespace pm::insim
