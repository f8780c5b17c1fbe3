// The window-message hook: its error reports (text, title, event-log entry),
// its message tables, the flow of a message through the hooked window, and
// unhooking, including from inside a running call.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "LoopTestSupport.h"
#include "platform/Clock.h"
#include "platform/Dialogs.h"
#include "platform/PollEventLoop.h"
#include "platform/Trace.h"
#include "platform/WinSock.h"
#include "platform/WindowSystem.h"
#include "platform/cWndHook.h"

namespace pm::platform {
namespace {

constexpr UINT kMsgA = 0xC0A1;
constexpr UINT kMsgB = 0xC0B2;
constexpr UINT kOther = 0x0400;
constexpr LRESULT kBaseResult = 5;

struct Call {
    bool before;
    UINT msg;
    WPARAM wParam;
    LPARAM lParam;
    LRESULT returnSeen;
    std::intptr_t userValue;
};

// An owner that records every callback and lets a test decide what it does.
class RecordingOwner final : public IHookOwner {
public:
    std::vector<Call> calls;
    std::function<void(bool before, bool& handled, LRESULT& ret, UINT msg)> behaviour;
    bool hasCallback = true;

    void WndProcHook(bool bBefore, bool& bHandled, LRESULT& lReturn, HWND, UINT uMsg, WPARAM wParam,
                     LPARAM lParam, std::intptr_t& lParamUser) override {
        calls.push_back({bBefore, uMsg, wParam, lParam, lReturn, lParamUser});
        if (behaviour) {
            behaviour(bBefore, bHandled, lReturn, uMsg);
        }
    }
    bool HasHookCallback() const override { return hasCallback; }

    int count(UINT msg) const {
        int n = 0;
        for (const auto& c : calls) {
            n += c.msg == msg ? 1 : 0;
        }
        return n;
    }
};

class Hook : public ::testing::Test {
protected:
    ManualClock clock;
    PollEventLoop loop{clock};
    WindowSystem windows{loop};
    ScriptedDialogs dialogs;
    std::vector<std::string> logEntries;
    EventLog eventLog{[this](std::string_view e) { logEntries.emplace_back(e); }};
    RecordingOwner owner;
    std::unique_ptr<cWndHook> hook = std::make_unique<cWndHook>(windows, dialogs, eventLog);
    // What the window's own procedure saw, in order.
    std::vector<UINT> baseSaw;
    std::function<void(HWND, UINT)> baseBehaviour;
    HWND hWnd = 0;
    WNDPROC baseProc;

    void SetUp() override { hWnd = newWindow(); }

    HWND newWindow() {
        const HWND h = windows.CreateMessageWindow();
        baseProc = makeWindowProc([this](HWND w, UINT m, WPARAM, LPARAM) {
            baseSaw.push_back(m);
            if (baseBehaviour) {
                baseBehaviour(w, m);
            }
            return kBaseResult;
        });
        windows.SetWindowProc(h, baseProc);
        return h;
    }

    LRESULT send(UINT m, WPARAM w = 11, LPARAM l = 22) { return windows.SendMessage(hWnd, m, w, l); }

