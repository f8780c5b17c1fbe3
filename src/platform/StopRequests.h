#pragma once
// The system asking the program to end, delivered on the loop's thread
// between two events, as closing the window would be: SIGINT and SIGTERM on
// POSIX systems; Ctrl+C, Ctrl+Break, closing the console, logging off and
// shutting down on Windows. One file per system (StopRequestsPosix.cpp,
// StopRequestsWindows.cpp).

#include <functional>
#include <memory>

#include "platform/EventLoop.h"

namespace pm::platform {

class StopRequests {
public:
    // Create it before any thread: on POSIX systems the signals are blocked
    // here, and a thread started earlier would still take them.
    StopRequests();
    ~StopRequests();
    StopRequests(const StopRequests&) = delete;
    StopRequests& operator=(const StopRequests&) = delete;

    // From here on a request calls onStop on the loop's thread; one that
    // came earlier is delivered now. False when they cannot be watched.
    bool watch(EventLoop& loop, std::function<void()> onStop);
    // Call once the program has closed its connections, while the loop still
    // stands: Windows ends a process whose console is closed as soon as it is
    // told the close was handled, so that telling waits for this.
    void release();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// A reader that goes away (`| head`) must cost the program its output, not
// its servers: a write then fails instead of ending the process.
void ignoreBrokenPipes();

} // namespace pm::platform
