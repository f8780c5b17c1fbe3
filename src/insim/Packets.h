#pragma once
// The InSim packets this system builds or reads: one plain struct each, with a
// builder and a reader that the client and the simulated server both use.
//
// toBytes() returns a zero-filled buffer of the packet's full length with the
// header set. Texts go out one code-page byte per character, cut at the field's
// width, with no terminator of their own; a text as long as its field fills it.
//
// fromBytes() checks the datagram against each field before reading it. A
// datagram too short for any field it reads yields nullopt, never half a
// packet. Readers do not judge the Size and Type bytes: dispatch is by type and
// the size rule belongs to the dispatcher (requiredSize), which must be able to
// report a wrong size before any field is read. Texts come back as UTF-8 with
// the simulator's caret codes decoded.
//
// Field names are the protocol's published ones.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace pm::insim {

// What differs between generations of the protocol: InSim 4 (LFS 0.5Z), 9
// (0.7A to 0.7F) and 10 (0.8B on). Every packet is built and read through
// one of these; a packet's layouts for all generations sit side by side in
// its builder and reader, never in a second set of packets.
struct WireGeneration {
    int version;         // InSimVer: what IS_ISI byte 8 asks for
    int sizeUnit;        // bytes counted by one unit of the Size byte
    int startOrderSlots; // PLIDs in an IS_REO
    int mstTextWidth;    // IS_MST Msg
    int mtcTextWidth;    // IS_MTC Text: its width, or at most this when variable
    int btnTextWidth;    // IS_BTN Text: the same
    int msoTextWidth;    // IS_MSO Msg: the same
    bool variableTexts;  // IS_MTC, IS_MSO and IS_BTN carry only their text, to a multiple of 4
    bool bfnClickMax;    // IS_BFN byte 6 is ClickMax and byte 7 Inst (else Inst, spare)
    int maxPacket;       // bytes

    constexpr int sizeByte(int length) const { return length / sizeUnit; }
    constexpr int lengthOf(int sizeByte) const { return sizeByte * sizeUnit; }
    // A variable text field: the text's bytes and a terminating zero,
    // rounded up to a multiple of four and cut at the field's largest size.
    constexpr int variableField(int textBytes, int widest) const {
        const int padded = (textBytes + 1 + 3) / 4 * 4;
        return padded < widest ? padded : widest;
    }
    bool operator==(const WireGeneration&) const = default;
};

inline constexpr WireGeneration kWire4{4, 1, 32, 64, 64, 240, 128, false, false, 252};
inline constexpr WireGeneration kWire9{9, 4, 40, 64, 128, 240, 128, true, true, 1020};
inline constexpr WireGeneration kWire10{10, 4, 48, 64, 128, 240, 128, true, true, 1020};
// The most start-order slots any generation has.
inline constexpr int kMaxStartOrderSlots = 48;
// The generation with this InSimVer, or nullptr when we speak no such one.
const WireGeneration* wireForVersion(int version);

// The generation whose IS_ISI is 44 bytes and whose Size byte counts bytes;
// what every builder and reader speaks unless told otherwise.
inline constexpr const WireGeneration& kFixedSizeWire = kWire4;
inline constexpr const WireGeneration& kWire = kWire4;

// Packet types (header byte 1).
inline constexpr std::uint8_t ISP_ISI = 1;
inline constexpr std::uint8_t ISP_VER = 2;
inline constexpr std::uint8_t ISP_TINY = 3;
inline constexpr std::uint8_t ISP_SMALL = 4;
inline constexpr std::uint8_t ISP_STA = 5;
inline constexpr std::uint8_t ISP_ISM = 10;
inline constexpr std::uint8_t ISP_MSO = 11;
inline constexpr std::uint8_t ISP_MST = 13;
inline constexpr std::uint8_t ISP_MTC = 14;
inline constexpr std::uint8_t ISP_VTN = 16;
inline constexpr std::uint8_t ISP_RST = 17;
inline constexpr std::uint8_t ISP_NCN = 18;
inline constexpr std::uint8_t ISP_CNL = 19;
inline constexpr std::uint8_t ISP_NPL = 21;
inline constexpr std::uint8_t ISP_PLL = 23;
inline constexpr std::uint8_t ISP_LAP = 24;
inline constexpr std::uint8_t ISP_RES = 35;
inline constexpr std::uint8_t ISP_REO = 36;
inline constexpr std::uint8_t ISP_BFN = 42;
inline constexpr std::uint8_t ISP_BTN = 45;
inline constexpr std::uint8_t ISP_BTC = 46;

