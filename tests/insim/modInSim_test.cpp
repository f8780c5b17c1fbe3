#include "insim/modInSim.h"

#include <gtest/gtest.h>
#include <limits>

namespace pm::insim {
namespace {

TEST(ModInSim, ZeroPad) {
    struct Row {
        std::int32_t number;
        std::int16_t width;
        const char* text;
    };
    const Row rows[] = {
        {7, 2, "07"},     {123, 2, "123"},
        {-5, 3, "0-5"},   {0, 1, "0"},
        {0, 0, "0"},      {5, -1, "5"},
        {42, 5, "00042"}, {std::numeric_limits<std::int32_t>::min(), 12, "0-2147483648"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(ZeroPad(row.number, row.width), row.text) << row.number << " width " << row.width;
    }
}

platform::ListBox listOf(std::initializer_list<platform::ListItem> items) {
    platform::ListBox list;
    for (const auto& item : items) {
        const int index = list.addItem(item.text);
        list.setItemData(index, item.data);
    }
    return list;
}

TEST(ModInSim, FindListItem) {
    const auto list = listOf({{"alice", 3}, {"", 3}, {"Bob", 7}, {"bob", 3}, {"Bob", 9}});
    EXPECT_EQ(FindListItem(list, "Bob", 0), 2) << "first exact match";
    EXPECT_EQ(FindListItem(list, "bob", 0), 3) << "case-sensitive";
    EXPECT_EQ(FindListItem(list, "BOB", 7), -1) << "a text never falls back to the data";
    EXPECT_EQ(FindListItem(list, "ali", 3), -1) << "whole text only";

    const auto byData = listOf({{"x", 1}, {"", 3}, {"y", 3}});
    EXPECT_EQ(FindListItem(byData, "", 3), 1) << "empty text searches item data, empty text or not";
    EXPECT_EQ(FindListItem(byData, "", 4), -1);

    EXPECT_EQ(FindListItem(platform::ListBox{}, "", 0), -1);
    EXPECT_EQ(FindListItem(platform::ListBox{}, "x", 0), -1);
}

} // namespace
} // namespace pm::insim
