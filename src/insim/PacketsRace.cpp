// The race: its state, its start and race orders, laps, results and votes.

#include "insim/PacketCoding.h"
#include "insim/Packets.h"

namespace pm::insim {

using detail::Builder;
using detail::Reader;

// ---- IS_STA

std::vector<std::uint8_t> IsSta::toBytes(const WireGeneration& wire) const {
    return Builder(wire, kType, kLength, ReqI)
        .single(4, ReplaySpeed)
        .word(8, Flags)
        .byte(10, InGameCam)
        .byte(11, ViewPLID)
        .byte(12, NumP)
        .byte(13, NumConns)
        .byte(14, NumFinished)
        .byte(15, RaceInProg)
        .byte(16, QualMins)
        .byte(17, RaceLaps)
        .text(20, 6, Track)
        .byte(26, Weather)
        .byte(27, Wind)
        .take();
}

std::optional<IsSta> IsSta::fromBytes(std::span<const std::uint8_t> datagram) {
    Reader in(datagram);
    IsSta p;
    p.ReqI = in.byte(2);
    p.ReplaySpeed = in.single(4);
    p.Flags = in.word(8);
    p.InGameCam = in.byte(10);
    p.ViewPLID = in.byte(11);
    p.NumP = in.byte(12);
    p.NumConns = in.byte(13);
    p.NumFinished = in.byte(14);
    p.RaceInProg = in.byte(15);
    p.QualMins = in.byte(16);
    p.RaceLaps = in.byte(17);
    p.Track = in.text(20, 6);
    p.Weather = in.byte(26);
    p.Wind = in.byte(27);
    return in.result(std::move(p));
}

// ---- IS_RST

std::vector<std::uint8_t> IsRst::toBytes(const WireGeneration& wire) const {
    return Builder(wire, kType, kLength, ReqI)
        .byte(4, RaceLaps)
        .byte(5, QualMins)
        .byte(6, NumP)
        .text(8, 6, Track)
        .byte(14, Weather)
        .byte(15, Wind)
        .word(16, Flags)
        .word(18, NumNodes)
        .word(20, Finish)
        .word(22, Split1)
        .word(24, Split2)
        .word(26, Split3)
        .take();
}

std::optional<IsRst> IsRst::fromBytes(std::span<const std::uint8_t> datagram) {
    Reader in(datagram);
    IsRst p;
    p.ReqI = in.byte(2);
    p.RaceLaps = in.byte(4);
    p.QualMins = in.byte(5);
    p.NumP = in.byte(6);
    p.Track = in.text(8, 6);
    p.Weather = in.byte(14);
    p.Wind = in.byte(15);
    p.Flags = in.word(16);
    p.NumNodes = in.word(18);
    p.Finish = in.word(20);
    p.Split1 = in.word(22);
    p.Split2 = in.word(24);
    p.Split3 = in.word(26);
    return in.result(std::move(p));
}

// ---- IS_VTN

std::vector<std::uint8_t> IsVtn::toBytes(const WireGeneration& wire) const {
    return Builder(wire, kType, kLength, ReqI).byte(4, UCID).byte(5, Action).take();
}

std::optional<IsVtn> IsVtn::fromBytes(std::span<const std::uint8_t> datagram) {
    Reader in(datagram);
    IsVtn p;
    p.ReqI = in.byte(2);
    p.UCID = in.byte(4);
    p.Action = in.byte(5);
    return in.result(std::move(p));
}

// ---- IS_REO

std::vector<std::uint8_t> IsReo::toBytes(const WireGeneration& wire) const {
    Builder out(wire, kType, lengthFor(wire), ReqI, NumP);
    for (int slot = 0; slot < wire.startOrderSlots; ++slot) {
        out.byte(4 + slot, PLID[slot]);
    }
    return out.take();
}

std::optional<IsReo> IsReo::fromBytes(std::span<const std::uint8_t> datagram, const WireGeneration& wire) {
    Reader in(datagram);
    IsReo p;
    p.ReqI = in.byte(2);
    p.NumP = in.byte(3);
    for (int slot = 0; slot < wire.startOrderSlots; ++slot) {
        p.PLID[slot] = in.byte(4 + slot);
    }
    return in.result(std::move(p));
}

// ---- IS_LAP

std::vector<std::uint8_t> IsLap::toBytes(const WireGeneration& wire) const {
    return Builder(wire, kType, kLength, ReqI, PLID)
        .dword(4, LTime)
        .dword(8, ETime)
        .word(12, LapsDone)
        .word(14, Flags)
        .byte(17, Penalty)
        .byte(18, NumStops)
        .take();
}

std::optional<IsLap> IsLap::fromBytes(std::span<const std::uint8_t> datagram) {
    Reader in(datagram);
    IsLap p;
    p.ReqI = in.byte(2);
    p.PLID = in.byte(3);
    p.LTime = in.dword(4);
    p.ETime = in.dword(8);
    p.LapsDone = in.word(12);
    p.Flags = in.word(14);
    p.Penalty = in.byte(17);
    p.NumStops = in.byte(18);
    return in.result(std::move(p));
}

// ---- IS_RES

std::vector<std::uint8_t> IsRes::toBytes(const WireGeneration& wire) const {
    return Builder(wire, kType, kLength, ReqI, PLID)
        .text(4, 24, UName)
        .text(28, 24, PName)
        .text(52, 8, Plate)
        .text(60, 4, CName)
        .dword(64, TTime)
        .dword(68, BTime)
        .byte(72, SpA)
        .byte(73, NumStops)
        .byte(74, Confirm)
        .byte(75, SpB)
        .word(76, LapsDone)
        .word(78, Flags)
        .byte(80, ResultNum)
        .byte(81, NumRes)
        .word(82, PSeconds)
        .take();
}

std::optional<IsRes> IsRes::fromBytes(std::span<const std::uint8_t> datagram) {
    Reader in(datagram);
    IsRes p;
    p.ReqI = in.byte(2);
    p.PLID = in.byte(3);
    p.UName = in.text(4, 24);
    p.PName = in.text(28, 24);
    p.Plate = in.text(52, 8);
    p.CName = in.text(60, 4);
    p.TTime = in.dword(64);
    p.BTime = in.dword(68);
    p.SpA = in.byte(72);
    p.NumStops = in.byte(73);
    p.Confirm = in.byte(74);
    p.SpB = in.byte(75);
    p.LapsDone = in.word(76);
    p.Flags = in.word(78);
    p.ResultNum = in.byte(80);
    p.NumRes = in.byte(81);
    p.PSeconds = in.word(82);
    return in.result(std::move(p));
}

} // namespace pm::insim
