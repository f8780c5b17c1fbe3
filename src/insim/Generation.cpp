#include "insim/Generation.h"

#include <cctype>

namespace pm::insim {

std::optional<int> generationForRelease(std::string_view version) {
    // <major>.<minor><letter>, then whatever a test patch adds ("0.7F5").
    std::size_t at = 0;
    auto number = [&]() -> std::optional<int> {
        int value = 0;
        const std::size_t start = at;
        while (at < version.size() && std::isdigit(static_cast<unsigned char>(version[at])) != 0 && at - start < 4) {
            value = value * 10 + (version[at] - '0');
            ++at;
        }
        return at == start ? std::nullopt : std::optional<int>(value);
    };
    const auto major = number();
    if (!major || at >= version.size() || version[at] != '.') {
        return std::nullopt;
    }
    ++at;
    const auto minor = number();
    if (!minor || at >= version.size() || std::isupper(static_cast<unsigned char>(version[at])) == 0) {
        return std::nullopt;
    }
    const char letter = version[at];
    if (*major > 0 || *minor > 8 || (*minor == 8 && letter >= 'B')) {
        return 10;
    }
    if (*minor >= 7) {
        return 9; // 0.7A to 0.7F, and the 0.8A test release before InSim 10
    }
    return 4;
}

} // namespace pm::insim
