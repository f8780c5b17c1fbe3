#include "platform/StopRequests.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace pm::platform {

// The signals are blocked and read from a descriptor the loop watches, so no
// handler ever runs in the middle of an event.
struct StopRequests::Impl {
    EventLoop* loop = nullptr;
    sigset_t mask{};
    int fd = -1;
    EventLoop::WatchId watch = 0;
};

StopRequests::StopRequests() : impl_(std::make_unique<Impl>()) {
    sigemptyset(&impl_->mask);
    sigaddset(&impl_->mask, SIGINT);
    sigaddset(&impl_->mask, SIGTERM);
    if (sigprocmask(SIG_BLOCK, &impl_->mask, nullptr) == 0) {
        impl_->fd = signalfd(-1, &impl_->mask, SFD_NONBLOCK | SFD_CLOEXEC);
    }
}

bool StopRequests::watch(EventLoop& loop, std::function<void()> onStop) {
    if (impl_->fd < 0 || impl_->watch != 0) {
        return false;
    }
    Impl* impl = impl_.get();
    impl->loop = &loop;
    impl->watch = loop.watchSocket(impl->fd, true, false, [impl, onStop = std::move(onStop)](Readiness) {
        signalfd_siginfo info{};
        while (::read(impl->fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        }
        onStop();
    });
    return true;
}

void StopRequests::release() {
    if (impl_->watch != 0) {
        impl_->loop->unwatch(impl_->watch);
        impl_->watch = 0;
    }
}

StopRequests::~StopRequests() {
    if (impl_->fd >= 0) {
        ::close(impl_->fd);
    }
}

void ignoreBrokenPipes() { ::signal(SIGPIPE, SIG_IGN); }

} // namespace pm::platform