// IS_TINY subtypes.
inline constexpr std::uint8_t TINY_NONE = 0; // keep-alive, and the reply to it
inline constexpr std::uint8_t TINY_VER = 1;
inline constexpr std::uint8_t TINY_CLOSE = 2;
inline constexpr std::uint8_t TINY_REPLY = 4;
inline constexpr std::uint8_t TINY_SST = 7;
inline constexpr std::uint8_t TINY_ISM = 10;
inline constexpr std::uint8_t TINY_NCN = 13;
inline constexpr std::uint8_t TINY_NPL = 14;

// IS_SMALL subtype: a vote's action is about to be carried out.
inline constexpr std::uint8_t SMALL_VTA = 3;

// Vote actions (IS_SMALL SMALL_VTA value, IS_VTN Action).
inline constexpr std::uint8_t VOTE_NONE = 0;
inline constexpr std::uint8_t VOTE_END = 1;
inline constexpr std::uint8_t VOTE_RESTART = 2;
inline constexpr std::uint8_t VOTE_QUALIFY = 3;

// IS_MSO UserType: who wrote the message. Only the user's own lines, plain
// or hidden behind the client's prefix, are what someone typed.
inline constexpr std::uint8_t MSO_SYSTEM = 0;
inline constexpr std::uint8_t MSO_USER = 1;
inline constexpr std::uint8_t MSO_PREFIX = 2;
inline constexpr std::uint8_t MSO_O = 3;

// IS_BFN subtypes.
inline constexpr std::uint8_t BFN_DEL_BTN = 0;
inline constexpr std::uint8_t BFN_CLEAR = 1;

// IS_BTC click flags. The client compares the whole byte, so only these
// combinations mean anything to it.
inline constexpr std::uint8_t ISB_LMB = 1;
inline constexpr std::uint8_t ISB_RMB = 2;
inline constexpr std::uint8_t ISB_CTRL = 4;
inline constexpr std::uint8_t ISB_SHIFT = 8;
inline constexpr std::uint8_t kClickShiftLeft = ISB_SHIFT | ISB_LMB;  // 9
inline constexpr std::uint8_t kClickShiftRight = ISB_SHIFT | ISB_RMB; // 10

// IS_BTN button style bits.
inline constexpr std::uint8_t ISB_CLICK = 8;
inline constexpr std::uint8_t ISB_LIGHT = 16;
inline constexpr std::uint8_t ISB_DARK = 32;
inline constexpr std::uint8_t ISB_LEFT = 64;

// The first four bytes of every packet, as the receiver keeps them. Size is
// the raw Size byte (kWire.lengthOf gives bytes). Needs four bytes.
struct PacketHeader {
    std::int32_t Size = 0;
    std::int32_t Type = 0;
    std::uint8_t ReqI = 0;
    std::int32_t SubT = 0;
    bool operator==(const PacketHeader&) const = default;
};
std::optional<PacketHeader> readHeader(std::span<const std::uint8_t> datagram);

// The Size byte an arriving packet of this type must carry; nullopt for types
// whose size is not checked (and for types never received).
std::optional<int> requiredSize(int type, const WireGeneration& wire = kWire4);
// "Wrong Packet size for ISP_NCN" and the like; empty when requiredSize is.
std::string_view wrongSizeText(int type);
// "ISP_NCN" and the like; empty for a type this system does not know.
std::string_view packetName(int type);

// ---- Sent by the client

struct IsIsi {
    static constexpr std::uint8_t kType = ISP_ISI;
    static constexpr int kLength = 44;
    std::uint8_t ReqI = 1; // asks for an IS_VER in reply
    std::uint16_t UDPPort = 0;
    std::uint16_t Flags = 16;
    std::uint8_t InSimVer = 0; // 0: an old client, as every InSim 4 program sends
    std::string Prefix = "*";
    std::uint16_t Interval = 0;
    std::string Admin;
    std::string IName = "Brenhollow ISC";

    std::vector<std::uint8_t> toBytes(const WireGeneration& wire = kWire4) const;
    static std::optional<IsIsi> fromBytes(std::span<const std::uint8_t> datagram);
    bool operator==(const IsIsi&) const = default;
};

struct IsMst {
    static constexpr std::uint8_t kType = ISP_MST;
    static constexpr int kLength = 4 + kWire.mstTextWidth;
    std::uint8_t ReqI = 0;
    std::string Msg;

    std::vector<std::uint8_t> toBytes(const WireGeneration& wire = kWire4) const;
    static std::optional<IsMst> fromBytes(std::span<const std::uint8_t> datagram);
    bool operator==(const IsMst&) const = default;
};

