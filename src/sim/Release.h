#pragma once
// The LFS releases the simulated host can play, and how each one takes an
// InSim client: which protocol generation it speaks on the link, what it
// tells the client in IS_VER, and which packets it keeps from old clients.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "insim/Packets.h"

namespace pm::sim {

enum class LfsRelease : std::uint8_t { V05Z, V07F, V08C };

struct ReleaseFacts {
    std::string_view name; // IS_VER Version
    int newestInSim;       // the highest generation it speaks
    int maxCars;           // in one race
    // Clients below this generation never get an IS_REO from the host, not
    // even in answer to TINY_REO; 0 when every client gets one.
    int reoNeedsInSim;
};

const ReleaseFacts& factsOf(LfsRelease release);
inline std::string_view releaseName(LfsRelease release) {
    return factsOf(release).name;
}
// "0.5Z", "0.7F" or "0.8C", the letter in either case; nullopt for others.
std::optional<LfsRelease> releaseNamed(std::string_view text);
// "0.5Z, 0.7F or 0.8C", for messages.
std::string releaseChoices();

// What a host of this release makes of an arriving 44-byte IS_ISI. The
// Size byte tells the framing: 44 counts bytes, 11 counts 4-byte units and
// then byte 8 asks for a generation.
struct IsiReading {
    const insim::WireGeneration* wire = nullptr; // nullptr: the host does not understand it
    std::string why;                             // what it made of it, for the transcript
};
IsiReading readIsi(LfsRelease release, std::span<const std::uint8_t> isi);

// The InSimVer IS_VER reports on a link of this generation. Real 0.6M and
// later hosts treat an old client (InSimVer 0) as generation 6, and likely
// report 6 and use its layouts (a 44-byte IS_REO among them). The simulated
// host speaks InSim 4 layouts to an old client and reports 4: the program
// knows only 4, 9 and 10, and a 6 would name layouts neither side has.
inline int reportedInSimVer(const insim::WireGeneration& wire) {
    return wire.version;
}

} // namespace pm::sim