    // Exactly one report, with the fixed texts for this routine.
    void expectOneReport(const std::string& routine, const std::string& message) {
        ASSERT_EQ(dialogs.shown.size(), 1u) << "reports: " << logEntries.size();
        EXPECT_EQ(dialogs.shown[0].text, message + ".");
        EXPECT_EQ(dialogs.shown[0].title, "Error in cWndHook." + routine);
        EXPECT_EQ(dialogs.shown[0].icon, DialogIcon::Warning);
        EXPECT_EQ(dialogs.shown[0].buttons, DialogButtons::Ok);
        ASSERT_EQ(logEntries.size(), 1u);
        EXPECT_EQ(logEntries[0], "cWndHook." + routine + ": " + message);
    }
    void expectNoReport() {
        EXPECT_TRUE(dialogs.shown.empty())
            << dialogs.shown.front().title << ": " << dialogs.shown.front().text;
        EXPECT_TRUE(logEntries.empty());
    }
    void clearReports() {
        dialogs.shown.clear();
        logEntries.clear();
    }
};

// --- error reports ---------------------------------------------------------

TEST_F(Hook, hooking_a_non_window_reports_invalid_handle) {
    EXPECT_FALSE(hook->SubclassWindow(0x7777777, &owner));
    expectOneReport("sc_Subclass", "Invalid window handle");
    EXPECT_FALSE(hook->IsSubclassed(0x7777777));
}

TEST_F(Hook, hooking_a_foreign_window_reports_and_leaves_it_alone) {
    const HWND foreign = windows.CreateForeignWindow(windows.GetCurrentProcessId() + 1);
    const WNDPROC before = windows.GetWindowProc(foreign);
    EXPECT_FALSE(hook->SubclassWindow(foreign, &owner));
    expectOneReport("sc_Subclass", "Window handle belongs to another process");
    EXPECT_EQ(windows.GetWindowProc(foreign), before);
}

TEST_F(Hook, hooking_for_an_owner_without_a_callback_reports_it) {
    owner.hasCallback = false;
    EXPECT_FALSE(hook->SubclassWindow(hWnd, &owner));
    expectOneReport("sc_Subclass", "Callback method not found");
    EXPECT_EQ(windows.GetWindowProc(hWnd), baseProc);
}

TEST_F(Hook, hooking_twice_reports_already_subclassed_and_the_first_hook_keeps_working) {
    RecordingOwner second;
    ASSERT_TRUE(hook->SubclassWindow(hWnd, &owner));
    hook->SubclassMessage(hWnd, kMsgA, cWndHook::WHEN_BEFORE);
    const WNDPROC installed = windows.GetWindowProc(hWnd);

    EXPECT_FALSE(hook->SubclassWindow(hWnd, &second));
    expectOneReport("sc_Subclass", "Window handle is already subclassed");
    EXPECT_EQ(windows.GetWindowProc(hWnd), installed);
    EXPECT_EQ(hook->MessageCount(hWnd, cWndHook::WHEN_BEFORE), 1);

    EXPECT_EQ(send(kMsgA), kBaseResult);
    EXPECT_EQ(owner.count(kMsgA), 1);
    EXPECT_TRUE(second.calls.empty());
    EXPECT_EQ(baseSaw, (std::vector<UINT>{kMsgA}));
}

TEST_F(Hook, adding_a_message_before_any_hook_reports_not_started) {
    hook->SubclassMessage(hWnd, kMsgA, cWndHook::WHEN_BEFORE);
    expectOneReport("zMap_hWnd", "Subclassing hasn't been started");
}

TEST_F(Hook, adding_a_message_for_an_unhooked_window_reports_not_subclassed) {
    const HWND other = windows.CreateMessageWindow();
    ASSERT_TRUE(hook->SubclassWindow(other, &owner));
    hook->SubclassMessage(hWnd, kMsgA, cWndHook::WHEN_BEFORE);
    expectOneReport("zMap_hWnd", "Window handle isn't subclassed");
    EXPECT_EQ(hook->MessageCount(other, cWndHook::WHEN_BEFORE), 0);
}

TEST_F(Hook, unhooking_reports_not_subclassed_before_any_hook_and_for_an_unknown_window) {
    hook->UnSubclassWindow(hWnd);
    expectOneReport("sc_UnSubclass", "Window handle isn't subclassed");

    clearReports();
    const HWND other = windows.CreateMessageWindow();
    ASSERT_TRUE(hook->SubclassWindow(other, &owner));
    hook->UnSubclassWindow(hWnd);
    expectOneReport("zMap_hWnd", "Window handle isn't subclassed");
    EXPECT_TRUE(hook->IsSubclassed(other));
}

TEST_F(Hook, table_overflow_at_the_33rd_message_keeps_the_32_stored) {
    ASSERT_TRUE(hook->SubclassWindow(hWnd, &owner));
    for (UINT i = 0; i < 32; ++i) {
        hook->SubclassMessage(hWnd, 0xC100 + i, cWndHook::WHEN_BEFORE);
    }
    expectNoReport();
    hook->SubclassMessage(hWnd, 0xC100 + 32, cWndHook::WHEN_BEFORE);
    expectOneReport("zAddMsg",
                    "Message table overflow. Either increase the value of Const MSG_ENTRIES or use "
                    "ALL_MESSAGES instead of specific message values");
    EXPECT_EQ(hook->MessageCount(hWnd, cWndHook::WHEN_BEFORE), 32);

    for (UINT i = 0; i <= 32; ++i) {
        send(0xC100 + i);
    }
    ASSERT_EQ(owner.calls.size(), 32u);
    for (UINT i = 0; i < 32; ++i) {
        EXPECT_EQ(owner.calls[i].msg, 0xC100 + i);
    }
    EXPECT_EQ(baseSaw.size(), 33u);
}

TEST_F(Hook, full_count_refuses_a_new_message_even_with_a_freed_slot) {
    // The count only ever grows; a hole below it does not lift the limit.
    ASSERT_TRUE(hook->SubclassWindow(hWnd, &owner));
    for (UINT i = 0; i < 32; ++i) {
        hook->SubclassMessage(hWnd, 0xC100 + i, cWndHook::WHEN_BEFORE);
    }
    hook->UnSubclassMessage(hWnd, 0xC105, cWndHook::WHEN_BEFORE);
    expectNoReport();
    hook->SubclassMessage(hWnd, 0xC200, cWndHook::WHEN_BEFORE);
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].title, "Error in cWndHook.zAddMsg");
    EXPECT_EQ(hook->MessageCount(hWnd, cWndHook::WHEN_BEFORE), 32);
    send(0xC105);
    send(0xC200);
    send(0xC11F);
    ASSERT_EQ(owner.calls.size(), 1u);
    EXPECT_EQ(owner.calls[0].msg, 0xC11Fu);
}

