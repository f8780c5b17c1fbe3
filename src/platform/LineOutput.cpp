#include "platform/LineOutput.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "platform/EventLoop.h"

namespace pm::platform {

namespace {
// How long the end of the program waits for queued lines to be written.
constexpr std::chrono::milliseconds kFinalFlush{500};

// A pipe takes a write of up to PIPE_BUF bytes in one piece. stdout and
// stderr often share one (2>&1, a service's journal), so a batch goes out in
// whole lines no longer than that, and the other stream's lines never land
// in the middle of one of ours.
#ifdef PIPE_BUF
constexpr std::size_t kWholeWrite = PIPE_BUF;
#else
constexpr std::size_t kWholeWrite = 4096;
#endif
} // namespace

// Owned by the loop's side and the writer together, so that a writer stuck
// in write() can outlive the object that started it.
struct LineOutput::Shared {
    int fd = -1;
    std::mutex mutex;
    std::condition_variable wake;    // lines queued, or stop
    std::condition_variable drained; // the writer ended
    // Whole lines, oldest first, in one buffer: the writer swaps it for its
    // own, so neither side allocates once both have grown.
    std::string queue;
    std::size_t writing = 0; // bytes of the batch being written
    // Asleep on `wake` with nobody having woken it yet: only then does a
    // line need to cost a wake-up.
    bool writerWaiting = false;
    bool stop = false;
    bool gone = false;
    bool writerDone = false;
    std::uint64_t dropped = 0;
    std::uint64_t wakeups = 0;
    // The loop's thread alone: a wake-up is posted for this turn already.
    bool flushPosted = false;
};

namespace {

std::uint64_t countLines(std::string_view text) {
    return static_cast<std::uint64_t>(std::count(text.begin(), text.end(), '\n'));
}

// Writes every byte, or returns how many made it before the descriptor
// became unusable.
std::size_t writeBatch(int fd, std::string_view text) {
    std::size_t done = 0;
    while (done < text.size()) {
        std::size_t len = text.size() - done;
        if (len > kWholeWrite) {
            const std::size_t cut = text.rfind('\n', done + kWholeWrite - 1);
            // A line longer than that goes alone.
            len = (cut != std::string_view::npos && cut >= done ? cut : text.find('\n', done)) + 1 - done;
        }
        const ssize_t n = ::write(fd, text.data() + done, len);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return done; // EPIPE (SIGPIPE is ignored), EBADF, EIO, ...
        }
        done += static_cast<std::size_t>(n);
    }
    return done;
}

// The caller holds the mutex and notifies once it let go of it, so that the
// writer does not wake only to wait for the mutex.
bool takeWriterWaiting(LineOutput::Shared& shared) {
    if (!shared.writerWaiting || shared.queue.empty()) {
        return false;
    }
    shared.writerWaiting = false;
    return true;
}

void writerLoop(const std::shared_ptr<LineOutput::Shared>& shared) {
    std::string batch;
    std::unique_lock lock(shared->mutex);
    for (;;) {
        while (!shared->stop && shared->queue.empty()) {
            shared->writerWaiting = true;
            shared->wake.wait(lock);
            ++shared->wakeups;
        }
        shared->writerWaiting = false;
        if (shared->queue.empty()) {
            break; // stopped, everything written
        }
        batch.clear();
        batch.swap(shared->queue);
        shared->writing = batch.size();
        lock.unlock();
        const std::size_t written = writeBatch(shared->fd, batch);
        lock.lock();
        shared->writing = 0;
        if (written < batch.size()) {
            // Nobody will read these lines, nor any later one. A line cut
            // short counts as dropped.
            shared->gone = true;
            shared->dropped +=
                countLines(std::string_view(batch).substr(written)) + countLines(shared->queue);
            shared->queue.clear();
            break;
        }
    }
    shared->writerDone = true;
    shared->drained.notify_all();
}

} // namespace

LineOutput::LineOutput(int fd, Trace* trace, std::size_t limitBytes)
    : trace_(trace), limit_(limitBytes), shared_(std::make_shared<Shared>()) {
    shared_->fd = fd;
    std::thread([shared = shared_] { writerLoop(shared); }).detach();
}

LineOutput::~LineOutput() {
    std::unique_lock lock(shared_->mutex);
    shared_->stop = true;
    shared_->wake.notify_all();
    shared_->drained.wait_for(lock, kFinalFlush, [&] { return shared_->writerDone; });
    shared_->dropped += countLines(shared_->queue);
    const std::uint64_t total = shared_->dropped;
    const bool closed = shared_->gone;
    lock.unlock();
    reportDrops(total, closed);
}

void LineOutput::attach(EventLoop* loop) {
    loop_ = loop;
    // A turn's wake-up may be pending on the loop left behind.
    shared_->flushPosted = false;
    bool wake = false;
    {
        const std::lock_guard lock(shared_->mutex);
        wake = takeWriterWaiting(*shared_);
    }
    if (wake) {
        shared_->wake.notify_one();
    }
}

void LineOutput::writeLine(std::string_view line) {
    bool wake = false;
    std::uint64_t total = 0;
    bool closed = false;
    {
        const std::lock_guard lock(shared_->mutex);
        const std::size_t queued = shared_->queue.size() + shared_->writing;
        if (shared_->gone || shared_->stop || queued + line.size() + 1 > limit_) {
            ++shared_->dropped;
            return;
        }
        shared_->queue += line;
        shared_->queue += '\n';
        // Within a turn, only a queue filling up is worth waking for early.
        if (loop_ == nullptr || queued + line.size() + 1 >= limit_ / 2) {
            wake = takeWriterWaiting(*shared_);
        }
        total = shared_->dropped;
        closed = shared_->gone;
    }
    if (wake) {
        shared_->wake.notify_one();
    }
    if (loop_ != nullptr && !shared_->flushPosted) {
        shared_->flushPosted = true;
        loop_->post([shared = shared_] {
            shared->flushPosted = false;
            bool wakeNow = false;
            {
                const std::lock_guard lock(shared->mutex);
                wakeNow = takeWriterWaiting(*shared);
            }
            if (wakeNow) {
                shared->wake.notify_one();
            }
        });
    }
    // A line got through again: a good moment to say how many did not.
    reportDrops(total, closed);
}

void LineOutput::reportDrops(std::uint64_t total, bool closed) {
    if (trace_ == nullptr || total == droppedReported_) {
        return;
    }
    const std::uint64_t now = total - droppedReported_;
    droppedReported_ = total;
    trace_->status([&] {
        return std::to_string(now) + " status line" + (now == 1 ? "" : "s") + " dropped: " +
               (closed ? "the output is closed" : "the output is not being read");
    });
}

std::uint64_t LineOutput::dropped() const {
    const std::lock_guard lock(shared_->mutex);
    return shared_->dropped;
}

std::size_t LineOutput::queuedBytes() const {
    const std::lock_guard lock(shared_->mutex);
    return shared_->queue.size() + shared_->writing;
}

bool LineOutput::gone() const {
    const std::lock_guard lock(shared_->mutex);
    return shared_->gone;
}

std::uint64_t LineOutput::writerWakeups() const {
    const std::lock_guard lock(shared_->mutex);
    return shared_->wakeups;
}

} // namespace pm::platform
