#include "insim/Packets.h"

#include "insim/modByteHelper.h"

namespace pm::insim {

namespace {

// Starts a packet: the full length zero-filled, then the header.
class Builder {
  public:
    Builder(const WireGeneration& wire, std::uint8_t type, int length, std::uint8_t reqI,
            std::uint8_t byte3 = 0)
        : bytes_(static_cast<std::size_t>(length), 0) {
        bytes_[0] = static_cast<std::uint8_t>(wire.sizeByte(length));
        bytes_[1] = type;
        bytes_[2] = reqI;
        bytes_[3] = byte3;
    }

    Builder& byte(int at, std::uint8_t value) {
        bytes_.at(static_cast<std::size_t>(at)) = value;
        return *this;
    }
    Builder& word(int at, std::uint16_t value) {
        PutWord(bytes_, value, at);
        return *this;
    }
    Builder& dword(int at, std::uint32_t value) {
        PutDWord(bytes_, value, at);
        return *this;
    }
    Builder& single(int at, float value) {
        PutSingle(bytes_, value, at);
        return *this;
    }
    Builder& text(int at, int width, std::string_view value) {
        StringToBytes(bytes_, value, at, width);
        return *this;
    }

    std::vector<std::uint8_t> take() { return std::move(bytes_); }

  private:
    std::vector<std::uint8_t> bytes_;
};

// Reads fields of a received datagram. Each read first checks that the whole
// field is inside; once one is not, the packet is spoiled and result() gives
// nothing.
class Reader {
  public:
    explicit Reader(std::span<const std::uint8_t> datagram) : data_(datagram) {}

    std::uint8_t byte(int at) { return has(at, 1) ? data_[at] : 0; }
    std::uint16_t word(int at) {
        return has(at, 2) ? static_cast<std::uint16_t>(GetWord(data_, at)) : 0;
    }
    std::uint32_t dword(int at) { return has(at, 4) ? GetDWord(data_, at) : 0; }
    float single(int at) { return has(at, 4) ? GetSingle(data_, at) : 0.0f; }
    std::string text(int at, int width) {
        return has(at, width) ? BytesToString(data_, at, width) : std::string{};
    }

    template <typename Packet> std::optional<Packet> result(Packet packet) const {
        if (!ok_) {
            return std::nullopt;
        }
        return packet;
    }

  private:
    bool has(int at, int width) {
        ok_ = ok_ && static_cast<std::size_t>(at) + width <= data_.size();
        return ok_;
    }

    std::span<const std::uint8_t> data_;
    bool ok_ = true;
};

// Bytes a text takes on the wire: one code-page byte per character, and a
// character is one UTF-8 lead byte.
int wireBytes(std::string_view text) {
    int n = 0;
    for (const char c : text) {
        n += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
    }
    return n;
}

// How wide a received variable text field is: what arrived behind its start,
// never more than the field's largest size.
int receivedWidth(std::span<const std::uint8_t> datagram, int at, int widest) {
    const int arrived = static_cast<int>(datagram.size()) - at;
    return arrived < 0 ? 0 : (arrived < widest ? arrived : widest);
}

struct TypeInfo {
    std::uint8_t type;
    std::string_view name;
    int checkedLength; // 0: the size is not checked on arrival
    std::string_view wrongSize;
};

constexpr TypeInfo kTypes[] = {
    {ISP_ISI, "ISP_ISI", 0, ""},
    {ISP_VER, "ISP_VER", IsVer::kLength, "Wrong Packet size for ISP_VER"},
    {ISP_TINY, "ISP_TINY", 0, ""},
    {ISP_SMALL, "ISP_SMALL", IsSmall::kLength, "Wrong Packet size for ISP_SMALL"},
    {ISP_STA, "ISP_STA", IsSta::kLength, "Wrong Packet size for ISP_STA"},
    {ISP_ISM, "ISP_ISM", IsIsm::kLength, "Wrong Packet size for ISP_ISM"},
    {ISP_MSO, "ISP_MSO", IsMso::kLength, "Wrong Packet size for ISP_MSO"},
    {ISP_MST, "ISP_MST", 0, ""},
    {ISP_MTC, "ISP_MTC", 0, ""},
    {ISP_VTN, "ISP_VTN", 0, ""},
    {ISP_RST, "ISP_RST", IsRst::kLength, "Wrong Packet size for ISP_RST"},
    {ISP_NCN, "ISP_NCN", IsNcn::kLength, "Wrong Packet size for ISP_NCN"},
    {ISP_CNL, "ISP_CNL", IsCnl::kLength, "Wrong Packet size for ISP_CNL"},
    {ISP_NPL, "ISP_NPL", IsNpl::kLength, "Wrong Packet size for ISP_NPL"},
    {ISP_PLL, "ISP_PLL", 0, ""},
    {ISP_LAP, "ISP_LAP", IsLap::kLength, "Wrong Packet size for ISP_LAP"},
    {ISP_RES, "ISP_RES", IsRes::kLength, "Wrong Packet size for ISP_RES"},
    {ISP_REO, "ISP_REO", 0, ""},
    {ISP_BFN, "ISP_BFN", 0, ""},
    {ISP_BTN, "ISP_BTN", 0, ""},
    {ISP_BTC, "ISP_BTC", 0, ""},
};

const TypeInfo* findType(int type) {
    for (const auto& info : kTypes) {
        if (info.type == type) {
            return &info;
        }
    }
    return nullptr;
}

} // namespace

std::optional<PacketHeader> readHeader(std::span<const std::uint8_t> datagram) {
    Reader in(datagram);
    PacketHeader h;
    h.Size = in.byte(0);
    h.Type = in.byte(1);
    h.ReqI = in.byte(2);
    h.SubT = in.byte(3);
    return in.result(std::move(h));
}

std::optional<int> requiredSize(int type, const WireGeneration& wire) {
    const auto* info = findType(type);
    if (info == nullptr || info->checkedLength == 0) {
        return std::nullopt;
    }
    // A message's length follows its text once texts vary.
    if (type == ISP_MSO && wire.variableTexts) {
        return std::nullopt;
    }
    return wire.sizeByte(info->checkedLength);
}

const WireGeneration* wireForVersion(int version) {
    for (const WireGeneration* wire : {&kWire4, &kWire9, &kWire10}) {
        if (wire->version == version) {
            return wire;
        }
    }
    return nullptr;
}

std::string_view wrongSizeText(int type) {
    const auto* info = findType(type);
    return info == nullptr ? std::string_view{} : info->wrongSize;
}

std::string_view packetName(int type) {
    const auto* info = findType(type);
    return info == nullptr ? std::string_view{} : info->name;
}

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
