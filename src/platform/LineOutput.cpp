#include "platform/LineOutput.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace pm::platform {

namespace {
// How long the end of the program waits for queued lines to be written.
constexpr std::chrono::milliseconds kFinalFlush{500};
} // namespace

// Owned by the loop's side and the writer together, so that a writer stuck
// in write() can outlive the object that started it.
struct LineOutput::Shared {
    int fd = -1;
    std::mutex mutex;
    std::condition_variable wake;    // lines queued, or stop
    std::condition_variable drained; // the queue emptied, or the writer ended
    std::deque<std::string> queue;
    std::size_t queuedBytes = 0; // includes the line being written
    bool stop = false;
    bool gone = false;
    bool writerDone = false;
    std::uint64_t dropped = 0;
};

namespace {

// Writes every byte, or reports the descriptor unusable.
bool writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false; // EPIPE (SIGPIPE is ignored), EBADF, EIO, ...
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

void writerLoop(const std::shared_ptr<LineOutput::Shared>& shared) {
    std::unique_lock lock(shared->mutex);
    for (;;) {
        shared->wake.wait(lock, [&] { return shared->stop || !shared->queue.empty(); });
        if (shared->queue.empty()) {
            break; // stopped, everything written
        }
        const std::string line = shared->queue.front();
        lock.unlock();
        const bool ok = writeAll(shared->fd, line);
        lock.lock();
        shared->queue.pop_front();
        shared->queuedBytes -= line.size();
        if (!ok) {
            // Nobody will read these lines, nor any later one.
            shared->gone = true;
            shared->dropped += 1 + shared->queue.size();
            shared->queue.clear();
            shared->queuedBytes = 0;
        }
        if (shared->queue.empty()) {
            shared->drained.notify_all();
        }
        if (shared->gone) {
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
    shared_->dropped += shared_->queue.size();
    lock.unlock();
    reportDrops();
}

void LineOutput::writeLine(std::string_view line) {
    {
        const std::lock_guard lock(shared_->mutex);
        if (shared_->gone || shared_->stop || shared_->queuedBytes + line.size() + 1 > limit_) {
            ++shared_->dropped;
            return;
        }
        std::string whole;
        whole.reserve(line.size() + 1);
        whole += line;
        whole += '\n';
        shared_->queuedBytes += whole.size();
        shared_->queue.push_back(std::move(whole));
        shared_->wake.notify_one();
    }
    // A line got through again: a good moment to say how many did not.
    reportDrops();
}

void LineOutput::reportDrops() {
    const std::uint64_t total = dropped();
    if (trace_ == nullptr || total == droppedReported_) {
        return;
    }
    const std::uint64_t now = total - droppedReported_;
    droppedReported_ = total;
    const bool closed = gone();
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
    return shared_->queuedBytes;
}

bool LineOutput::gone() const {
    const std::lock_guard lock(shared_->mutex);
    return shared_->gone;
}

} // namespace pm::platform
