#include "insim/Packets.h"

#include <functional>
#include <gtest/gtest.h>

namespace pm::insim {
namespace {

using Bytes = std::vector<std::uint8_t>;

// An expected packet written out from the layout: zeros, then the named bytes.
class Expected {
  public:
    explicit Expected(std::size_t length) : bytes_(length, 0) {}
    Expected& at(std::size_t offset, std::initializer_list<std::uint8_t> values) {
        std::copy(values.begin(), values.end(), bytes_.begin() + offset);
        return *this;
    }
    Expected& text(std::size_t offset, std::string_view ascii) {
        std::copy(ascii.begin(), ascii.end(), bytes_.begin() + offset);
        return *this;
    }
    operator Bytes() const { return bytes_; }

  private:
    Bytes bytes_;
};

TEST(Packets, IsiGolden) {
    IsIsi isi;
    isi.UDPPort = 56;
    const Bytes expected{
        44,  1,   1,   0,   56,  0,   16,  0,   0,   42,  0,   0,                   //
        0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0, 0, // Admin
        'B', 'r', 'e', 'n', 'h', 'o', 'l', 'l', 'o', 'w', ' ', 'I', 'S', 'C', 0, 0};
    EXPECT_EQ(isi.toBytes(), expected);
}

TEST(Packets, IsiAdminFillsItsFieldAndStopsThere) {
    IsIsi isi;
    isi.UDPPort = 0x1234;
    isi.Admin = "0123456789abcdefXYZ";
    const Bytes bytes = isi.toBytes();
    EXPECT_EQ(bytes[4], 0x34);
    EXPECT_EQ(bytes[5], 0x12);
    EXPECT_EQ(Bytes(bytes.begin() + 12, bytes.begin() + 28),
              Bytes(Expected(16).text(0, "0123456789abcdef")));
    EXPECT_EQ(bytes[28], 'B') << "the admin text must not run into IName";
}

TEST(Packets, TinyGolden) {
    EXPECT_EQ(IsTiny{.SubT = TINY_SST}.toBytes(), (Bytes{4, 3, 1, 7}));
    EXPECT_EQ((IsTiny{.ReqI = 0, .SubT = TINY_NONE}.toBytes()), (Bytes{4, 3, 0, 0}));
}

TEST(Packets, BtnIsAlwaysFullLength) {
    IsBtn btn;
    btn.UCID = 3;
    btn.ClickID = 7;
    btn.BStyle = ISB_CLICK | ISB_DARK;
    btn.L = 10;
    btn.T = 20;
    btn.W = 30;
    btn.H = 5;
    const auto header = {std::uint8_t{252}, std::uint8_t{45}, std::uint8_t{1},  std::uint8_t{3},
                         std::uint8_t{7},   std::uint8_t{0},  std::uint8_t{40}, std::uint8_t{0},
                         std::uint8_t{10},  std::uint8_t{20}, std::uint8_t{30}, std::uint8_t{5}};

    btn.Text = "Hi";
    EXPECT_EQ(btn.toBytes(), Bytes(Expected(252).at(0, header).text(12, "Hi")));

    const std::string full(240, 'x');
    const Bytes filled = Expected(252).at(0, header).text(12, full);
    btn.Text = full;
    EXPECT_EQ(btn.toBytes(), filled);
    btn.Text = full + "y";
    EXPECT_EQ(btn.toBytes(), filled) << "the 241st character is dropped";
}

TEST(Packets, MstTextIsCutAtSixtyFourCharacters) {
    const std::string full(64, 'm');
    const Bytes filled = Expected(68).at(0, {68, 13, 0, 0}).text(4, full);
    EXPECT_EQ(IsMst{.Msg = full}.toBytes(), filled);
    EXPECT_EQ(IsMst{.Msg = full + "!"}.toBytes(), filled);
}

TEST(Packets, MtcGolden) {
    IsMtc mtc{.UCID = 4, .PLID = 9, .Text = "P1: go"};
    EXPECT_EQ(mtc.toBytes(),
              Bytes(Expected(72).at(0, {72, 14, 0, 0, 4, 9, 0, 0}).text(8, "P1: go")));
}

TEST(Packets, BfnClearsForClickIdZeroAndDeletesOtherwise) {
    EXPECT_EQ(IsBfn::forButton(5, 0).toBytes(), (Bytes{8, 42, 0, BFN_CLEAR, 5, 0, 0, 0}));
    EXPECT_EQ(IsBfn::forButton(5, 7).toBytes(), (Bytes{8, 42, 0, BFN_DEL_BTN, 5, 7, 0, 0}));
}

TEST(Packets, ReoGolden) {
    IsReo reo;
    reo.NumP = 3;
    reo.PLID[0] = 9;
    reo.PLID[1] = 4;
    reo.PLID[2] = 7;
    EXPECT_EQ(reo.toBytes(), Bytes(Expected(36).at(0, {36, 36, 0, 3, 9, 4, 7})));

    IsReo fullGrid;
    fullGrid.NumP = 32;
    fullGrid.PLID.fill(200);
    fullGrid.PLID[31] = 31;
    const Bytes bytes = fullGrid.toBytes();
    ASSERT_EQ(bytes.size(), 36u);
    EXPECT_EQ(bytes[35], 31);
}

// The packets the client reads, built with distinct values and compared with
// the bytes the layout puts at each offset; a shifted field fails here even
// though build-then-read would still agree with itself.
TEST(Packets, ReceivedLayoutsGolden) {
    struct Row {
        const char* name;
        Bytes built;
        Bytes expected;
    };
    IsNpl npl{.PLID = 12,
              .UCID = 5,
              .PType = 2,
              .Flags = 0x0201,
              .PName = "Driver",
              .Plate = "PLATE123",
              .CName = "XRT",
              .SName = "skin",
              .Tyres = {1, 2, 3, 4},
              .H_Mass = 20,
              .H_TRes = 30,
              .Model = 6,
              .Pass = 1};
    IsRes res{.PLID = 12,
              .UName = "alice",
              .PName = "Al",
              .Plate = "AB",
              .CName = "FZR",
              .TTime = 0x01020304,
              .BTime = 0x0A0B0C0D,
              .SpA = 0,
              .NumStops = 2,
              .Confirm = 4,
              .SpB = 0,
              .LapsDone = 0x0105,
              .Flags = 0x0809,
              .ResultNum = 0,
              .NumRes = 7,
              .PSeconds = 0x0302};
    const Row rows[] = {
        {"VER", IsVer{.ReqI = 1, .Version = "0.6B", .Product = "S2", .InSimVer = 4}.toBytes(),
         Expected(20).at(0, {20, 2, 1, 0}).text(4, "0.6B").text(12, "S2").at(18, {4, 0})},
        {"SMALL", IsSmall{.SubT = SMALL_VTA, .UVal = VOTE_RESTART}.toBytes(),
         Expected(8).at(0, {8, 4, 0, 3, 2})},
        {"STA",
         IsSta{.ReplaySpeed = 1.0f,
               .Flags = 0x0102,
               .InGameCam = 3,
               .ViewPLID = 4,
               .NumP = 5,
               .NumConns = 6,
               .NumFinished = 7,
               .RaceInProg = 2,
               .QualMins = 9,
               .RaceLaps = 10,
               .Track = "BL1R",
               .Weather = 11,
               .Wind = 12}
             .toBytes(),
         Expected(28)
             .at(0, {28, 5, 0, 0, 0x00, 0x00, 0x80, 0x3F, 0x02, 0x01, 3, 4, 5, 6, 7, 2, 9, 10})
             .text(20, "BL1R")
             .at(26, {11, 12})},
        {"ISM", IsIsm{.Host = 1, .HName = "Paddock"}.toBytes(),
         Expected(40).at(0, {40, 10, 0, 0, 1}).text(8, "Paddock")},
        {"MSO",
         IsMso{.UCID = 3, .PLID = 4, .UserType = 1, .TextStart = 6, .Msg = "Al : *reorder"}
             .toBytes(),
         Expected(136).at(0, {136, 11, 0, 0, 3, 4, 1, 6}).text(8, "Al : *reorder")},
        {"VTN", IsVtn{.UCID = 6, .Action = VOTE_QUALIFY}.toBytes(),
         Expected(8).at(0, {8, 16, 0, 0, 6, 3})},
        {"RST",
         IsRst{.RaceLaps = 5,
               .QualMins = 0,
               .NumP = 8,
               .Track = "AS3",
               .Weather = 1,
               .Wind = 2,
               .Flags = 0x0102,
               .NumNodes = 0x0304,
               .Finish = 0x0506,
               .Split1 = 7,
               .Split2 = 8,
               .Split3 = 9}
             .toBytes(),
         Expected(28)
             .at(0, {28, 17, 0, 0, 5, 0, 8, 0})
             .text(8, "AS3")
             .at(14, {1, 2, 2, 1, 4, 3, 6, 5, 7, 0, 8, 0, 9, 0})},
        {"LAP",
         IsLap{.PLID = 4,
               .LTime = 0x01020304,
               .ETime = 0x05060708,
               .LapsDone = 3,
               .Flags = 0x0102,
               .Penalty = 1,
               .NumStops = 2}
             .toBytes(),
         Expected(20).at(0, {20, 24, 0, 4, 4, 3, 2, 1, 8, 7, 6, 5, 3, 0, 2, 1, 0, 1, 2, 0})},
        {"NCN",
         IsNcn{.UCID = 5, .UName = "alice", .PName = "Al", .Admin = 1, .Total = 9, .Flags = 2}
             .toBytes(),
         Expected(56).at(0, {56, 18, 0, 5}).text(4, "alice").text(28, "Al").at(52, {1, 9, 2})},
        {"CNL", IsCnl{.UCID = 5, .Reason = 1, .Total = 8}.toBytes(),
         Expected(8).at(0, {8, 19, 0, 5, 1, 8})},
        {"NPL", npl.toBytes(),
         Expected(76)
             .at(0, {76, 21, 0, 12, 5, 2, 0x01, 0x02})
             .text(8, "Driver")
             .text(32, "PLATE123")
             .text(40, "XRT")
             .text(44, "skin")
             .at(60, {1, 2, 3, 4, 20, 30, 6, 1})},
        {"PLL", IsPll{.PLID = 12}.toBytes(), Bytes{4, 23, 0, 12}},
        {"RES", res.toBytes(),
         Expected(84)
             .at(0, {84, 35, 0, 12})
             .text(4, "alice")
             .text(28, "Al")
             .text(52, "AB")
             .text(60, "FZR")
             .at(64, {4, 3, 2, 1, 0x0D, 0x0C, 0x0B, 0x0A, 0, 2, 4, 0, 5, 1, 9, 8, 0, 7, 2, 3})},
        {"BTC", IsBtc{.UCID = 3, .ClickID = 40, .Inst = 0, .CFlags = kClickShiftRight}.toBytes(),
         Bytes{8, 46, 0, 3, 40, 0, 10, 0}},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(row.built, row.expected) << row.name;
    }
}

template <typename P> void expectRoundTrip(const P& packet) {
    const Bytes bytes = packet.toBytes();
    ASSERT_EQ(bytes.size(), static_cast<std::size_t>(P::kLength));
    EXPECT_EQ(bytes[0], P::kLength);
    EXPECT_EQ(bytes[1], P::kType);
    const auto back = P::fromBytes(bytes);
    ASSERT_TRUE(back.has_value());
    EXPECT_TRUE(*back == packet) << "packet type " << int(P::kType);
}

TEST(Packets, EveryPacketReadsBackWhatWasBuilt) {
    // Texts as wide as their fields, and characters from the upper half of the
    // code page, make a width or conversion slip visible.
    expectRoundTrip(IsIsi{.UDPPort = 63000, .Admin = "pässwörd16chars!"});
    expectRoundTrip(IsMst{.Msg = std::string(64, 'q')});
    expectRoundTrip(IsMtc{.UCID = 1, .PLID = 2, .Text = "Start position 3 \u20AC"});
    expectRoundTrip(IsBfn::forButton(4, 0));
    expectRoundTrip(IsBtn{.UCID = 2,
                          .ClickID = 9,
                          .BStyle = ISB_LIGHT | ISB_LEFT,
                          .L = 1,
                          .T = 2,
                          .W = 3,
                          .H = 4,
                          .Text = std::string(240, 'b')});
    expectRoundTrip(IsTiny{.ReqI = 0, .SubT = TINY_REPLY});
    IsReo reo{.NumP = 2};
    reo.PLID[0] = 5;
    reo.PLID[31] = 6;
    expectRoundTrip(reo);
    expectRoundTrip(IsVer{.ReqI = 1, .Version = "0.6B", .Product = "DEMO", .InSimVer = 4});
    expectRoundTrip(IsSmall{.SubT = SMALL_VTA, .UVal = 0x01020302});
    expectRoundTrip(IsSta{.ReplaySpeed = 0.5f,
                          .Flags = 0xFFFF,
                          .NumP = 3,
                          .RaceInProg = 1,
                          .RaceLaps = 5,
                          .Track = "FE2X",
                          .Weather = 2,
                          .Wind = 1});
    expectRoundTrip(IsIsm{.Host = 1, .HName = std::string(32, 'h')});
    expectRoundTrip(IsMso{.UCID = 7, .Msg = "Jörg : *custom"});
    expectRoundTrip(IsVtn{.UCID = 3, .Action = VOTE_END});
    expectRoundTrip(IsRst{.RaceLaps = 3, .NumP = 4, .Track = "SO4", .Split3 = 65535});
    expectRoundTrip(
        IsLap{.PLID = 1, .LTime = 0xFFFFFFFF, .ETime = 1, .LapsDone = 9, .NumStops = 1});
    expectRoundTrip(
        IsNcn{.UCID = 254, .UName = std::string(24, 'u'), .PName = "Zo\u00EB", .Admin = 1});
    expectRoundTrip(IsCnl{.UCID = 8, .Reason = 2, .Total = 3});
    expectRoundTrip(IsNpl{.PLID = 3,
                          .UCID = 8,
                          .Flags = 0x8001,
                          .PName = std::string(24, 'p'),
                          .Plate = std::string(8, 'l'),
                          .CName = "XFGT",
                          .SName = std::string(16, 's'),
                          .Tyres = {3, 3, 2, 2},
                          .Pass = 4});
    expectRoundTrip(IsPll{.PLID = 3});
    expectRoundTrip(IsRes{.PLID = 3,
                          .UName = "alice",
                          .PName = "Al",
                          .Plate = "A1",
                          .CName = "RB4",
                          .TTime = 123456,
                          .BTime = 61234,
                          .LapsDone = 5,
                          .ResultNum = 2,
                          .NumRes = 8,
                          .PSeconds = 10});
    expectRoundTrip(IsBtc{.UCID = 2, .ClickID = 50, .CFlags = kClickShiftLeft});
}

TEST(Packets, ReadersDecodeCaretCodes) {
    const Bytes ncn =
        Expected(56).at(0, {56, 18, 0, 5}).text(4, "alice").text(28, "^1John^7 ^aFast");
    const auto parsed = IsNcn::fromBytes(ncn);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->UName, "alice");
    EXPECT_EQ(parsed->PName, "John *Fast");
}

// A datagram that ends inside any field its reader reads is refused whole;
// one that holds every such field is read, whatever it lacks behind them.
TEST(Packets, TruncatedDatagramsAreRefused) {
    struct Row {
        const char* name;
        Bytes full;
        std::size_t needed; // end of the last field read
        std::function<bool(std::span<const std::uint8_t>)> parses;
    };
    auto row = [](const char* name, auto sample, std::size_t needed) {
        using P = decltype(sample);
        return Row{name, sample.toBytes(), needed,
                   [](std::span<const std::uint8_t> d) { return P::fromBytes(d).has_value(); }};
    };
    const Row rows[] = {
        row("ISI", IsIsi{}, 44), row("MST", IsMst{}, 68),  row("MTC", IsMtc{}, 72),
        row("BFN", IsBfn{}, 6),  row("BTN", IsBtn{}, 252), row("TINY", IsTiny{}, 4),
        row("REO", IsReo{}, 36), row("VER", IsVer{}, 20),  row("SMALL", IsSmall{}, 8),
        row("STA", IsSta{}, 28), row("ISM", IsIsm{}, 40),  row("MSO", IsMso{}, 136),
        row("VTN", IsVtn{}, 6),  row("RST", IsRst{}, 28),  row("LAP", IsLap{}, 19),
        row("NCN", IsNcn{}, 55), row("CNL", IsCnl{}, 6),   row("NPL", IsNpl{}, 68),
        row("PLL", IsPll{}, 4),  row("RES", IsRes{}, 84),  row("BTC", IsBtc{}, 7),
    };
    for (const auto& r : rows) {
        const std::span<const std::uint8_t> all(r.full);
        for (std::size_t n = 0; n <= all.size(); ++n) {
            EXPECT_EQ(r.parses(all.first(n)), n >= r.needed)
                << r.name << " cut to " << n << " bytes";
        }
    }
}

TEST(Packets, HeaderNeedsFourBytes) {
    const auto header = readHeader(Bytes{56, 18, 0, 5, 99});
    ASSERT_TRUE(header);
    EXPECT_EQ(*header, (PacketHeader{.Size = 56, .Type = 18, .ReqI = 0, .SubT = 5}));
    EXPECT_FALSE(readHeader(Bytes{56, 18, 0}));
}

TEST(Packets, ArrivalSizeRules) {
    struct Row {
        int type;
        std::optional<int> size;
        std::string_view text;
    };
    const Row rows[] = {
        {ISP_VER, 20, "Wrong Packet size for ISP_VER"},
        {ISP_SMALL, 8, "Wrong Packet size for ISP_SMALL"},
        {ISP_STA, 28, "Wrong Packet size for ISP_STA"},
        {ISP_ISM, 40, "Wrong Packet size for ISP_ISM"},
        {ISP_MSO, 136, "Wrong Packet size for ISP_MSO"},
        {ISP_RST, 28, "Wrong Packet size for ISP_RST"},
        {ISP_NCN, 56, "Wrong Packet size for ISP_NCN"},
        {ISP_CNL, 8, "Wrong Packet size for ISP_CNL"},
        {ISP_NPL, 76, "Wrong Packet size for ISP_NPL"},
        {ISP_LAP, 20, "Wrong Packet size for ISP_LAP"},
        {ISP_RES, 84, "Wrong Packet size for ISP_RES"},
        {ISP_TINY, std::nullopt, ""},
        {ISP_VTN, std::nullopt, ""},
        {ISP_PLL, std::nullopt, ""},
        {ISP_REO, std::nullopt, ""},
        {ISP_BTC, std::nullopt, ""},
        {ISP_ISI, std::nullopt, ""},
        {99, std::nullopt, ""},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(requiredSize(row.type), row.size) << "type " << row.type;
        EXPECT_EQ(wrongSizeText(row.type), row.text) << "type " << row.type;
    }
}

TEST(Packets, Names) {
    EXPECT_EQ(packetName(ISP_NCN), "ISP_NCN");
    EXPECT_EQ(packetName(ISP_BTC), "ISP_BTC");
    EXPECT_EQ(packetName(0), "");
    EXPECT_EQ(packetName(255), "");
}

} // namespace
} // namespace pm::insim
