#pragma once
// What the two datagram targets share: the input's layout, read the same way
// by both so that one corpus serves both and their coverage compares, and
// the invariants checked after each input.
//
// Input:
//   byte 0   rules: bits 0-1 Last Race, bits 2-3 Reverse Top (0, 1, 2 grey;
//            3 reads as 1), bit 4 Custom, bit 5 trace on (its texts are
//            built from the received bytes, so they are worth reaching),
//            bits 6-7 the InSim version: 4, 9, 10 or auto
//   byte 1   Reverse Top count: 0-199 as that number, 200-255 as a text
//            that is no number
//   then     records: a length byte L and L bytes of datagram (fewer at the
//            end of the input); L = 0 is an action instead, named by the
//            next byte: 0-127 let that many seconds plus one pass on the
//            clock (handshake tries, silence drop, reconnection), 128 the
//            Connect button, 129 a click on a connections list item (next
//            byte), 130 the start order sent by hand, 131 another program
//            holds the listen port at the next Connect, 132 the program
//            ends and starts again (131 and 132 in fuzz_insim_fast only: the
//            old target reached a taken port by clicking a Connect button
//            that a window greys out, and made everything anew per input).

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "app/ServerViews.h"
#include "insim/Packets.h"

namespace pm::fuzz {

constexpr std::uint8_t kAction = 0;
constexpr std::uint8_t kLastClockStep = 127;
constexpr std::uint8_t kConnectButton = 128;
constexpr std::uint8_t kConnectionsClick = 129;
constexpr std::uint8_t kSendOrder = 130;
constexpr std::uint8_t kTakeListenPort = 131;
constexpr std::uint8_t kRestart = 132;

[[noreturn]] inline void broken(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

inline int checkState(std::uint8_t bits) {
    return bits == 3 ? 1 : bits;
}

inline std::string reverseCount(std::uint8_t b) {
    if (b < 200) {
        return std::to_string(b);
    }
    static const char* const kWords[] = {"", "all", "1e9", "-3", " 4 ", "0x10", "nan", "1,5"};
    return kWords[b % 8];
}

inline const char* inSimVersion(std::uint8_t rules) {
    static const char* const kVersions[] = {"4", "9", "10", "auto"};
    return kVersions[(rules >> 6) & 3];
}

inline void applyRules(app::ServerViews& views, std::uint8_t rules, std::uint8_t count) {
    views.chkLastRace.setValue(checkState(rules & 3));
    views.chkReverse.setValue(checkState((rules >> 2) & 3));
    views.chkCustom.setValue((rules >> 4) & 1);
    views.txtReverse.setText(reverseCount(count));
}

inline void checkLists(const app::ServerViews& views) {
    std::set<std::string> names;
    for (const auto& item : views.lstConnections.items()) {
        if (item.text.empty()) {
            broken("an empty name in lstConnections");
        }
        if (!names.insert(item.text).second) {
            broken("a name twice in lstConnections");
        }
    }
    const auto& finish = views.lstFinish.items();
    for (std::size_t k = 1; k < finish.size(); ++k) {
        if (finish[k].text < finish[k - 1].text) {
            broken("lstFinish out of finishing order");
        }
    }
}

// Every datagram the client sends must be one whole packet: a server reads
// the size byte to find the next packet's start. It counts bytes (InSim 4,
// which auto also opens with) or fours.
inline void checkSent(const std::vector<std::vector<std::uint8_t>>& sent) {
    for (const auto& d : sent) {
        const bool inBytes = !d.empty() && d[0] == d.size();
        const bool inFours = !d.empty() && d[0] * 4u == d.size();
        if (d.size() < 4 || d.size() % 4 != 0 || (!inBytes && !inFours)) {
            broken("a sent datagram whose size byte is not its length");
        }
        if (d[1] == insim::ISP_REO) {
            const insim::WireGeneration& wire = inBytes          ? insim::kWire4
                                                : d.size() == 44 ? insim::kWire9
                                                                 : insim::kWire10;
            if (d.size() != static_cast<std::size_t>(insim::IsReo::lengthFor(wire))) {
                broken("an IS_REO of the wrong length");
            }
            if (d[3] > wire.startOrderSlots) {
                broken("an IS_REO with more drivers than slots");
            }
        }
    }
}

} // namespace pm::fuzz