TEST_F(Hook, duplicate_add_changes_nothing_and_a_freed_slot_is_reused) {
    ASSERT_TRUE(hook->SubclassWindow(hWnd, &owner));
    hook->SubclassMessage(hWnd, kMsgA, cWndHook::WHEN_BEFORE);
    hook->SubclassMessage(hWnd, kMsgA, cWndHook::WHEN_BEFORE);
    EXPECT_EQ(hook->MessageCount(hWnd, cWndHook::WHEN_BEFORE), 1);
    send(kMsgA);
    EXPECT_EQ(owner.count(kMsgA), 1);

    hook->SubclassMessage(hWnd, kMsgB, cWndHook::WHEN_BEFORE);
    hook->UnSubclassMessage(hWnd, kMsgA, cWndHook::WHEN_BEFORE);
    EXPECT_EQ(hook->MessageCount(hWnd, cWndHook::WHEN_BEFORE), 2); // the hole stays counted
    hook->SubclassMessage(hWnd, kOther, cWndHook::WHEN_BEFORE);
    EXPECT_EQ(hook->MessageCount(hWnd, cWndHook::WHEN_BEFORE), 2); // ...and is filled
    expectNoReport();

    owner.calls.clear();
    send(kMsgA);
    send(kMsgB);
    send(kOther);
    ASSERT_EQ(owner.calls.size(), 2u);
    EXPECT_EQ(owner.calls[0].msg, kMsgB);
    EXPECT_EQ(owner.calls[1].msg, kOther);
}

TEST_F(Hook, deleting_an_unknown_message_reports_it_in_upper_case_hex) {
    ASSERT_TRUE(hook->SubclassWindow(hWnd, &owner));
    hook->SubclassMessage(hWnd, kMsgA, cWndHook::WHEN_BEFORE);
    hook->UnSubclassMessage(hWnd, 0xC0FE, cWndHook::WHEN_BEFORE);
    expectOneReport("zDelMsg", "Message &HC0FE not found in table");
    send(kMsgA);
    EXPECT_EQ(owner.count(kMsgA), 1);

    // Asking for both tables checks each one.
    clearReports();
    hook->UnSubclassMessage(hWnd, kMsgA, cWndHook::WHEN_BEFORE | cWndHook::WHEN_AFTER);
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].text, "Message &HC0A1 not found in table.");
    EXPECT_EQ(hook->MessageCount(hWnd, cWndHook::WHEN_BEFORE), 1);
    send(kMsgA);
    EXPECT_EQ(owner.count(kMsgA), 1); // the before entry was removed
}

