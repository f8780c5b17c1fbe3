#include "platform/PollEventLoop.h"

#include "platform/SysSocket.h"

#include <algorithm>
#include <cerrno>

namespace pm::platform {

using namespace std::chrono;

PollEventLoop::PollEventLoop(Clock& clock) : clock_(clock) {}

EventLoop::WatchId PollEventLoop::watchSocket(int fd, bool read, bool write, ReadyFn onReady) {
    const WatchId id = nextWatch_++;
    watches_.emplace(id, Watch{fd, read, write, std::make_shared<const ReadyFn>(std::move(onReady))});
    return id;
}

void PollEventLoop::updateWatch(WatchId id, bool read, bool write) {
    auto it = watches_.find(id);
    if (it != watches_.end()) {
        it->second.read = read;
        it->second.write = write;
    }
}

void PollEventLoop::unwatch(WatchId id) { watches_.erase(id); }

EventLoop::TimerId PollEventLoop::startTimer(milliseconds interval, std::function<void()> onTick) {
    const TimerId id = nextTimer_++;
    interval = std::max(interval, milliseconds(1));
    timers_.emplace(id, TimerEntry{interval, clock_.monotonicNow() + interval,
                                   std::make_shared<const std::function<void()>>(std::move(onTick))});
    return id;
}

void PollEventLoop::stopTimer(TimerId id) { timers_.erase(id); }

void PollEventLoop::post(std::function<void()> fn) { posted_.push_back(std::move(fn)); }

void PollEventLoop::quit(int exitCode) {
    quit_ = true;
    exitCode_ = exitCode;
}

int PollEventLoop::run() {
    while (runOnce(hours(24))) {
    }
    return exitCode_;
}

void PollEventLoop::runDueTimers() {
    const auto now = clock_.monotonicNow();
    // Collect first: a tick may start or stop timers. The list is borrowed
    // from the last pass, so that a pass allocates nothing; a tick that runs
    // a pass of its own finds none to borrow and makes one.
    std::vector<TimerId> due = std::move(spareDue_);
    due.clear();
    for (const auto& [id, t] : timers_) {
        if (t.deadline <= now) {
            due.push_back(id);
        }
    }
    std::sort(due.begin(), due.end(), [this](TimerId a, TimerId b) {
        return timers_.at(a).deadline < timers_.at(b).deadline;
    });
    for (TimerId id : due) {
        auto it = timers_.find(id);
        if (it == timers_.end() || it->second.deadline > now) {
            continue; // stopped by an earlier tick, or run by a pass that tick ran
        }
        // Re-arm from the old deadline so a late tick does not drift, but
        // never schedule in the past (a stalled loop ticks once, not N times).
        it->second.deadline += it->second.interval;
        if (it->second.deadline <= now) {
            it->second.deadline = now + it->second.interval;
        }
        const auto tick = it->second.onTick;
        (*tick)();
    }
    spareDue_ = std::move(due);
}

bool PollEventLoop::runPosted() {
    if (posted_.empty()) {
        return false;
    }
    // Only what was posted before this pass; tasks posted now run next pass,
    // after sockets had their turn.
    std::size_t count = posted_.size();
    while (count-- > 0 && !posted_.empty()) {
        auto fn = std::move(posted_.front());
        posted_.pop_front();
        fn();
    }
    return true;
}

int PollEventLoop::timeoutUntilNextTimer(milliseconds maxWait) const {
    if (!posted_.empty()) {
        return 0;
    }
    auto wait = maxWait;
    if (!timers_.empty()) {
        const auto now = clock_.monotonicNow();
        for (const auto& [id, t] : timers_) {
            const auto left = duration_cast<milliseconds>(t.deadline - now);
            // Round up so the loop does not wake a millisecond early and spin.
            const auto leftUp = t.deadline > now + left ? left + milliseconds(1) : left;
            wait = std::min(wait, std::max(leftUp, milliseconds(0)));
        }
        if (clock_.isManual()) {
            // Manual time never moves by itself: do not sleep waiting for it.
            wait = std::min(wait, milliseconds(0));
        }
    }
    return static_cast<int>(std::min<milliseconds::rep>(wait.count(), 24 * 3600 * 1000));
}

bool PollEventLoop::pollOnce(int timeoutMs) {
    // Borrowed as the due timers are (see runDueTimers).
    std::vector<sys::PollItem> items = std::move(spareItems_);
    std::vector<WatchId> ids = std::move(spareIds_);
    items.clear();
    ids.clear();
    for (const auto& [id, w] : watches_) {
        if (!w.read && !w.write) {
            continue;
        }
        sys::PollItem item;
        item.fd = w.fd;
        item.wantRead = w.read;
        item.wantWrite = w.write;
        items.push_back(item);
        ids.push_back(id);
    }
    // Nothing to watch and no time to wait: a poll would only cost a call
    // into the kernel, once per pass.
    const int n = items.empty() && timeoutMs == 0 ? 0 : sys::poll(items, timeoutMs);
    // A callback that runs passes of its own (a modal dialog's) may serve
    // the sockets this poll found ready: what is left of its findings is
    // stale then, and the next poll reports again what is still ready.
    const std::uint64_t pass = ++polls_;
    for (std::size_t i = 0; n > 0 && i < items.size() && polls_ == pass; ++i) {
        if (!items[i].readable && !items[i].writable && !items[i].error) {
            continue;
        }
        auto it = watches_.find(ids[i]);
        if (it == watches_.end()) {
            continue; // removed by an earlier callback in this pass
        }
        Readiness r;
        r.readable = items[i].readable;
        r.writable = items[i].writable;
        r.error = items[i].error;
        const auto fn = it->second.onReady;
        (*fn)(r);
    }
    spareItems_ = std::move(items);
    spareIds_ = std::move(ids);
    return n > 0;
}

bool PollEventLoop::runOnce(milliseconds maxWait) {
    if (quit_) {
        return false;
    }
    runDueTimers();
    runPosted();
    if (quit_) {
        return false;
    }
    pollOnce(timeoutUntilNextTimer(maxWait));
    return !quit_;
}

void PollEventLoop::drain() {
    for (int guard = 0; guard < 10000; ++guard) {
        runDueTimers();
        const bool didTasks = runPosted();
        const bool didIo = pollOnce(0);
        if (!didTasks && !didIo && posted_.empty()) {
            return;
        }
    }
}

void PollEventLoop::advance(milliseconds by) {
    auto* manual = dynamic_cast<ManualClock*>(&clock_);
    if (manual == nullptr) {
        return;
    }
    const auto target = clock_.monotonicNow() + by;
    drain();
    for (;;) {
        auto next = target;
        for (const auto& [id, t] : timers_) {
            next = std::min(next, t.deadline);
        }
        const auto now = clock_.monotonicNow();
        if (next > now) {
            manual->advance(duration_cast<milliseconds>(next - now));
        }
        drain();
        if (clock_.monotonicNow() >= target) {
            return;
        }
    }
}

} // namespace pm::platform
