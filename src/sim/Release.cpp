#include "sim/Release.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace pm::sim {

namespace {

// 0.6H raised the race to 40 cars and 0.8B to 48, each with as many IS_REO
// slots; 0.8B also stopped sending IS_REO to clients below InSim 10.
constexpr std::array<ReleaseFacts, 3> kReleases = {{
    {"0.5Z", 4, 32, 0},
    {"0.7F", 9, 40, 0},
    {"0.8C", 10, 48, 10},
}};

} // namespace

const ReleaseFacts& factsOf(LfsRelease release) {
    return kReleases[static_cast<std::size_t>(release)];
}

std::optional<LfsRelease> releaseNamed(std::string_view text) {
    for (std::size_t i = 0; i < kReleases.size(); ++i) {
        const auto name = kReleases[i].name;
        const bool same = text.size() == name.size() &&
                          std::equal(text.begin(), text.end(), name.begin(), [](char a, char b) {
                              return std::toupper(static_cast<unsigned char>(a)) == b;
                          });
        if (same) {
            return static_cast<LfsRelease>(i);
        }
    }
    return std::nullopt;
}

std::string releaseChoices() {
    return std::string(kReleases[0].name) + ", " + std::string(kReleases[1].name) + " or " +
           std::string(kReleases[2].name);
}

IsiReading readIsi(LfsRelease release, std::span<const std::uint8_t> isi) {
    IsiReading out;
    if (isi.size() != static_cast<std::size_t>(insim::IsIsi::kLength)) {
        out.why = "IS_ISI must be " + std::to_string(insim::IsIsi::kLength) + " bytes";
        return out;
    }
    const ReleaseFacts& facts = factsOf(release);
    const int sizeByte = isi[0];
    const int asked = isi[8];
    if (sizeByte == insim::kWire4.sizeByte(insim::IsIsi::kLength)) {
        // A client that counts bytes is an old one whatever byte 8 says:
        // hosts keep byte sizes for everything below InSim 9, and we speak
        // no generation between 4 and 9.
        out.wire = &insim::kWire4;
        out.why = asked == 0 || facts.newestInSim == 4
                      ? "an InSim 4 client"
                      : "asks for InSim " + std::to_string(asked) + " in byte sizes: an InSim 4 client";
        return out;
    }
    if (sizeByte != insim::kWire9.sizeByte(insim::IsIsi::kLength)) {
        out.why = "Size byte " + std::to_string(sizeByte) + " but " + std::to_string(isi.size()) + " bytes";
        return out;
    }
    if (facts.newestInSim < insim::kWire9.version) {
        // A host before 0.7A reads the Size byte as bytes: 11 is no IS_ISI.
        out.why = "Size byte 11 but 44 bytes: LFS " + std::string(facts.name) + " counts bytes";
        return out;
    }
    if (asked < insim::kWire9.version) {
        out.why = "Size byte in 4-byte units needs InSimVer 9 or more, not " + std::to_string(asked);
        return out;
    }
    // Asked for more than it knows, a host answers with its newest.
    out.wire = insim::wireForVersion(std::min(asked, facts.newestInSim));
    out.why =
        "asks for InSim " + std::to_string(asked) + ", speaks InSim " + std::to_string(out.wire->version);
    return out;
}

} // namespace pm::sim
