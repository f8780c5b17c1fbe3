#include "platform/LineOutput.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace pm::platform {

LineOutput::LineOutput(EventLoop& loop, Trace& trace, int fd, std::size_t limitBytes)
    : loop_(loop), trace_(trace), fd_(fd), limit_(limitBytes) {
    // Only pipes and sockets can stall for good. A terminal or a file is
    // left blocking: the terminal is shared with the shell, which must not
    // find it non-blocking after we exit.
    struct stat st {};
    if (::fstat(fd_, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))) {
        const int flags = ::fcntl(fd_, F_GETFL);
        if (flags >= 0 && (flags & O_NONBLOCK) == 0 && ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK) == 0) {
            restoreFlags_ = flags;
        }
    }
}

LineOutput::~LineOutput() {
    flush(); // one last try, without waiting
    watchWritable(false);
    dropped_ += queue_.size();
    reportDrops();
    if (restoreFlags_ >= 0) {
        ::fcntl(fd_, F_SETFL, restoreFlags_);
    }
}

void LineOutput::writeLine(std::string_view line) {
    if (gone_ || queuedBytes_ + line.size() + 1 > limit_) {
        ++dropped_;
        return;
    }
    std::string whole;
    whole.reserve(line.size() + 1);
    whole += line;
    whole += '\n';
    queuedBytes_ += whole.size();
    queue_.push_back(std::move(whole));
    if (!watching_) {
        flush();
    }
}

void LineOutput::flush() {
    while (!queue_.empty() && !gone_) {
        const std::string& head = queue_.front();
        const ssize_t n = ::write(fd_, head.data() + headOffset_, head.size() - headOffset_);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                watchWritable(true);
                return;
            }
            // EPIPE (SIGPIPE is ignored), EBADF, EIO: nobody will read
            // these lines, nor any later one.
            gone_ = true;
            trace_.status([&] { return "status output closed (errno " + std::to_string(errno) + "): lines are dropped"; });
            dropped_ += queue_.size();
            queue_.clear();
            queuedBytes_ = 0;
            headOffset_ = 0;
            break;
        }
        headOffset_ += static_cast<std::size_t>(n);
        if (headOffset_ == head.size()) {
            queuedBytes_ -= head.size();
            queue_.pop_front();
            headOffset_ = 0;
        }
    }
    watchWritable(false);
    reportDrops();
}

void LineOutput::watchWritable(bool on) {
    if (on == watching_) {
        return;
    }
    if (on) {
        watch_ = loop_.watchSocket(fd_, false, true, [this](Readiness) { flush(); });
    } else {
        loop_.unwatch(watch_);
    }
    watching_ = on;
}

void LineOutput::reportDrops() {
    if (dropped_ == droppedReported_) {
        return;
    }
    const std::uint64_t now = dropped_ - droppedReported_;
    droppedReported_ = dropped_;
    trace_.status([&] {
        return std::to_string(now) + " status line" + (now == 1 ? "" : "s") + " dropped: " +
               (gone_ ? "the output is closed" : "the output is not being read");
    });
}

} // namespace pm::platform
