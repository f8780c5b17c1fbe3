#pragma once
// How the window draws what the status model says: the colour of a link's
// badge, and an LFS nickname's colour codes as colours that stay legible on
// the list's own background, light or dark.

#include <QColor>
#include <QString>
#include <optional>
#include <string_view>
#include <vector>

#include "app/ServerStatus.h"

namespace pm::ui {

// Item roles of the server list's badges, beside the name the list binding
// keeps as the item's text.
constexpr int kBadgeTextRole = Qt::UserRole + 1;   // QString: "connected", "silent 40 s"
constexpr int kBadgeColourRole = Qt::UserRole + 2; // QColor: the badge's fill

// Green for connected, amber while a link is being made or tried again,
// orange for a host gone quiet, red for stopped, grey for idle.
QColor badgeColour(app::LinkPhase phase);
// Black or white, whichever reads better on the fill.
QColor textOn(const QColor& fill);

// A stretch of a nickname in one colour. code: 0 to 7 for ^0 to ^7; -1 for
// the list's own text colour (before any code, and after ^8 or ^9).
struct NickRun {
    QString text;
    int code = -1;
};
std::vector<NickRun> nicknameRuns(std::string_view nickname);

// How to draw a run: its colour, and a backing behind it when the colour
// alone would not stand out from the base (white on a light list, black on
// a dark one).
struct RunLook {
    QColor text;
    std::optional<QColor> backing;
};
RunLook runLook(int code, const QColor& base, const QColor& defaultText);

// The WCAG contrast ratio of two colours, 1 (none) to 21.
double contrast(const QColor& a, const QColor& b);

} // namespace pm::ui
