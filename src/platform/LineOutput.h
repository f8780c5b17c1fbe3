#pragma once
// Lines to a descriptor that may stall or vanish (stdout into a pipe whose
// reader stopped reading, or went away). The loop never waits for it: lines
// queue up to a bound, and what does not fit, or can no longer be written,
// is dropped and counted. A status log must never stop the servers' work.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

#include "platform/EventLoop.h"
#include "platform/Trace.h"

namespace pm::platform {

class LineOutput {
public:
    // About ten thousand status lines: more than a reader that is merely
    // slow falls behind by, little enough to never matter for memory.
    static constexpr std::size_t kDefaultLimit = 1 << 20;

    LineOutput(EventLoop& loop, Trace& trace, int fd, std::size_t limitBytes = kDefaultLimit);
    ~LineOutput();
    LineOutput(const LineOutput&) = delete;
    LineOutput& operator=(const LineOutput&) = delete;

    void writeLine(std::string_view line);

    std::uint64_t dropped() const { return dropped_; }
    std::size_t queuedBytes() const { return queuedBytes_; }
    bool gone() const { return gone_; }

private:
    void flush();
    void watchWritable(bool on);
    void reportDrops();

    EventLoop& loop_;
    Trace& trace_;
    int fd_;
    std::size_t limit_;
    int restoreFlags_ = -1; // the descriptor's flags before we made it non-blocking
    std::deque<std::string> queue_;
    std::size_t queuedBytes_ = 0;
    std::size_t headOffset_ = 0; // bytes of queue_.front() already written
    EventLoop::WatchId watch_ = 0;
    bool watching_ = false;
    bool gone_ = false;
    std::uint64_t dropped_ = 0;
    std::uint64_t droppedReported_ = 0;
};

} // namespace pm::platform
