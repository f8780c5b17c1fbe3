#include "app/Numbers.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace pm::app {

std::optional<double> parseNumber(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && blank(text.back())) {
        text.remove_suffix(1);
    }
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
        // "+-5" must not slip through from_chars' own sign handling.
        if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
            return std::nullopt;
        }
    }
    if (text.empty()) {
        return std::nullopt;
    }
    double value = 0;
    const auto [end, ec] =
        std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::general);
    if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) {
        return std::nullopt;
    }
    return negative ? -value : value;
}

std::optional<std::int16_t> roundToInt16(double value) {
    if (!std::isfinite(value)) {
        return std::nullopt;
    }
    // std::nearbyint follows the current rounding mode, which nobody in this
    // program changes from round-half-even.
    const double rounded = std::nearbyint(value);
    if (rounded < std::numeric_limits<std::int16_t>::min() ||
        rounded > std::numeric_limits<std::int16_t>::max()) {
        return std::nullopt;
    }
    return static_cast<std::int16_t>(rounded);
}

} // namespace pm::app
