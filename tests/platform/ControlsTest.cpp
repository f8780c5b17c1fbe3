// The change signal and the control models: notification exactly once per
// real change, and a signal that survives slots changing it mid-notification.

#include "platform/Controls.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/Signal.h"

namespace pm::platform {
namespace {

TEST(Signal, slot_disconnected_during_notification_is_skipped_and_new_slot_waits) {
    Signal<int> signal;
    std::vector<std::string> calls;
    Signal<int>::Connection second = 0;
    signal.connect([&](int v) {
        calls.push_back("first" + std::to_string(v));
        signal.disconnect(second);
        // Enough new slots to make the vector reallocate mid-notification.
        for (int i = 0; i < 16; ++i) {
            signal.connect([&](int w) { calls.push_back("late" + std::to_string(w)); });
        }
    });
    second = signal.connect([&](int v) { calls.push_back("second" + std::to_string(v)); });

    signal(1);
    EXPECT_EQ(calls, (std::vector<std::string>{"first1"}));
    EXPECT_FALSE(signal.empty());
}

TEST(Signal, empty_once_every_slot_is_disconnected) {
    Signal<> signal;
    int calls = 0;
    const auto a = signal.connect([&] { ++calls; });
    const auto b = signal.connect([&] { ++calls; });
    EXPECT_NE(a, b);
    signal.disconnect(a);
    signal();
    EXPECT_EQ(calls, 1);
    signal.disconnect(b);
    EXPECT_TRUE(signal.empty());
    signal();
    EXPECT_EQ(calls, 1);
}

TEST(ListBox, insert_position_and_one_notification_per_change) {
    ListBox list;
    int changes = 0;
    list.changed.connect([&] { ++changes; });

    list.addItem("b");
    list.addItem("a", 0);
    list.addItem("c", 99); // out of range appends
    list.addItem("x", -5); // so does a negative index
    EXPECT_EQ(list.texts(), (std::vector<std::string>{"a", "b", "c", "x"}));
    EXPECT_EQ(changes, 4);

    list.setItemData(1, 42);
    EXPECT_EQ(list.itemData(1), 42);
    EXPECT_EQ(list.itemData(0), 0);
    EXPECT_EQ(changes, 5);

    list.removeItem(7); // nothing there: no change, no notification
    list.removeItem(-1);
    EXPECT_EQ(changes, 5);
    list.removeItem(0);
    EXPECT_EQ(list.text(0), "b");
    EXPECT_EQ(list.itemData(0), 42);
    EXPECT_EQ(changes, 6);

    list.clear();
    list.clear();
    EXPECT_EQ(list.count(), 0);
    EXPECT_EQ(changes, 7);
}

TEST(Controls, setting_the_current_value_does_not_notify) {
    CheckBox check;
    TextBox text{"abc"};
    CommandButton button{"Connect"};
    int changes = 0;
    check.changed.connect([&] { ++changes; });
    text.changed.connect([&] { ++changes; });
    button.changed.connect([&] { ++changes; });

    check.setValue(0);
    text.setText("abc");
    button.setCaption("Connect");
    button.setEnabled(true);
    EXPECT_EQ(changes, 0);

    check.setValue(2);
    EXPECT_FALSE(check.isOn()); // grey is not on
    check.setValue(1);
    EXPECT_TRUE(check.isOn());
    text.setText("abd");
    button.setCaption("Disconnect");
    button.setEnabled(false);
    EXPECT_EQ(changes, 5);
}

} // namespace
} // namespace pm::platform
