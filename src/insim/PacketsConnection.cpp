// The link's own packets and those about who is connected and driving.

#include "insim/PacketCoding.h"
#include "insim/Packets.h"

namespace pm::insim {

using detail::Builder;
using detail::Reader;

// ---- IS_ISI

std::vector<std::uint8_t> IsIsi::toBytes(const WireGeneration& wire) const {
    return Builder(wire, kType, kLength, ReqI)
        .word(4, UDPPort)
        .word(6, Flags)
        .byte(8, InSimVer)
        .text(9, 1, Prefix)
        .word(10, Interval)
        .text(12, 16, Admin)
        .text(28, 16, IName)
        .take();
}

std::optional<IsIsi> IsIsi::fromBytes(std::span<const std::uint8_t> datagram) {
    Reader in(datagram);
    IsIsi p;
    p.ReqI = in.byte(2);
    p.UDPPort = in.word(4);
    p.Flags = in.word(6);
    p.InSimVer = in.byte(8);
    p.Prefix = in.text(9, 1);
    p.Interval = in.word(10);
    p.Admin = in.text(12, 16);
    p.IName = in.text(28, 16);
    return in.result(std::move(p));
}

// ---- IS_VER

std::vector<std::uint8_t> IsVer::toBytes(const WireGeneration& wire) const {
    return Builder(wire, kType, kLength, ReqI)
        .text(4, 8, Version)
        .text(12, 6, Product)
        .word(18, wire.sizeUnit == 1 ? InSimVer : static_cast<std::uint8_t>(InSimVer))
        .take();
}

std::optional<IsVer> IsVer::fromBytes(std::span<const std::uint8_t> datagram, const WireGeneration& wire) {
    Reader in(datagram);
    IsVer p;
    p.ReqI = in.byte(2);
    p.Version = in.text(4, 8);
    p.Product = in.text(12, 6);
    p.InSimVer = wire.sizeUnit == 1 ? in.word(18) : in.byte(18);
    in.byte(19);
    return in.result(std::move(p));
}

// ---- IS_TINY

std::vector<std::uint8_t> IsTiny::toBytes(const WireGeneration& wire) const {
    return Builder(wire, kType, kLength, ReqI, SubT).take();
}

std::optional<IsTiny> IsTiny::fromBytes(std::span<const std::uint8_t> datagram) {
    Reader in(datagram);
    IsTiny p;
    p.ReqI = in.byte(2);
    p.SubT = in.byte(3);
    return in.result(std::move(p));
}

// ---- IS_SMALL

std::vector<std::uint8_t> IsSmall::toBytes(const WireGeneration& wire) const {
    return Builder(wire, kType, kLength, ReqI, SubT).dword(4, UVal).take();
}

std::optional<IsSmall> IsSmall::fromBytes(std::span<const std::uint8_t> datagram) {
    Reader in(datagram);
    IsSmall p;
    p.ReqI = in.byte(2);
    p.SubT = in.byte(3);
    p.UVal = in.dword(4);
    return in.result(std::move(p));
}

// ---- IS_ISM

std::vector<std::uint8_t> IsIsm::toBytes(const WireGeneration& wire) const {
    return Builder(wire, kType, kLength, ReqI).byte(4, Host).text(8, 32, HName).take();
}

std::optional<IsIsm> IsIsm::fromBytes(std::span<const std::uint8_t> datagram) {
    Reader in(datagram);
    IsIsm p;
    p.ReqI = in.byte(2);
    p.Host = in.byte(4);
    p.HName = in.text(8, 32);
    return in.result(std::move(p));
}

// ---- IS_NCN

std::vector<std::uint8_t> IsNcn::toBytes(const WireGeneration& wire) const {
    return Builder(wire, kType, kLength, ReqI, UCID)
        .text(4, 24, UName)
        .text(28, 24, PName)
        .byte(52, Admin)
        .byte(53, Total)
        .byte(54, Flags)
        .take();
}

std::optional<IsNcn> IsNcn::fromBytes(std::span<const std::uint8_t> datagram) {
    Reader in(datagram);
    IsNcn p;
    p.ReqI = in.byte(2);
    p.UCID = in.byte(3);
    p.UName = in.text(4, 24);
    p.PName = in.text(28, 24);
    p.Admin = in.byte(52);
    p.Total = in.byte(53);
    p.Flags = in.byte(54);
    return in.result(std::move(p));
}

// ---- IS_CNL

std::vector<std::uint8_t> IsCnl::toBytes(const WireGeneration& wire) const {
    return Builder(wire, kType, kLength, ReqI, UCID).byte(4, Reason).byte(5, Total).take();
}

std::optional<IsCnl> IsCnl::fromBytes(std::span<const std::uint8_t> datagram) {
    Reader in(datagram);
    IsCnl p;
    p.ReqI = in.byte(2);
    p.UCID = in.byte(3);
    p.Reason = in.byte(4);
    p.Total = in.byte(5);
    return in.result(std::move(p));
}

// ---- IS_NPL

std::vector<std::uint8_t> IsNpl::toBytes(const WireGeneration& wire) const {
    Builder out(wire, kType, kLength, ReqI, PLID);
    out.byte(4, UCID)
        .byte(5, PType)
        .word(6, Flags)
        .text(8, 24, PName)
        .text(32, 8, Plate)
        .text(40, 4, CName)
        .text(44, 16, SName);
    for (int wheel = 0; wheel < 4; ++wheel) {
        out.byte(60 + wheel, Tyres[wheel]);
    }
    return out.byte(64, H_Mass).byte(65, H_TRes).byte(66, Model).byte(67, Pass).take();
}

std::optional<IsNpl> IsNpl::fromBytes(std::span<const std::uint8_t> datagram) {
    Reader in(datagram);
    IsNpl p;
    p.ReqI = in.byte(2);
    p.PLID = in.byte(3);
    p.UCID = in.byte(4);
    p.PType = in.byte(5);
    p.Flags = in.word(6);
    p.PName = in.text(8, 24);
    p.Plate = in.text(32, 8);
    p.CName = in.text(40, 4);
    p.SName = in.text(44, 16);
    for (int wheel = 0; wheel < 4; ++wheel) {
        p.Tyres[wheel] = in.byte(60 + wheel);
    }
    p.H_Mass = in.byte(64);
    p.H_TRes = in.byte(65);
    p.Model = in.byte(66);
    p.Pass = in.byte(67);
    return in.result(std::move(p));
}

// ---- IS_PLL

std::vector<std::uint8_t> IsPll::toBytes(const WireGeneration& wire) const {
    return Builder(wire, kType, kLength, ReqI, PLID).take();
}

std::optional<IsPll> IsPll::fromBytes(std::span<const std::uint8_t> datagram) {
    Reader in(datagram);
    IsPll p;
    p.ReqI = in.byte(2);
    p.PLID = in.byte(3);
    return in.result(std::move(p));
}

} // namespace pm::insim