// --- message flow ----------------------------------------------------------

TEST_F(Hook, before_callback_runs_first_then_the_previous_procedure) {
    std::vector<std::string> order;
    owner.behaviour = [&](bool before, bool&, LRESULT&, UINT) {
        order.push_back(before ? "before" : "after");
    };
    baseBehaviour = [&](HWND, UINT) { order.push_back("base"); };
    ASSERT_TRUE(hook->SubclassWindow(hWnd, &owner));
    hook->SubclassMessage(hWnd, kMsgA, cWndHook::WHEN_BEFORE);

    EXPECT_EQ(send(kMsgA, 0x1234, -7), kBaseResult);
    EXPECT_EQ(order, (std::vector<std::string>{"before", "base"}));
    ASSERT_EQ(owner.calls.size(), 1u);
    EXPECT_TRUE(owner.calls[0].before);
    EXPECT_EQ(owner.calls[0].wParam, 0x1234u);
    EXPECT_EQ(owner.calls[0].lParam, -7);
    EXPECT_EQ(owner.calls[0].returnSeen, 0);
    EXPECT_EQ(owner.calls[0].userValue, 0);
}

TEST_F(Hook, handled_before_callback_stops_the_message) {
    owner.behaviour = [](bool, bool& handled, LRESULT& ret, UINT) {
        handled = true;
        ret = 99;
    };
    ASSERT_TRUE(hook->SubclassWindow(hWnd, &owner));
    hook->SubclassMessage(hWnd, kMsgA, cWndHook::WHEN_BEFORE | cWndHook::WHEN_AFTER);
    EXPECT_EQ(send(kMsgA), 99);
    EXPECT_TRUE(baseSaw.empty());
    ASSERT_EQ(owner.calls.size(), 1u); // no after callback either
    EXPECT_TRUE(owner.calls[0].before);
}

TEST_F(Hook, after_callback_sees_and_may_change_the_return_value) {
    owner.behaviour = [](bool before, bool& handled, LRESULT& ret, UINT) {
        if (!before) {
            handled = true; // means nothing after the fact
            ret += 100;
        }
    };
    ASSERT_TRUE(hook->SubclassWindow(hWnd, &owner));
    hook->SubclassMessage(hWnd, kMsgA, cWndHook::WHEN_AFTER);
    EXPECT_EQ(send(kMsgA), kBaseResult + 100);
    ASSERT_EQ(owner.calls.size(), 1u);
    EXPECT_FALSE(owner.calls[0].before);
    EXPECT_EQ(owner.calls[0].returnSeen, kBaseResult);
    EXPECT_EQ(baseSaw, (std::vector<UINT>{kMsgA}));
}

TEST_F(Hook, both_tables_give_before_and_after_around_the_previous_procedure) {
    std::vector<std::string> order;
    owner.behaviour = [&](bool before, bool&, LRESULT&, UINT) {
        order.push_back(before ? "before" : "after");
    };
    baseBehaviour = [&](HWND, UINT) { order.push_back("base"); };
    ASSERT_TRUE(hook->SubclassWindow(hWnd, &owner));
    hook->SubclassMessage(hWnd, kMsgA, cWndHook::WHEN_BEFORE | cWndHook::WHEN_AFTER);
    send(kMsgA);
    EXPECT_EQ(order, (std::vector<std::string>{"before", "base", "after"}));
}

TEST_F(Hook, message_in_no_table_reaches_only_the_previous_procedure) {
    ASSERT_TRUE(hook->SubclassWindow(hWnd, &owner));
    hook->SubclassMessage(hWnd, kMsgA, cWndHook::WHEN_BEFORE | cWndHook::WHEN_AFTER);
    EXPECT_EQ(send(kMsgB), kBaseResult);
    EXPECT_TRUE(owner.calls.empty());
    EXPECT_EQ(baseSaw, (std::vector<UINT>{kMsgB}));
}

