#include "ui/StatusLook.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace pm::ui {

namespace {

// The colours LFS draws ^0 to ^7 in.
constexpr std::array<QRgb, 8> kLfsColours{
    0x000000, // ^0 black
    0xff0000, // ^1 red
    0x00ff00, // ^2 green
    0xffff00, // ^3 yellow
    0x0000ff, // ^4 blue
    0xff00ff, // ^5 violet
    0x00ffff, // ^6 cyan
    0xffffff, // ^7 white
};

// Below this a run of text is hard to read against what is behind it; 3 is
// what WCAG asks of large or bold text, and a nickname is short.
constexpr double kLegible = 3.0;

double linear(int channel) {
    const double c = channel / 255.0;
    return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

double luminance(const QColor& c) {
    return 0.2126 * linear(c.red()) + 0.7152 * linear(c.green()) + 0.0722 * linear(c.blue());
}

} // namespace

QColor badgeColour(app::LinkPhase phase) {
    switch (phase) {
    case app::LinkPhase::Connected: return QColor(0x2e, 0x7d, 0x32);
    case app::LinkPhase::Connecting:
    case app::LinkPhase::Retrying: return QColor(0xff, 0xb3, 0x00);
    case app::LinkPhase::Silent: return QColor(0xef, 0x6c, 0x00);
    case app::LinkPhase::Stopped: return QColor(0xc6, 0x28, 0x28);
    case app::LinkPhase::Idle: return QColor(0x9e, 0x9e, 0x9e);
    }
    return QColor(0x9e, 0x9e, 0x9e);
}

QColor textOn(const QColor& fill) {
    const QColor black(Qt::black);
    const QColor white(Qt::white);
    return contrast(fill, black) >= contrast(fill, white) ? black : white;
}

double contrast(const QColor& a, const QColor& b) {
    const double la = luminance(a);
    const double lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

std::vector<NickRun> nicknameRuns(std::string_view nickname) {
    std::vector<NickRun> out;
    int code = -1;
    std::string pending;
    const auto flush = [&] {
        if (!pending.empty()) {
            out.push_back({QString::fromStdString(pending), code});
            pending.clear();
        }
    };
    for (std::size_t i = 0; i < nickname.size(); ++i) {
        if (nickname[i] == '^' && i + 1 < nickname.size() && nickname[i + 1] >= '0' &&
            nickname[i + 1] <= '9') {
            flush();
            const int digit = nickname[i + 1] - '0';
            code = digit <= 7 ? digit : -1;
            ++i;
            continue;
        }
        pending += nickname[i];
    }
    flush();
    return out;
}

RunLook runLook(int code, const QColor& base, const QColor& defaultText) {
    if (code < 0 || code >= static_cast<int>(kLfsColours.size())) {
        return {defaultText, std::nullopt};
    }
    const QColor colour = QColor::fromRgb(kLfsColours[static_cast<std::size_t>(code)]);
    if (contrast(colour, base) >= kLegible) {
        return {colour, std::nullopt};
    }
    // The opposite of the base: dark behind white or yellow on a light
    // list, light behind black or blue on a dark one. Every LFS colour that
    // fails against one of these passes against the other.
    const bool lightBase = luminance(base) > 0.18;
    return {colour, lightBase ? QColor(0x30, 0x30, 0x30) : QColor(0xd8, 0xd8, 0xd8)};
}

} // namespace pm::ui