struct IsMtc {
    static constexpr std::uint8_t kType = ISP_MTC;
    static constexpr int kLength = 8 + kWire.mtcTextWidth; // InSim 4; later ones vary
    std::uint8_t ReqI = 0;
    std::uint8_t Sound = 0; // from InSim 9 on; InSim 4 has a zero byte there
    std::uint8_t UCID = 0;
    std::uint8_t PLID = 0; // 0: address the connection
    std::string Text;

    std::vector<std::uint8_t> toBytes(const WireGeneration& wire = kWire4) const;
    static std::optional<IsMtc> fromBytes(std::span<const std::uint8_t> datagram,
                                      const WireGeneration& wire = kWire4);
    bool operator==(const IsMtc&) const = default;
};

struct IsBfn {
    static constexpr std::uint8_t kType = ISP_BFN;
    static constexpr int kLength = 8;
    std::uint8_t ReqI = 0;
    std::uint8_t SubT = BFN_DEL_BTN;
    std::uint8_t UCID = 0;
    std::uint8_t ClickID = 0;
    std::uint8_t ClickMax = 0; // from InSim 9 on: the last of a range when above ClickID

    // ClickID 0 cannot name a button, so it asks to clear all of this
    // client's buttons on the connection.
    static IsBfn forButton(std::uint8_t ucid, std::uint8_t clickId);

    std::vector<std::uint8_t> toBytes(const WireGeneration& wire = kWire4) const;
    static std::optional<IsBfn> fromBytes(std::span<const std::uint8_t> datagram,
                                      const WireGeneration& wire = kWire4);
    bool operator==(const IsBfn&) const = default;
};

struct IsBtn {
    static constexpr std::uint8_t kType = ISP_BTN;
    // InSim 4: always the full length, whatever the text; later ones vary.
    static constexpr int kLength = 12 + kWire.btnTextWidth;
    std::uint8_t ReqI = 1;
    std::uint8_t UCID = 0;
    std::uint8_t ClickID = 0;
    std::uint8_t Inst = 0;
    std::uint8_t BStyle = 0;
    std::uint8_t TypeIn = 0;
    std::uint8_t L = 0;
    std::uint8_t T = 0;
    std::uint8_t W = 0;
    std::uint8_t H = 0;
    std::string Text;

    std::vector<std::uint8_t> toBytes(const WireGeneration& wire = kWire4) const;
    static std::optional<IsBtn> fromBytes(std::span<const std::uint8_t> datagram,
                                      const WireGeneration& wire = kWire4);
    bool operator==(const IsBtn&) const = default;
};

// ---- Both directions

struct IsTiny {
    static constexpr std::uint8_t kType = ISP_TINY;
    static constexpr int kLength = 4;
    // Every IS_TINY the client sends carries ReqI 1, keep-alive replies too;
    // the server's own keep-alives carry 0.
    std::uint8_t ReqI = 1;
    std::uint8_t SubT = TINY_NONE;

    std::vector<std::uint8_t> toBytes(const WireGeneration& wire = kWire4) const;
    static std::optional<IsTiny> fromBytes(std::span<const std::uint8_t> datagram);
    bool operator==(const IsTiny&) const = default;
};

// The client sends the start order and receives the server's race order; it
// hands received ones on as raw bytes.
struct IsReo {
    static constexpr std::uint8_t kType = ISP_REO;
    static constexpr int kLength = 4 + kWire.startOrderSlots; // InSim 4
    std::uint8_t ReqI = 0;
    std::uint8_t NumP = 0;
    // As many as the largest generation has; a generation sends its own
    // number of slots. Slots behind NumP stay 0.
    std::array<std::uint8_t, kMaxStartOrderSlots> PLID{};

    static constexpr int lengthFor(const WireGeneration& wire) { return 4 + wire.startOrderSlots; }

    std::vector<std::uint8_t> toBytes(const WireGeneration& wire = kWire4) const;
    static std::optional<IsReo> fromBytes(std::span<const std::uint8_t> datagram,
                                      const WireGeneration& wire = kWire4);
    bool operator==(const IsReo&) const = default;
};

// ---- Received by the client

struct IsVer {
    static constexpr std::uint8_t kType = ISP_VER;
    static constexpr int kLength = 20;
    std::uint8_t ReqI = 0;
    std::string Version;
    std::string Product;
    std::uint16_t InSimVer = 0;

    std::vector<std::uint8_t> toBytes(const WireGeneration& wire = kWire4) const;
    static std::optional<IsVer> fromBytes(std::span<const std::uint8_t> datagram,
                                      const WireGeneration& wire = kWire4);
    bool operator==(const IsVer&) const = default;
};

