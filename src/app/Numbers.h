#pragma once
// Reading numbers out of texts that people typed: the start-up file, the
// count box and the admins' chat arguments.

#include <cstdint>
#include <optional>
#include <string_view>

namespace pm::app {

// A decimal number ("5", "-2", "0.5", "1.0", "1e3"), blanks around it
// forgiven. Empty texts, words, infinities and values out of a double's range
// are not numbers.
std::optional<double> parseNumber(std::string_view text);

// Nearest whole number, halves going to the even neighbour (2.5 -> 2,
// 3.5 -> 4), as the rest of the Windows world converts; nullopt when the
// result does not fit a 16-bit signed integer.
std::optional<std::int16_t> roundToInt16(double value);

} // namespace pm::app
