#pragma once
// Windows-1252, the single-byte code page of every text inside a packet and of
// the start-up file. Strings inside the program are UTF-8; conversion happens
// only at those two borders.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace pm::platform {

// The five bytes that Windows-1252 leaves undefined (0x81, 0x8D, 0x8F, 0x90,
// 0x9D) map to the C1 controls of the same number, so every byte survives a
// round trip.
void appendCp1252AsUtf8(std::string& out, std::uint8_t byte);
std::string cp1252ToUtf8(std::span<const std::uint8_t> bytes);

// Whether bytes are well-formed UTF-8 that no writer of Windows-1252 text
// would produce by chance: no invalid sequence, no C1 control. Text from an
// editor that saved UTF-8 passes; Windows-1252 with letters beyond ASCII
// almost never does.
bool isUtf8Text(std::string_view bytes);

// UTF-8 as it stands, except that a byte of no valid sequence is taken for
// the Windows-1252 letter it is: a file declared UTF-8 by its byte-order
// mark with a line pasted in from elsewhere keeps every letter readable.
std::string utf8WithStrayCp1252(std::string_view bytes);

// One byte per code point. A code point without a single-byte code, and each
// invalid UTF-8 sequence, becomes '?'.
std::vector<std::uint8_t> utf8ToCp1252(std::string_view utf8);

// Converts at most out.size() code points into out; returns how many bytes
// were written. Packet text fields use this to stop at the field's width.
std::size_t utf8ToCp1252(std::string_view utf8, std::span<std::uint8_t> out);

} // namespace pm::platform
