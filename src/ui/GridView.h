#pragma once
// The next grid as the window shows it: numbered places, each nickname in
// its LFS colours with the user name beside it, and a word on each place the
// vote would not quite deliver (past the host's slots, or a driver not on
// the track). It draws only what frmMain::PlanGrid says; a drag within it
// is handed on as a move, never kept as the list's own order.

#include <QListWidget>
#include <functional>

#include "app/ServerStatus.h"

namespace pm::ui {

// Item roles of a grid place. The item's text is the place in plain words
// ("3. Driver 09 (driver09), not on the track"), for screen readers and
// copying; the delegate draws the rest from these.
constexpr int kGridUserRole = Qt::UserRole;         // QString: the user name
constexpr int kGridNicknameRole = Qt::UserRole + 1; // QString: with its colour codes
constexpr int kGridPlaceRole = Qt::UserRole + 2;    // int: 1-based place
constexpr int kGridNoteRole = Qt::UserRole + 3;     // QString: "not sent", "not on the track"; may be empty
constexpr int kGridNotSentRole = Qt::UserRole + 4;  // bool: past the host's slots

class GridList final : public QListWidget {
public:
    explicit GridList(QWidget* parent = nullptr);

    // Replaces the places shown; the selection stays on the same user
    // while they are still on the grid.
    void showGrid(const app::NextGrid& grid);
    // The user name of the selected place; empty for none.
    QString selectedUser() const;

    // The operator dragged place `from` (0-based) to place `to`, as
    // MoveInGrid counts them.
    std::function<void(int from, int to)> onMoved;
};

} // namespace pm::ui