struct IsSmall {
    static constexpr std::uint8_t kType = ISP_SMALL;
    static constexpr int kLength = 8;
    std::uint8_t ReqI = 0;
    std::uint8_t SubT = 0;
    std::uint32_t UVal = 0; // SMALL_VTA: the vote action, in the low byte

    std::vector<std::uint8_t> toBytes(const WireGeneration& wire = kWire4) const;
    static std::optional<IsSmall> fromBytes(std::span<const std::uint8_t> datagram);
    bool operator==(const IsSmall&) const = default;
};

struct IsSta {
    static constexpr std::uint8_t kType = ISP_STA;
    static constexpr int kLength = 28;
    std::uint8_t ReqI = 0;
    float ReplaySpeed = 1.0f;
    std::uint16_t Flags = 0;
    std::uint8_t InGameCam = 0;
    std::uint8_t ViewPLID = 0;
    std::uint8_t NumP = 0;
    std::uint8_t NumConns = 0;
    std::uint8_t NumFinished = 0;
    std::uint8_t RaceInProg = 0; // 0 no race, 1 race, 2 qualifying
    std::uint8_t QualMins = 0;
    std::uint8_t RaceLaps = 0;
    std::string Track;
    std::uint8_t Weather = 0;
    std::uint8_t Wind = 0;

    std::vector<std::uint8_t> toBytes(const WireGeneration& wire = kWire4) const;
    static std::optional<IsSta> fromBytes(std::span<const std::uint8_t> datagram);
    bool operator==(const IsSta&) const = default;
};

struct IsIsm {
    static constexpr std::uint8_t kType = ISP_ISM;
    static constexpr int kLength = 40;
    std::uint8_t ReqI = 0;
    std::uint8_t Host = 0; // 1: the server is the host
    std::string HName;

    std::vector<std::uint8_t> toBytes(const WireGeneration& wire = kWire4) const;
    static std::optional<IsIsm> fromBytes(std::span<const std::uint8_t> datagram);
    bool operator==(const IsIsm&) const = default;
};

struct IsMso {
    static constexpr std::uint8_t kType = ISP_MSO;
    static constexpr int kLength = 136; // InSim 4; later ones vary
    std::uint8_t ReqI = 0;
    std::uint8_t UCID = 0;
    std::uint8_t PLID = 0;
    std::uint8_t UserType = 0;
    std::uint8_t TextStart = 0;
    std::string Msg; // the sender's name and message as the server formats them

    std::vector<std::uint8_t> toBytes(const WireGeneration& wire = kWire4) const;
    static std::optional<IsMso> fromBytes(std::span<const std::uint8_t> datagram,
                                      const WireGeneration& wire = kWire4);
    bool operator==(const IsMso&) const = default;
};

struct IsVtn {
    static constexpr std::uint8_t kType = ISP_VTN;
    static constexpr int kLength = 8;
    std::uint8_t ReqI = 0;
    std::uint8_t UCID = 0;
    std::uint8_t Action = VOTE_NONE;

    std::vector<std::uint8_t> toBytes(const WireGeneration& wire = kWire4) const;
    static std::optional<IsVtn> fromBytes(std::span<const std::uint8_t> datagram);
    bool operator==(const IsVtn&) const = default;
};

// The client reads only the size of IS_RST and IS_LAP; the fields are here so
// that the simulated server can send believable ones.
struct IsRst {
    static constexpr std::uint8_t kType = ISP_RST;
    static constexpr int kLength = 28;
    std::uint8_t ReqI = 0;
    std::uint8_t RaceLaps = 0;
    std::uint8_t QualMins = 0;
    std::uint8_t NumP = 0;
    std::string Track;
    std::uint8_t Weather = 0;
    std::uint8_t Wind = 0;
    std::uint16_t Flags = 0;
    std::uint16_t NumNodes = 0;
    std::uint16_t Finish = 0;
    std::uint16_t Split1 = 0;
    std::uint16_t Split2 = 0;
    std::uint16_t Split3 = 0;

    std::vector<std::uint8_t> toBytes(const WireGeneration& wire = kWire4) const;
    static std::optional<IsRst> fromBytes(std::span<const std::uint8_t> datagram);
    bool operator==(const IsRst&) const = default;
};

struct IsLap {
    static constexpr std::uint8_t kType = ISP_LAP;
    static constexpr int kLength = 20;
    std::uint8_t ReqI = 0;
    std::uint8_t PLID = 0;
    std::uint32_t LTime = 0; // ms
    std::uint32_t ETime = 0; // ms
    std::uint16_t LapsDone = 0;
    std::uint16_t Flags = 0;
    std::uint8_t Penalty = 0;
    std::uint8_t NumStops = 0;

