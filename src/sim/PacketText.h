#pragma once
// One readable line per packet for the transcript: the packet's name and its
// fields as name=value. Texts are shown as sent, caret codes kept, because
// that is what a driver's screen would interpret.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "insim/Packets.h"

namespace pm::sim {

// Read in the generation the datagram was framed in: it decides where
// variable texts end and how many IS_REO slots there are.
std::string describePacket(std::span<const std::uint8_t> datagram,
                           const insim::WireGeneration& wire = insim::kWire4);

// A text field as its bytes stand: code page to UTF-8, up to the first zero
// byte or the field's end, caret codes kept. Empty when outside the datagram.
std::string rawText(std::span<const std::uint8_t> datagram, std::size_t offset, std::size_t width);

// True when the field has no zero byte: a host wants its texts terminated.
bool fillsField(std::span<const std::uint8_t> datagram, std::size_t offset, std::size_t width);

// Packets are shown by their struct names (IS_NCN), as the published
// documentation writes them; the type constants carry ISP_.
std::string shownName(int type);
std::string tinyName(int subtype);
std::string voteName(int action);

// "text" with quotes and backslashes escaped.
std::string quoted(std::string_view text);

} // namespace pm::sim
