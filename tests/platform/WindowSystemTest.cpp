// Message windows: registered numbers, replaceable procedures that chain,
// ownership, and posted messages delivered in order on the loop.

#include "platform/WindowSystem.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <tuple>
#include <vector>

#include "platform/Clock.h"
#include "platform/PollEventLoop.h"

namespace pm::platform {
namespace {

using Msg = std::tuple<HWND, UINT, WPARAM, LPARAM>;

class Windows : public ::testing::Test {
protected:
    ManualClock clock;
    PollEventLoop loop{clock};
    WindowSystem windows{loop, 77};

    // A window whose procedure records what it receives and answers 5.
    HWND recordingWindow(std::vector<Msg>& into) {
        const HWND h = windows.CreateMessageWindow();
        windows.SetWindowProc(h, makeWindowProc([&into](HWND w, UINT m, WPARAM wp, LPARAM lp) {
                                  into.emplace_back(w, m, wp, lp);
                                  return LRESULT{5};
                              }));
        return h;
    }
};

TEST_F(Windows, same_name_same_number_different_names_different_numbers) {
    const UINT a = windows.RegisterWindowMessage("okSocket1234656214");
    const UINT b = windows.RegisterWindowMessage("okSocket1234656216");
    EXPECT_EQ(windows.RegisterWindowMessage("okSocket1234656214"), a);
    EXPECT_NE(a, b);
    // Registered numbers stay out of the range of a window's own messages.
    EXPECT_GE(a, 0xC000u);
    EXPECT_GE(b, 0xC000u);
    EXPECT_LE(a, 0xFFFFu);
}

TEST_F(Windows, windows_get_distinct_handles_and_report_their_process) {
    std::set<HWND> handles;
    for (int i = 0; i < 10; ++i) {
        handles.insert(windows.CreateMessageWindow());
    }
    EXPECT_EQ(handles.size(), 10u);
    EXPECT_EQ(handles.count(0), 0u);

    const HWND own = *handles.begin();
    const HWND foreign = windows.CreateForeignWindow(4242);
    EXPECT_EQ(windows.GetCurrentProcessId(), 77u);
    EXPECT_EQ(windows.GetWindowThreadProcessId(own), 77u);
    EXPECT_EQ(windows.GetWindowThreadProcessId(foreign), 4242u);
    EXPECT_TRUE(windows.IsWindow(foreign));

    windows.DestroyWindow(own);
    EXPECT_FALSE(windows.IsWindow(own));
    EXPECT_EQ(windows.GetWindowThreadProcessId(own), 0u);
}

TEST_F(Windows, posted_messages_arrive_later_in_posting_order) {
    std::vector<Msg> got;
    const HWND a = recordingWindow(got);
    const HWND b = recordingWindow(got);
    EXPECT_TRUE(windows.PostMessage(a, 0xC001, 1, 10));
    EXPECT_TRUE(windows.PostMessage(b, 0xC002, 2, 20));
    EXPECT_TRUE(windows.PostMessage(a, 0xC003, 3, -30));
    EXPECT_TRUE(got.empty()); // never delivered inside PostMessage

    loop.drain();
    const std::vector<Msg> expected{{a, 0xC001, 1, 10}, {b, 0xC002, 2, 20}, {a, 0xC003, 3, -30}};
    EXPECT_EQ(got, expected);
}

TEST_F(Windows, posted_message_goes_to_the_procedure_in_place_at_delivery) {
    std::vector<Msg> oldGot;
    std::vector<Msg> newGot;
    const HWND h = recordingWindow(oldGot);
    windows.PostMessage(h, 0xC001, 0, 0);
    windows.SetWindowProc(h, makeWindowProc([&](HWND w, UINT m, WPARAM wp, LPARAM lp) {
                              newGot.emplace_back(w, m, wp, lp);
                              return LRESULT{0};
                          }));
    loop.drain();
    EXPECT_TRUE(oldGot.empty());
    EXPECT_EQ(newGot.size(), 1u);
}

TEST_F(Windows, message_for_a_window_destroyed_before_delivery_is_dropped) {
    std::vector<Msg> got;
    const HWND doomed = recordingWindow(got);
    const HWND kept = recordingWindow(got);
    windows.PostMessage(doomed, 0xC001, 1, 0);
    windows.PostMessage(kept, 0xC001, 2, 0);
    windows.DestroyWindow(doomed);
    loop.drain();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(std::get<0>(got[0]), kept);
}

TEST_F(Windows, posting_to_a_non_window_fails_with_invalid_handle) {
    EXPECT_FALSE(windows.PostMessage(0x1234567, 0xC001, 0, 0));
    EXPECT_EQ(windows.lastError(), ERROR_INVALID_WINDOW_HANDLE);
}

TEST_F(Windows, set_window_proc_returns_previous_and_call_window_proc_chains) {
    std::vector<Msg> baseGot;
    const HWND h = recordingWindow(baseGot);
    const WNDPROC base = windows.GetWindowProc(h);

    int outerCalls = 0;
    WNDPROC previous;
    const WNDPROC outer = makeWindowProc([&](HWND w, UINT m, WPARAM wp, LPARAM lp) {
        ++outerCalls;
        return WindowSystem::CallWindowProc(previous, w, m, wp + 1, lp) * 10;
    });
    previous = windows.SetWindowProc(h, outer);
    EXPECT_EQ(previous, base);
    EXPECT_EQ(windows.GetWindowProc(h), outer);

    EXPECT_EQ(windows.SendMessage(h, 0x0400, 7, 8), 50);
    EXPECT_EQ(outerCalls, 1);
    ASSERT_EQ(baseGot.size(), 1u);
    EXPECT_EQ(baseGot[0], (Msg{h, 0x0400, 8, 8}));

    // Putting the old one back hands over the outer one.
    EXPECT_EQ(windows.SetWindowProc(h, previous), outer);
    EXPECT_EQ(windows.SendMessage(h, 0x0400, 7, 8), 5);
    EXPECT_EQ(outerCalls, 1);
}

TEST_F(Windows, set_window_proc_on_a_non_window_fails_and_null_proc_calls_are_harmless) {
    EXPECT_EQ(windows.SetWindowProc(0x1234567,
                                    makeWindowProc([](HWND, UINT, WPARAM, LPARAM) { return LRESULT{1}; })),
              nullptr);
    EXPECT_EQ(windows.lastError(), ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_EQ(windows.GetWindowProc(0x1234567), nullptr);
    EXPECT_EQ(WindowSystem::CallWindowProc(nullptr, 1, 2, 3, 4), 0);
    EXPECT_EQ(windows.SendMessage(0x1234567, 0x0400, 0, 0), 0);
}

TEST_F(Windows, procedure_that_replaces_itself_while_running_finishes_safely) {
    const HWND h = windows.CreateMessageWindow();
    int selfCalls = 0;
    windows.SetWindowProc(h, makeWindowProc([&, h](HWND, UINT, WPARAM, LPARAM) {
                              ++selfCalls;
                              // Drops the last stored reference to this very procedure.
                              windows.SetWindowProc(
                                  h, makeWindowProc([](HWND, UINT, WPARAM, LPARAM) { return LRESULT{2}; }));
                              return LRESULT{selfCalls};
                          }));
    EXPECT_EQ(windows.SendMessage(h, 0x0400, 0, 0), 1);
    EXPECT_EQ(windows.SendMessage(h, 0x0400, 0, 0), 2);
    EXPECT_EQ(selfCalls, 1);
}

TEST(WindowsLifetime, messages_queued_for_a_destroyed_window_system_are_dropped) {
    ManualClock clock;
    PollEventLoop loop{clock};
    int delivered = 0;
    {
        WindowSystem windows{loop};
        const HWND h = windows.CreateMessageWindow();
        windows.SetWindowProc(h, makeWindowProc([&](HWND, UINT, WPARAM, LPARAM) {
                                  ++delivered;
                                  return LRESULT{0};
                              }));
        windows.PostMessage(h, 0xC001, 0, 0);
    }
    loop.drain();
    EXPECT_EQ(delivered, 0);
}

} // namespace
} // namespace pm::platform
