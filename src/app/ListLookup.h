#pragma once
// Looking users up in the per-server lists.

#include <cstdint>
#include <string_view>

#include "insim/modInSim.h"
#include "platform/Controls.h"

namespace pm::app {

// FindListItem by user name. Given an empty text, FindListItem matches by
// item data instead, which for these lists means "connection 0" or simply
// "the first entry"; an empty name names nobody, so it finds nothing here.
inline std::int16_t findName(const platform::ListBox& list, std::string_view name) {
    return name.empty() ? std::int16_t{-1} : insim::FindListItem(list, name, 0);
}

} // namespace pm::app
