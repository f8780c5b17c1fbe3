#include "sim/Console.h"

#include <unistd.h>

#include <cerrno>

namespace pm::sim {

Console::Console(platform::EventLoop& loop, ScenarioRunner& runner, int fd, std::string source)
    : loop_(loop), runner_(runner), fd_(fd), source_(std::move(source)) {
    runner_.setInteractive(true);
    runner_.start();
    watch_ = loop_.watchSocket(fd_, true, false, [this](platform::Readiness) { readable(); });
}

Console::~Console() {
    stop();
}

void Console::stop() {
    if (watch_ != 0) {
        loop_.unwatch(watch_);
        watch_ = 0;
    }
}

void Console::readable() {
    char buf[4096];
    const ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
        return;
    }
    if (n <= 0) {
        if (!pending_.empty()) {
            feed("\n");
        }
        stop();
        return;
    }
    feed(std::string_view(buf, static_cast<std::size_t>(n)));
}

void Console::feed(std::string_view chunk) {
    pending_.append(chunk);
    std::size_t start = 0;
    for (auto end = pending_.find('\n'); end != std::string::npos; end = pending_.find('\n', start)) {
        auto parsed =
            parseScenarioLine(std::string_view(pending_).substr(start, end - start), source_, ++lineNumber_);
        start = end + 1;
        if (!parsed.error.empty()) {
            if (errors_) {
                errors_(parsed.error);
            }
        } else if (parsed.step) {
            runner_.append({std::move(*parsed.step)});
        }
    }
    pending_.erase(0, start);
}

} // namespace pm::sim
