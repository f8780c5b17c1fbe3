#pragma once
// How a simulated server presents itself and behaves. The defaults are those
// of a licensed dedicated host of LFS 0.7F, which answers an old client
// exactly as the tests written before the later generations expect.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "sim/Release.h"

namespace pm::sim {

struct FaultSettings {
    double dropPercent = 0;      // datagrams the sim sends that never arrive
    double duplicatePercent = 0; // ... that arrive twice
    double reorderPercent = 0;   // ... that arrive after the next one
    // Packets sent on a TCP stream that are cut in two at a random byte: the
    // first piece leaves at once, the rest a moment later joined to the
    // front of whatever follows.
    double splitPercent = 0;
};

struct SimOptions {
    std::uint16_t port = 0; // 0: any free port
    std::string bindAddress = "0.0.0.0";

    std::string product = "S2"; // "DEMO": drivers have no licence name (UName empty)
    // The release the host plays: IS_VER's Version, the generations it
    // speaks and the cars it races. paddock-sim defaults to 0.8C.
    LfsRelease lfs = LfsRelease::V07F;
    std::string hostName = "Paddock Sim"; // IS_ISM and the host connection's nickname
    std::string adminPassword;            // empty: every IS_ISI is accepted
    std::string track = "BL1";
    std::uint8_t raceLaps = 5;
    std::uint8_t qualMins = 10;

    // A real host pings its InSim client this often.
    std::chrono::milliseconds keepAliveEvery{30000};
    // Between SMALL_VTA and the vote being carried out (the race restarting):
    // the window in which the host takes a start order.
    std::chrono::milliseconds voteTakesEffectAfter{2000};

    // Bytes that may wait unsent on a TCP client's stream; past that the
    // client is taken to read nothing and its stream is closed.
    std::size_t streamWaitingLimit = 1 << 20;

    FaultSettings faults;
    std::uint32_t seed = 1;
};

} // namespace pm::sim
