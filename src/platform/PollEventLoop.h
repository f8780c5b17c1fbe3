#pragma once
// The poll() backend of the event loop. One pass runs, in this order: the
// timers that are due, the posted tasks, one poll() for socket readiness, and
// the readiness callbacks. An idle loop sleeps in poll() until the next timer.

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <vector>

#include "platform/EventLoop.h"
#include "platform/SysSocket.h"

namespace pm::platform {

class PollEventLoop final : public EventLoop {
public:
    explicit PollEventLoop(Clock& clock);

    WatchId watchSocket(int fd, bool read, bool write, ReadyFn onReady) override;
    void updateWatch(WatchId id, bool read, bool write) override;
    void unwatch(WatchId id) override;

    TimerId startTimer(std::chrono::milliseconds interval, std::function<void()> onTick) override;
    void stopTimer(TimerId id) override;

    void post(std::function<void()> fn) override;

    int run() override;
    void quit(int exitCode) override;
    Clock& clock() override { return clock_; }

    // One pass; blocks in poll() for at most maxWait (and never past the next
    // due timer). Returns false once quit() has been called.
    bool runOnce(std::chrono::milliseconds maxWait);

    // For tests with a manual clock: moves time forward step by step, firing
    // every timer at its own deadline and letting sockets and tasks run in
    // between, as a real second would.
    void advance(std::chrono::milliseconds by);

    // Runs passes until nothing is left to do without waiting.
    void drain();

    bool quitRequested() const { return quit_; }
    std::size_t timerCount() const { return timers_.size(); }

private:
    struct Watch {
        int fd;
        bool read;
        bool write;
        // Shared, so that a callback that ends its own watch or timer runs
        // on to its end, without a copy of the function (an allocation) per call.
        std::shared_ptr<const ReadyFn> onReady;
    };
    struct TimerEntry {
        std::chrono::milliseconds interval;
        Clock::Monotonic deadline;
        std::shared_ptr<const std::function<void()>> onTick; // shared, as onReady
    };

    void runDueTimers();
    bool runPosted();
    bool pollOnce(int timeoutMs);
    int timeoutUntilNextTimer(std::chrono::milliseconds maxWait) const;

    Clock& clock_;
    std::map<WatchId, Watch> watches_;
    std::map<TimerId, TimerEntry> timers_;
    std::deque<std::function<void()>> posted_;
    // A pass's working lists, kept between passes (see runDueTimers).
    std::vector<TimerId> spareDue_;
    std::vector<sys::PollItem> spareItems_;
    std::vector<WatchId> spareIds_;
    std::uint64_t polls_ = 0; // polls made; one made within a callback ends the outer pass's
    WatchId nextWatch_ = 1;
    TimerId nextTimer_ = 1;
    bool quit_ = false;
    int exitCode_ = 0;
};

} // namespace pm::platform
