#pragma once
// Helpers for the main window's lists and labels.

#include "platform/Controls.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace pm::insim {

// Index of the first item whose text equals text exactly (case-sensitive); an
// empty text searches by item data instead. -1 when nothing matches.
std::int16_t FindListItem(const platform::ListBox& list, std::string_view text,
                          std::int32_t number);

// The decimal text of number with "0" put in front until it is width
// characters long. The zeros go before a minus sign: ZeroPad(-5, 3) is "0-5".
std::string ZeroPad(std::int32_t number, std::int16_t width);

// The text without the blanks (spaces only) at its start and end, as chat
// lines, products and typed numbers are compared.
std::string TrimBlanks(std::string_view text);

} // namespace pm::insim