TEST_F(Hook, all_messages_sees_everything_until_removed) {
    ASSERT_TRUE(hook->SubclassWindow(hWnd, &owner));
    hook->SubclassMessage(hWnd, cWndHook::ALL_MESSAGES, cWndHook::WHEN_BEFORE);
    EXPECT_EQ(hook->MessageCount(hWnd, cWndHook::WHEN_BEFORE), cWndHook::ALL_MESSAGES);
    // A specific message on top of "all" must not disturb the table.
    hook->SubclassMessage(hWnd, kMsgA, cWndHook::WHEN_BEFORE);
    EXPECT_EQ(hook->MessageCount(hWnd, cWndHook::WHEN_BEFORE), cWndHook::ALL_MESSAGES);
    send(kMsgA);
    send(kMsgB);
    send(kOther);
    EXPECT_EQ(owner.calls.size(), 3u);
    EXPECT_EQ(baseSaw.size(), 3u);

    hook->UnSubclassMessage(hWnd, cWndHook::ALL_MESSAGES, cWndHook::WHEN_BEFORE);
    EXPECT_EQ(hook->MessageCount(hWnd, cWndHook::WHEN_BEFORE), 0);
    send(kMsgA);
    EXPECT_EQ(owner.calls.size(), 3u);
    expectNoReport();
}

TEST_F(Hook, posted_messages_pass_through_the_hook_on_the_loop) {
    ASSERT_TRUE(hook->SubclassWindow(hWnd, &owner));
    hook->SubclassMessage(hWnd, kMsgA, cWndHook::WHEN_BEFORE);
    windows.PostMessage(hWnd, kMsgA, 1, 2);
    windows.PostMessage(hWnd, kMsgB, 3, 4);
    EXPECT_TRUE(owner.calls.empty());
    loop.drain();
    ASSERT_EQ(owner.calls.size(), 1u);
    EXPECT_EQ(owner.calls[0].wParam, 1u);
    EXPECT_EQ(baseSaw, (std::vector<UINT>{kMsgA, kMsgB}));
}

TEST_F(Hook, hook_object_as_its_own_owner_passes_messages_on) {
    ASSERT_TRUE(hook->SubclassWindow(hWnd, nullptr));
    hook->SubclassMessage(hWnd, kMsgA, cWndHook::WHEN_BEFORE | cWndHook::WHEN_AFTER);
    EXPECT_EQ(send(kMsgA), kBaseResult);
    EXPECT_EQ(baseSaw, (std::vector<UINT>{kMsgA}));
    expectNoReport();
}

// --- unhooking -------------------------------------------------------------

TEST_F(Hook, unhooking_restores_the_previous_procedure_and_silences_the_owner) {
    ASSERT_TRUE(hook->SubclassWindow(hWnd, &owner));
    hook->SubclassMessage(hWnd, kMsgA, cWndHook::WHEN_BEFORE);
    windows.PostMessage(hWnd, kMsgA, 0, 0); // queued before the unhook
    hook->UnSubclassWindow(hWnd);
    EXPECT_EQ(windows.GetWindowProc(hWnd), baseProc);
    EXPECT_FALSE(hook->IsSubclassed(hWnd));

    loop.drain();
    send(kMsgA);
    EXPECT_TRUE(owner.calls.empty());
    EXPECT_EQ(baseSaw, (std::vector<UINT>{kMsgA, kMsgA}));
    expectNoReport();

    // The window can be hooked again, afresh.
    ASSERT_TRUE(hook->SubclassWindow(hWnd, &owner));
    EXPECT_EQ(hook->MessageCount(hWnd, cWndHook::WHEN_BEFORE), 0);
    expectNoReport();
}

