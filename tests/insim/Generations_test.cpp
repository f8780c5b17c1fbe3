// The wire of InSim 9 (LFS 0.7) and 10 (LFS 0.8B on), written out from the
// published tables: the Size byte counts units of four, texts of chat and
// buttons vary in length, IS_BFN carries ClickMax, IS_REO has 40 or 48
// slots. InSim 4's bytes are pinned in Packets_test.

#include <gtest/gtest.h>

#include "insim/Generation.h"
#include "insim/Packets.h"

namespace pm::insim {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes zeros(std::size_t n, std::initializer_list<std::pair<std::size_t, std::uint8_t>> set,
            std::pair<std::size_t, std::string_view> text = {0, ""}) {
    Bytes b(n, 0);
    for (const auto& [at, v] : set) {
        b.at(at) = v;
    }
    // A text longer than the packet is cut at its end, as a field without a terminator.
    const std::size_t room = n > text.first ? n - text.first : 0;
    std::copy_n(text.second.begin(), std::min(room, text.second.size()), b.begin() + static_cast<long>(text.first));
    return b;
}

struct Golden {
    const char* name;
    Bytes actual;
    Bytes expected;
};

void expectAll(const std::vector<Golden>& rows) {
    for (const auto& row : rows) {
        EXPECT_EQ(row.actual, row.expected) << row.name;
        EXPECT_EQ(row.actual.size() % 4, 0u) << row.name;
    }
}

// Same layouts as InSim 4; only the Size byte (and IS_ISI's InSimVer, IS_VER's
// InSimVer byte) tell the generations apart.
TEST(Generations, FixedLayoutsCountTheirSizeInFours) {
    for (const WireGeneration* wire : {&kWire9, &kWire10}) {
        const auto v = static_cast<std::uint8_t>(wire->version);
        IsIsi isi;
        isi.UDPPort = 56;
        isi.InSimVer = v;
        isi.IName = "PM";
        IsNpl npl;
        npl.PLID = 12;
        npl.UCID = 5;
        IsRes res;
        res.PLID = 0; // a driver who left (from 0.6V on)
        res.UName = "al";
        res.ResultNum = 1;
        expectAll({
            {"ISI", isi.toBytes(*wire), zeros(44, {{0, 11}, {1, 1}, {2, 1}, {4, 56}, {6, 16}, {8, v}, {9, '*'}},
                                              {28, "PM"})},
            {"TINY", IsTiny{.SubT = TINY_SST}.toBytes(*wire), Bytes{1, 3, 1, 7}},
            {"SMALL", IsSmall{0, SMALL_VTA, VOTE_RESTART}.toBytes(*wire), Bytes{2, 4, 0, 3, 2, 0, 0, 0}},
            {"VER", IsVer{.Version = "0.8C", .Product = "S3", .InSimVer = v}.toBytes(*wire),
             zeros(20, {{0, 5}, {1, 2}, {12, 'S'}, {13, '3'}, {18, v}}, {4, "0.8C"})},
            {"ISM", IsIsm{.Host = 1, .HName = "H"}.toBytes(*wire), zeros(40, {{0, 10}, {1, 10}, {4, 1}, {8, 'H'}})},
            {"MST", IsMst{.Msg = "/restart"}.toBytes(*wire), zeros(68, {{0, 17}, {1, 13}}, {4, "/restart"})},
            {"NCN", IsNcn{.UCID = 5, .UName = "al", .PName = "", .Admin = 1}.toBytes(*wire),
             zeros(56, {{0, 14}, {1, 18}, {3, 5}, {52, 1}}, {4, "al"})},
            {"CNL", IsCnl{.UCID = 5, .Reason = 1, .Total = 8}.toBytes(*wire), Bytes{2, 19, 0, 5, 1, 8, 0, 0}},
            {"NPL", npl.toBytes(*wire), zeros(76, {{0, 19}, {1, 21}, {3, 12}, {4, 5}})},
            {"PLL", IsPll{.PLID = 12}.toBytes(*wire), Bytes{1, 23, 0, 12}},
            {"RES", res.toBytes(*wire), zeros(84, {{0, 21}, {1, 35}, {80, 1}}, {4, "al"})},
            {"BTC", IsBtc{.UCID = 5, .ClickID = 40, .CFlags = 9}.toBytes(*wire), Bytes{2, 46, 0, 5, 40, 0, 9, 0}},
        });
    }
}

// Text, a terminating zero, padded to a multiple of four, at most the
// field's largest size (MTC 128, BTN 240).
TEST(Generations, ChatAndButtonTextsVaryInLength) {
    const std::string longest(300, 'x');
    for (const WireGeneration* wire : {&kWire9, &kWire10}) {
        expectAll({
            {"MTC 3 chars + zero", IsMtc{.Sound = 1, .UCID = 255, .Text = "abc"}.toBytes(*wire),
             zeros(12, {{0, 3}, {1, 14}, {3, 1}, {4, 255}}, {8, "abc"})},
            {"MTC 4 chars need a second word", IsMtc{.UCID = 2, .PLID = 7, .Text = "abcd"}.toBytes(*wire),
             zeros(16, {{0, 4}, {1, 14}, {4, 2}, {5, 7}}, {8, "abcd"})},
            {"MTC cut at 127 + zero", IsMtc{.Text = longest}.toBytes(*wire),
             zeros(136, {{0, 34}, {1, 14}}, {8, std::string_view(longest).substr(0, 127)})},
            {"BTN empty", IsBtn{.UCID = 3, .ClickID = 7, .Text = ""}.toBytes(*wire),
             zeros(16, {{0, 4}, {1, 45}, {2, 1}, {3, 3}, {4, 7}})},
            {"BTN Close", IsBtn{.ClickID = 1, .BStyle = 40, .L = 100, .T = 15, .W = 15, .H = 8, .Text = "Close"}.toBytes(*wire),
             zeros(20, {{0, 5}, {1, 45}, {2, 1}, {4, 1}, {6, 40}, {8, 100}, {9, 15}, {10, 15}, {11, 8}}, {12, "Close"})},
            {"BTN 240 chars fill the field", IsBtn{.Text = longest}.toBytes(*wire),
             zeros(252, {{0, 63}, {1, 45}, {2, 1}}, {12, std::string_view(longest).substr(0, 240)})},
            {"MSO", IsMso{.UCID = 3, .UserType = MSO_PREFIX, .TextStart = 5, .Msg = "Al : *reorder"}.toBytes(*wire),
             zeros(24, {{0, 6}, {1, 11}, {4, 3}, {6, 2}, {7, 5}}, {8, "Al : *reorder"})},
        });
    }
}

TEST(Generations, StartOrderSlotsAndButtonRanges) {
    IsReo reo;
    reo.NumP = 48;
    for (int k = 0; k < 48; ++k) {
        reo.PLID[static_cast<std::size_t>(k)] = static_cast<std::uint8_t>(k + 1);
    }
    const Bytes v10 = reo.toBytes(kWire10);
    const Bytes v9 = reo.toBytes(kWire9);
    const Bytes v4 = reo.toBytes(kWire4);
    EXPECT_EQ(v10.size(), 52u);
    EXPECT_EQ(Bytes(v10.begin(), v10.begin() + 4), (Bytes{13, 36, 0, 48}));
    EXPECT_EQ(v10.back(), 48);
    EXPECT_EQ(v9.size(), 44u);
    EXPECT_EQ(v9[0], 11);
    EXPECT_EQ(v9.back(), 40);
    EXPECT_EQ(v4.size(), 36u);
    EXPECT_EQ(v4[0], 36);
    EXPECT_EQ(IsReo::fromBytes(v10, kWire10)->PLID[47], 48);

    IsBfn range = IsBfn::forButton(4, 20);
    range.ClickMax = 60;
    expectAll({
        {"BFN 9: ClickMax at 6", range.toBytes(kWire9), Bytes{2, 42, 0, 0, 4, 20, 60, 0}},
        {"BFN 10", range.toBytes(kWire10), Bytes{2, 42, 0, 0, 4, 20, 60, 0}},
        {"BFN 4: byte 6 was Inst, never ours", range.toBytes(kWire4), Bytes{8, 42, 0, 0, 4, 20, 0, 0}},
    });
}

TEST(Generations, ReadersFollowTheGeneration) {
    // IS_MSO's text ends with the packet; a text without its zero is read to the field's end.
    const Bytes mso = zeros(16, {{0, 4}, {1, 11}, {4, 3}, {6, 1}, {7, 2}}, {8, "A:*lastra"});
    EXPECT_EQ(IsMso::fromBytes(mso, kWire10)->Msg, "A:*lastr");
    // IS_VER's InSimVer is a byte from InSim 9 on; the spare beside it is no part of it.
    const Bytes ver = zeros(20, {{0, 5}, {1, 2}, {18, 10}, {19, 7}}, {4, "0.8C"});
    EXPECT_EQ(IsVer::fromBytes(ver, kWire10)->InSimVer, 10);
    EXPECT_EQ(IsVer::fromBytes(ver, kWire4)->InSimVer, 7 * 256 + 10);

    EXPECT_EQ(requiredSize(ISP_NCN, kWire10), 14);
    EXPECT_EQ(requiredSize(ISP_RES, kWire9), 21);
    EXPECT_EQ(requiredSize(ISP_MSO, kWire9), std::nullopt) << "a message's length follows its text";
    EXPECT_EQ(requiredSize(ISP_MSO, kWire4), 136);
}

TEST(Generations, ReleasesNameTheirGeneration) {
    const std::pair<const char*, std::optional<int>> rows[] = {
        {"0.5Z", 4},  {"0.6R", 4},  {"0.7A", 9},          {"0.7F", 9},    {"0.7F5", 9},
        {"0.8A", 9},  {"0.8B", 10}, {"0.8C", 10},         {"0.9A", 10},   {"1.0A", 10},
        {"", std::nullopt}, {"0.8", std::nullopt}, {"x0.8C", std::nullopt}, {"0.c", std::nullopt},
        {"0.8c", std::nullopt},
    };
    for (const auto& [text, generation] : rows) {
        EXPECT_EQ(generationForRelease(text), generation) << text;
    }
}

} // namespace
} // namespace pm::insim
