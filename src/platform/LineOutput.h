#pragma once
// Lines to a descriptor that may stall or vanish: stdout into a pipe whose
// reader stopped reading or went away, a terminal held by Ctrl-S. The loop
// never waits for it. A writer thread of its own does the blocking writes;
// the loop only queues, up to a bound, and what does not fit, or can no
// longer be written, is dropped and counted. The descriptor's own flags are
// never touched: other processes may share it.
//
// Waking a thread costs more than formatting a line, and a restart vote logs
// dozens: with a loop attached, what one turn of the loop queues reaches the
// writer with one wake-up, and goes out in as few writes as the descriptor
// takes whole.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "platform/Trace.h"

namespace pm::platform {

class EventLoop;

class LineOutput {
public:
    // About ten thousand status lines: more than a reader that is merely
    // slow falls behind by, little enough to never matter for memory.
    static constexpr std::size_t kDefaultLimit = 1 << 20;

    // trace: where drop counts are told; nullptr for none (the trace's own output).
    LineOutput(int fd, Trace* trace, std::size_t limitBytes = kDefaultLimit);
    // Waits a moment for what is queued, then leaves a writer that is stuck
    // behind: the program's end must not wait for its reader.
    ~LineOutput();
    LineOutput(const LineOutput&) = delete;
    LineOutput& operator=(const LineOutput&) = delete;

    // From now on the writer is woken once per turn of this loop, by a task
    // posted with the turn's first line; nullptr goes back to waking it with
    // the first line it finds waiting. The loop must outlive the attachment.
    void attach(EventLoop* loop);

    // On the loop's thread, as everything else here.
    void writeLine(std::string_view line);

    std::uint64_t dropped() const;
    std::size_t queuedBytes() const;
    bool gone() const;
    // How often the writer thread was woken from its sleep.
    std::uint64_t writerWakeups() const;

    // What the loop's side and the writer thread share.
    struct Shared;

private:
    void reportDrops(std::uint64_t total, bool closed);

    Trace* trace_;
    std::size_t limit_;
    std::shared_ptr<Shared> shared_;
    EventLoop* loop_ = nullptr;
    std::uint64_t droppedReported_ = 0;
};

} // namespace pm::platform
