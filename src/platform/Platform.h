#pragma once
// The services every layer above reaches the platform through. The program
// builds one PlatformStack; the window swaps in its own event loop.

#include <memory>

#include "platform/Clock.h"
#include "platform/Dialogs.h"
#include "platform/EventLoop.h"
#include "platform/PollEventLoop.h"
#include "platform/Trace.h"
#include "platform/WinSock.h"
#include "platform/WindowSystem.h"
#include "platform/cWndHook.h"

namespace pm::platform {

struct Platform {
    EventLoop& loop;
    Clock& clock;
    WindowSystem& windows;
    WinSock& sockets;
    Dialogs& dialogs;
    Trace& trace;
    EventLog& eventLog;
    // The one hook object of the program, created by the first client that
    // connects and shared by all of them.
    std::unique_ptr<cWndHook> sharedHook;

    cWndHook& hook() {
        if (!sharedHook) {
            sharedHook = std::make_unique<cWndHook>(windows, dialogs, eventLog);
        }
        return *sharedHook;
    }
};

// Owns a complete platform on a poll() loop: the headless program's and the
// tests'. Pass a ManualClock to drive timers without sleeping.
class PlatformStack {
public:
    explicit PlatformStack(std::unique_ptr<Clock> clock = std::make_unique<SystemClock>(),
                           std::unique_ptr<Dialogs> dialogs = std::make_unique<ScriptedDialogs>())
        : clock_(std::move(clock)), dialogs_(std::move(dialogs)), loop_(*clock_), windows_(loop_),
          sockets_(loop_, windows_), trace_(*clock_),
          platform_{loop_, *clock_, windows_, sockets_, *dialogs_, trace_, eventLog_, nullptr} {}

    ~PlatformStack() { platform_.sharedHook.reset(); }

    Platform& platform() { return platform_; }
    PollEventLoop& loop() { return loop_; }
    Clock& clock() { return *clock_; }
    ManualClock* manualClock() { return dynamic_cast<ManualClock*>(clock_.get()); }
    WindowSystem& windows() { return windows_; }
    WinSock& sockets() { return sockets_; }
    Dialogs& dialogs() { return *dialogs_; }
    Trace& trace() { return trace_; }
    EventLog& eventLog() { return eventLog_; }

private:
    std::unique_ptr<Clock> clock_;
    std::unique_ptr<Dialogs> dialogs_;
    PollEventLoop loop_;
    WindowSystem windows_;
    WinSock sockets_;
    Trace trace_;
    EventLog eventLog_;
    Platform platform_;
};

} // namespace pm::platform
