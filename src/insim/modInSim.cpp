#include "insim/modInSim.h"

#include <algorithm>
#include <limits>

namespace pm::insim {

std::int16_t FindListItem(const platform::ListBox& list, std::string_view text,
                          std::int32_t number) {
    const auto& items = list.items();
    // The result is a 16-bit index; items beyond it cannot be named.
    const auto limit =
        std::min<std::size_t>(items.size(), std::numeric_limits<std::int16_t>::max());
    for (std::size_t i = 0; i < limit; ++i) {
        const bool match = text.empty() ? items[i].data == number : items[i].text == text;
        if (match) {
            return static_cast<std::int16_t>(i);
        }
    }
    return -1;
}

std::string ZeroPad(std::int32_t number, std::int16_t width) {
    std::string text = std::to_string(number);
    if (static_cast<int>(text.size()) < width) {
        text.insert(0, width - text.size(), '0');
    }
    return text;
}

std::string TrimBlanks(std::string_view text) {
    const auto b = text.find_first_not_of(' ');
    if (b == std::string_view::npos) {
        return {};
    }
    const auto e = text.find_last_not_of(' ');
    return std::string(text.substr(b, e - b + 1));
}

} // namespace pm::insim