TEST_F(Hook, unhooking_inside_a_before_callback_still_delivers_that_message) {
    owner.behaviour = [&](bool, bool&, LRESULT&, UINT) { hook->UnSubclassWindow(hWnd); };
    ASSERT_TRUE(hook->SubclassWindow(hWnd, &owner));
    hook->SubclassMessage(hWnd, kMsgA, cWndHook::WHEN_BEFORE | cWndHook::WHEN_AFTER);
    EXPECT_EQ(send(kMsgA), kBaseResult);
    ASSERT_EQ(owner.calls.size(), 1u); // the after callback belongs to a hook that is gone
    EXPECT_EQ(baseSaw, (std::vector<UINT>{kMsgA}));
    EXPECT_EQ(windows.GetWindowProc(hWnd), baseProc);
    send(kMsgA);
    EXPECT_EQ(owner.calls.size(), 1u);
    expectNoReport();
}

TEST_F(Hook, unhooking_while_the_previous_procedure_runs_waits_for_the_outermost_call) {
    // The window's own procedure sends itself a nested message; the owner
    // unhooks while handling that nested message.
    std::vector<bool> stillHookedInBase;
    baseBehaviour = [&](HWND w, UINT m) {
        if (m == kMsgA) {
            windows.SendMessage(w, kMsgB, 0, 0);
            stillHookedInBase.push_back(windows.GetWindowProc(w) != baseProc);
        }
    };
    owner.behaviour = [&](bool before, bool&, LRESULT&, UINT m) {
        if (before && m == kMsgB) {
            hook->UnSubclassWindow(hWnd);
        }
    };
    ASSERT_TRUE(hook->SubclassWindow(hWnd, &owner));
    hook->SubclassMessage(hWnd, kMsgA, cWndHook::WHEN_BEFORE | cWndHook::WHEN_AFTER);
    hook->SubclassMessage(hWnd, kMsgB, cWndHook::WHEN_BEFORE | cWndHook::WHEN_AFTER);

    EXPECT_EQ(send(kMsgA), kBaseResult);
    // The hook stayed in place while the outer call was inside the previous
    // procedure, and took itself out when that call returned.
    EXPECT_EQ(stillHookedInBase, (std::vector<bool>{true}));
    EXPECT_EQ(windows.GetWindowProc(hWnd), baseProc);
    EXPECT_EQ(baseSaw, (std::vector<UINT>{kMsgA, kMsgB}));
    // before(A), before(B); nothing after the unhook.
    ASSERT_EQ(owner.calls.size(), 2u);
    EXPECT_EQ(owner.calls[0].msg, kMsgA);
    EXPECT_EQ(owner.calls[1].msg, kMsgB);
    EXPECT_FALSE(hook->IsSubclassed(hWnd));
    expectNoReport();

    send(kMsgA);
    EXPECT_EQ(owner.calls.size(), 2u);
}

TEST_F(Hook, destroying_the_hook_object_unhooks_every_window) {
    RecordingOwner ownerB;
    const WNDPROC baseA = baseProc;
    const HWND hB = newWindow();
    const WNDPROC baseB = baseProc;
    ASSERT_TRUE(hook->SubclassWindow(hWnd, &owner));
    ASSERT_TRUE(hook->SubclassWindow(hB, &ownerB));
    hook->SubclassMessage(hWnd, kMsgA, cWndHook::WHEN_BEFORE);
    hook->SubclassMessage(hB, kMsgA, cWndHook::WHEN_BEFORE);

    hook.reset();
    EXPECT_EQ(windows.GetWindowProc(hWnd), baseA);
    EXPECT_EQ(windows.GetWindowProc(hB), baseB);
    windows.SendMessage(hWnd, kMsgA, 0, 0);
    windows.SendMessage(hB, kMsgA, 0, 0);
    EXPECT_TRUE(owner.calls.empty());
    EXPECT_TRUE(ownerB.calls.empty());
    EXPECT_EQ(baseSaw.size(), 2u);
    expectNoReport();
}

