// What all packets share: the header and the size each type must arrive
// with. The packets themselves are in Packets<Family>.cpp.

#include "insim/Packets.h"

#include "insim/PacketCoding.h"

namespace pm::insim {

using detail::Reader;

namespace {

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

} // namespace pm::insim
