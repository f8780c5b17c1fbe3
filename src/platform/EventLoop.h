#pragma once
// The one thread's loop. Socket readiness, repeating timers and posted tasks
// all run here, one at a time. The headless program and the tests use the
// poll() backend; the window uses a Qt backend with the same interface.

#include <chrono>
#include <cstdint>
#include <functional>

#include "platform/Clock.h"

namespace pm::platform {

struct Readiness {
    bool readable = false;
    bool writable = false;
    bool error = false; // POLLERR / POLLHUP
};

class EventLoop {
public:
    using WatchId = std::uint64_t;
    using TimerId = std::uint64_t;
    using ReadyFn = std::function<void(Readiness)>;

    virtual ~EventLoop() = default;

    virtual WatchId watchSocket(int fd, bool read, bool write, ReadyFn onReady) = 0;
    virtual void updateWatch(WatchId id, bool read, bool write) = 0;
    virtual void unwatch(WatchId id) = 0;

    // A repeating timer; the first tick comes one interval after the start.
    virtual TimerId startTimer(std::chrono::milliseconds interval, std::function<void()> onTick) = 0;
    virtual void stopTimer(TimerId id) = 0;

    // Runs fn on the loop after everything already posted, in posting order.
    virtual void post(std::function<void()> fn) = 0;

    virtual int run() = 0;
    virtual void quit(int exitCode) = 0;

    virtual Clock& clock() = 0;
};

} // namespace pm::platform
