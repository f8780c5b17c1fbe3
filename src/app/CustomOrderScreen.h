#pragma once
// The in-game screen on which an administrator arranges a custom start order:
// its button IDs, styles and layout. Positions are InSim button units, 0 to
// 200 across and down.

#include <cstdint>

#include "insim/Packets.h"

namespace pm::app::screen {

// Style bytes: colour index in bits 0-2, then the published ISB_ flags.
inline constexpr std::uint8_t StyleText = 6 | insim::ISB_DARK;                                       // 38
inline constexpr std::uint8_t StyleEntry = 3 | insim::ISB_CLICK | insim::ISB_DARK | insim::ISB_LEFT; // 107
inline constexpr std::uint8_t StyleClose = 5 | insim::ISB_CLICK | insim::ISB_LIGHT;                  // 29

inline constexpr std::uint8_t kCloseId = 2;
inline constexpr std::uint8_t kTitleId = 4;
inline constexpr std::uint8_t kPlayersHeadingId = 5;
inline constexpr std::uint8_t kGridHeadingId = 6;
// Entry buttons: a player not yet in the order is kPlayerBase + slot, an
// entry of the order is kOrderBase + slot. Slots count across both columns.
inline constexpr int kPlayerBase = 10;
inline constexpr int kOrderBase = 100;

// Entry buttons per drawing, over both columns. With 47 slots the player IDs
// (10..56) stay clear of the order IDs (100..146).
inline constexpr int kSlots = 47;
// Rows per column. Row 38 sits at T 195 and ends at 199; a 40th row would
// start at 199 and run off the button area, so longer columns are cut here.
inline constexpr int kRowsPerColumn = 39;

inline constexpr int kPlayersLeft = 25;
inline constexpr int kGridLeft = 80;
inline constexpr int kFirstRowTop = 43;
inline constexpr int kRowHeight = 4;
inline constexpr int kEntryWidth = 50;

inline constexpr int rowTop(int row) {
    return kFirstRowTop + kRowHeight * row;
}
static_assert(rowTop(kRowsPerColumn - 1) + kRowHeight <= 200);
static_assert(kPlayerBase + kSlots <= kOrderBase);

} // namespace pm::app::screen