TEST_F(Hook, destroying_the_hook_object_during_a_call_is_safe) {
    baseBehaviour = [&](HWND, UINT m) {
        if (m == kMsgA) {
            hook.reset();
        }
    };
    ASSERT_TRUE(hook->SubclassWindow(hWnd, &owner));
    hook->SubclassMessage(hWnd, kMsgA, cWndHook::WHEN_BEFORE | cWndHook::WHEN_AFTER);
    EXPECT_EQ(send(kMsgA), kBaseResult);
    EXPECT_EQ(owner.calls.size(), 1u);
    EXPECT_EQ(windows.GetWindowProc(hWnd), baseProc);
}

TEST_F(Hook, destroyed_window_leaves_a_record_that_is_skipped_silently) {
    ASSERT_TRUE(hook->SubclassWindow(hWnd, &owner));
    windows.DestroyWindow(hWnd);
    EXPECT_FALSE(hook->IsSubclassed(hWnd));
    hook->SubclassMessage(hWnd, kMsgA, cWndHook::WHEN_BEFORE);
    hook->UnSubclassWindow(hWnd);
    expectNoReport();
}

TEST_F(Hook, two_hooks_on_one_window_unhook_in_either_order) {
    RecordingOwner outerOwner;
    cWndHook outerHook{windows, dialogs, eventLog};
    ASSERT_TRUE(hook->SubclassWindow(hWnd, &owner));
    hook->SubclassMessage(hWnd, kMsgA, cWndHook::WHEN_BEFORE);
    ASSERT_TRUE(outerHook.SubclassWindow(hWnd, &outerOwner));
    outerHook.SubclassMessage(hWnd, kMsgA, cWndHook::WHEN_BEFORE);

    // The inner hook leaves first: it must not take the outer one with it.
    hook->UnSubclassWindow(hWnd);
    send(kMsgA);
    EXPECT_TRUE(owner.calls.empty());
    EXPECT_EQ(outerOwner.count(kMsgA), 1);
    EXPECT_EQ(baseSaw.size(), 1u);

    outerHook.UnSubclassWindow(hWnd);
    send(kMsgA); // the inner record, now on top, takes itself out here
    EXPECT_EQ(outerOwner.count(kMsgA), 1);
    EXPECT_EQ(baseSaw.size(), 2u);
    EXPECT_EQ(windows.GetWindowProc(hWnd), baseProc);
    expectNoReport();
}

// --- with the socket layer -------------------------------------------------

TEST(HookWithSockets, socket_notice_reaches_the_owner_before_the_window) {
    SystemClock clock;
    PollEventLoop loop{clock};
    WindowSystem windows{loop};
    ScriptedDialogs dialogs;
    EventLog eventLog;
    WinSock ws{loop, windows};
    cWndHook hook{windows, dialogs, eventLog};
    RecordingOwner owner;

    std::vector<std::string> order;
    const HWND h = windows.CreateMessageWindow();
    windows.SetWindowProc(h, makeWindowProc([&](HWND, UINT, WPARAM, LPARAM) {
                              order.push_back("window");
                              return LRESULT{0};
                          }));
    owner.behaviour = [&](bool, bool&, LRESULT&, UINT) { order.push_back("owner"); };
    const UINT msg = windows.RegisterWindowMessage("okSocket0.1656214");
    ASSERT_TRUE(hook.SubclassWindow(h, &owner));
    hook.SubclassMessage(h, msg, cWndHook::WHEN_BEFORE);

    ASSERT_EQ(ws.WSAStartup(0x0202), 0);
    const SOCKET s = ws.socket(AF_INET_W, SOCK_DGRAM_W, 17);
    ASSERT_EQ(ws.WSAAsyncSelect(s, h, msg, FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE), 0);
    ASSERT_TRUE(testsupport::runUntil(loop, [&] { return !owner.calls.empty(); }));
    testsupport::settle(loop);

    ASSERT_EQ(owner.calls.size(), 1u);
    EXPECT_EQ(owner.calls[0].msg, msg);
    EXPECT_EQ(owner.calls[0].wParam, s);
    EXPECT_EQ(owner.calls[0].lParam, makeSelectReply(FD_WRITE, 0));
    EXPECT_EQ(order, (std::vector<std::string>{"owner", "window"}));
    EXPECT_TRUE(dialogs.shown.empty());
}

} // namespace
} // namespace pm::platform
