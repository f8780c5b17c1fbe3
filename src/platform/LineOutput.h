#pragma once
// Lines to a descriptor that may stall or vanish: stdout into a pipe whose
// reader stopped reading or went away, a terminal held by Ctrl-S. The loop
// never waits for it. A writer thread of its own does the blocking writes;
// the loop only queues, up to a bound, and what does not fit, or can no
// longer be written, is dropped and counted. The descriptor's own flags are
// never touched: other processes may share it.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "platform/Trace.h"

namespace pm::platform {

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

    void writeLine(std::string_view line);

    std::uint64_t dropped() const;
    std::size_t queuedBytes() const;
    bool gone() const;

    // What the loop's side and the writer thread share.
    struct Shared;

private:
    void reportDrops();

    Trace* trace_;
    std::size_t limit_;
    std::shared_ptr<Shared> shared_;
    std::uint64_t droppedReported_ = 0;
};

} // namespace pm::platform
