#pragma once
// The packets a host sends, filled from the world the way a dedicated host
// fills them. Fields the client never reads still get believable values, so
// that a transcript reads like one taken from a real server.

#include <cstdint>
#include <string>

#include "insim/Packets.h"
#include "sim/SimOptions.h"
#include "sim/World.h"

namespace pm::sim {

// IS_MSO user types.
inline constexpr std::uint8_t kMsoUser = 1;
inline constexpr std::uint8_t kMsoPrefix = 2; // hidden message that begins with the client's prefix
// IS_ISI flag: keep colour codes in IS_MSO texts.
inline constexpr std::uint16_t kIsfMsoCols = 8;

// InSimVer is the generation the host speaks on the link it answers.
insim::IsVer verPacket(const SimOptions& options, std::uint8_t reqI, const insim::WireGeneration& wire);
insim::IsIsm ismPacket(const SimOptions& options, std::uint8_t reqI);
insim::IsSta staPacket(const World& world, const SimOptions& options, std::uint8_t reqI);
insim::IsRst rstPacket(const World& world, const SimOptions& options, std::uint8_t reqI);
insim::IsNcn ncnPacket(const World& world, const Connection& c, bool demo, std::uint8_t reqI);
insim::IsCnl cnlPacket(const World& world, std::uint8_t ucid);
insim::IsNpl nplPacket(const World& world, const Player& p, std::uint8_t reqI);
insim::IsRes resPacket(const World& world, const SimOptions& options, const Player& p, std::uint8_t resultNum,
                       bool demo);
// The grid as far as the generation has slots.
insim::IsReo reoPacket(const World& world, std::uint8_t reqI, const insim::WireGeneration& wire);
insim::IsMso msoPacket(const World& world, const Connection& from, const std::string& text, char prefix,
                       bool keepColours);
insim::IsSmall voteActionPacket(std::uint8_t action);

// The nickname as a host shows it when colour codes are not wanted.
std::string stripColourCodes(std::string_view text);

} // namespace pm::sim
