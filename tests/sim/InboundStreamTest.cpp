// The host's framing of a client's TCP stream, fed in pieces of every size.

#include <gtest/gtest.h>

#include "insim/Packets.h"
#include "sim/InboundStream.h"

using namespace pm;
using namespace pm::insim;
using namespace pm::sim;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes isi(const WireGeneration& wire) {
    IsIsi p;
    p.InSimVer = static_cast<std::uint8_t>(wire.version);
    return p.toBytes(wire);
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(InboundStream, CutsPacketsByTheSizeByteOfTheGenerationItsIsiNames) {
    const Bytes tiny4{4, ISP_TINY, 1, TINY_SST};
    const Bytes tiny10{1, ISP_TINY, 1, TINY_SST};
    const Bytes mtc10 = Bytes{3, ISP_MTC} + Bytes(10, 0);
    struct Case {
        const char* name;
        Bytes stream;
        std::vector<std::size_t> lengths; // of the packets that come out
        std::string broken;               // part of why; empty: not broken
        int unit = 0;
        std::size_t buffered = 0;
    };
    const Case cases[] = {
        {"InSim 4 counts bytes", isi(kWire4) + tiny4, {44, 4}, "", 1},
        {"InSim 10 counts quarters", isi(kWire10) + tiny10 + mtc10, {44, 4, 12}, "", 4},
        {"half a packet waits", isi(kWire10) + Bytes{2, ISP_BFN, 0}, {44}, "", 4, 3},
        {"a new IS_ISI on the stream names a new unit", isi(kWire4) + tiny4 + isi(kWire10) + tiny10,
         {44, 4, 44, 4}, "", 4},
        {"Size byte 0", isi(kWire10) + Bytes{0, ISP_TINY, 1, TINY_SST} + tiny10, {44}, "Size byte 0", 4},
        {"Size byte 0 known from one byte", Bytes{0}, {}, "Size byte 0"},
        {"bytes no multiple of four", isi(kWire4) + Bytes{6, ISP_TINY, 1, TINY_SST, 0, 0}, {44},
         "no multiple of 4", 1},
        {"no IS_ISI first", tiny4 + isi(kWire4), {}, "does not open with an IS_ISI"},
        {"an IS_ISI of another size", Bytes{40, ISP_ISI} + Bytes(38, 0), {}, "IS_ISI with Size byte 40"},
    };
    for (const auto& c : cases) {
        for (std::size_t piece : {std::size_t{1}, std::size_t{3}, std::size_t{7}, c.stream.size()}) {
            SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(piece));
            InboundStream in;
            std::vector<std::size_t> lengths;
            for (std::size_t at = 0; at < c.stream.size(); at += piece) {
                const std::size_t n = std::min(piece, c.stream.size() - at);
                in.feed(std::span(c.stream).subspan(at, n));
                while (auto p = in.next()) {
                    EXPECT_EQ(p->data()[0] * in.unit(), static_cast<int>(p->size()));
                    lengths.push_back(p->size());
                }
            }
            EXPECT_EQ(lengths, c.lengths);
            EXPECT_EQ(in.broken(), !c.broken.empty());
            EXPECT_NE(in.whyBroken().find(c.broken), std::string::npos) << in.whyBroken();
            if (c.broken.empty()) {
                EXPECT_EQ(in.unit(), c.unit);
                EXPECT_EQ(in.buffered(), c.buffered);
            }
        }
    }
}

} // namespace
