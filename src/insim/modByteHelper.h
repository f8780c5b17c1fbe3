#pragma once
// Reading and writing the fields of a packet held in a byte array: texts in
// the packet code page, little-endian words and floats, bits. Every position
// is checked against the array: a received datagram may be shorter than the
// packet it claims to be, and that must never read or write outside it.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace pm::insim {

// The bytes from start, at most length of them, up to the first zero byte and
// never past the array's end, as UTF-8 with the simulator's caret codes
// decoded. A start outside the array gives an empty text.
std::string BytesToString(std::span<const std::uint8_t> data, int start, int length);

// Decodes the simulator's caret codes: colour codes first, then the escaped
// punctuation, then the code-page switches, each over the whole text. A code
// that only comes into being through an earlier removal is decoded as well.
std::string DecodeCarets(std::string text);

// The same, with the colour codes (^0 to ^9) kept, for a view that draws
// them as colours.
std::string DecodeCaretsKeepingColours(std::string text);
std::string BytesToStringWithColours(std::span<const std::uint8_t> data, int start, int length);

// Writes one code-page byte per character (code point) of text, for at most
// count characters, from start on. Positions past the text's end, and past the
// array's end, are left as they are; no terminator is written.
void StringToBytes(std::span<std::uint8_t> data, std::string_view text, int start, int count);

// Little-endian 16-bit word, 0 to 65535; 0 when the word is not inside data.
std::int32_t GetWord(std::span<const std::uint8_t> data, int position);
// Writes the low 16 bits of value; does nothing unless both bytes fit.
void PutWord(std::span<std::uint8_t> data, std::int32_t value, int position);

// Little-endian 32-bit unsigned value (race and lap times); 0 when outside.
std::uint32_t GetDWord(std::span<const std::uint8_t> data, int position);
void PutDWord(std::span<std::uint8_t> data, std::uint32_t value, int position);

// Little-endian IEEE 754 single; 0 when the four bytes are not inside data.
float GetSingle(std::span<const std::uint8_t> data, int position);
void PutSingle(std::span<std::uint8_t> data, float value, int position);

// Bit numbers outside the value's width leave the byte alone / test false.
void SetBit(std::uint8_t& value, int bit);
bool IsBitSet(std::int32_t value, int bit);

} // namespace pm::insim