    std::vector<std::uint8_t> toBytes(const WireGeneration& wire = kWire4) const;
    static std::optional<IsLap> fromBytes(std::span<const std::uint8_t> datagram);
    bool operator==(const IsLap&) const = default;
};

struct IsNcn {
    static constexpr std::uint8_t kType = ISP_NCN;
    static constexpr int kLength = 56;
    std::uint8_t ReqI = 0;
    std::uint8_t UCID = 0;
    std::string UName;
    std::string PName;
    std::uint8_t Admin = 0; // 1: administrator
    std::uint8_t Total = 0;
    std::uint8_t Flags = 0;

    std::vector<std::uint8_t> toBytes(const WireGeneration& wire = kWire4) const;
    static std::optional<IsNcn> fromBytes(std::span<const std::uint8_t> datagram);
    bool operator==(const IsNcn&) const = default;
};

struct IsCnl {
    static constexpr std::uint8_t kType = ISP_CNL;
    static constexpr int kLength = 8;
    std::uint8_t ReqI = 0;
    std::uint8_t UCID = 0;
    std::uint8_t Reason = 0;
    std::uint8_t Total = 0;

    std::vector<std::uint8_t> toBytes(const WireGeneration& wire = kWire4) const;
    static std::optional<IsCnl> fromBytes(std::span<const std::uint8_t> datagram);
    bool operator==(const IsCnl&) const = default;
};

struct IsNpl {
    static constexpr std::uint8_t kType = ISP_NPL;
    static constexpr int kLength = 76;
    std::uint8_t ReqI = 0;
    std::uint8_t PLID = 0;
    std::uint8_t UCID = 0;
    std::uint8_t PType = 0;
    std::uint16_t Flags = 0;
    std::string PName;
    std::string Plate;
    std::string CName;
    std::string SName;
    std::array<std::uint8_t, 4> Tyres{};
    std::uint8_t H_Mass = 0;
    std::uint8_t H_TRes = 0;
    std::uint8_t Model = 0;
    std::uint8_t Pass = 0;

    std::vector<std::uint8_t> toBytes(const WireGeneration& wire = kWire4) const;
    static std::optional<IsNpl> fromBytes(std::span<const std::uint8_t> datagram);
    bool operator==(const IsNpl&) const = default;
};

struct IsPll {
    static constexpr std::uint8_t kType = ISP_PLL;
    static constexpr int kLength = 4;
    std::uint8_t ReqI = 0;
    std::uint8_t PLID = 0;

    std::vector<std::uint8_t> toBytes(const WireGeneration& wire = kWire4) const;
    static std::optional<IsPll> fromBytes(std::span<const std::uint8_t> datagram);
    bool operator==(const IsPll&) const = default;
};

// The client hands a received IS_RES on as raw bytes.
struct IsRes {
    static constexpr std::uint8_t kType = ISP_RES;
    static constexpr int kLength = 84;
    std::uint8_t ReqI = 0;
    std::uint8_t PLID = 0;
    std::string UName;
    std::string PName;
    std::string Plate;
    std::string CName;
    std::uint32_t TTime = 0; // ms
    std::uint32_t BTime = 0; // ms
    std::uint8_t SpA = 0;
    std::uint8_t NumStops = 0;
    std::uint8_t Confirm = 0;
    std::uint8_t SpB = 0;
    std::uint16_t LapsDone = 0;
    std::uint16_t Flags = 0;
    std::uint8_t ResultNum = 0; // finishing position counted from 0
    std::uint8_t NumRes = 0;
    std::uint16_t PSeconds = 0;

    std::vector<std::uint8_t> toBytes(const WireGeneration& wire = kWire4) const;
    static std::optional<IsRes> fromBytes(std::span<const std::uint8_t> datagram);
    bool operator==(const IsRes&) const = default;
};

struct IsBtc {
    static constexpr std::uint8_t kType = ISP_BTC;
    static constexpr int kLength = 8;
    std::uint8_t ReqI = 0;
    std::uint8_t UCID = 0;
    std::uint8_t ClickID = 0;
    std::uint8_t Inst = 0;
    std::uint8_t CFlags = 0;

    std::vector<std::uint8_t> toBytes(const WireGeneration& wire = kWire4) const;
    static std::optional<IsBtc> fromBytes(std::span<const std::uint8_t> datagram);
    bool operator==(const IsBtc&) const = default;
};

} // namespace pm::insim
