#include "platform/StopRequests.h"

#include <windows.h>

#include <mutex>

#include "platform/SysSocket.h"

namespace pm::platform {

namespace {

// Windows gives about five seconds to a process whose console is closed;
// the goodbyes to the servers take far less.
constexpr DWORD kCloseWaitMs = 4500;

// The handler's thread and the loop's meet here: the object may go while a
// console event is being handled.
std::mutex handlerMutex;
StopRequests::Impl* current = nullptr;
// Set once the program has finished closing; never freed, as a handler may
// still wait on it.
HANDLE finished = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);

} // namespace

// The console's handler runs on a thread of its own; it wakes the loop with
// a datagram to a loopback socket the loop watches, the one kind of handle
// WSAPoll can wait on.
struct StopRequests::Impl {
    EventLoop* loop = nullptr;
    sys::Fd fd = sys::kNoFd;
    std::uint16_t port = 0; // network order
    EventLoop::WatchId watch = 0;

    void wake() const {
        if (fd != sys::kNoFd) {
            const std::uint8_t byte = 1;
            int error = 0;
            sys::send(fd, &byte, 1, false, 0x0100007Fu, port, error);
        }
    }
};

namespace {

BOOL WINAPI onConsoleEvent(DWORD event) {
    {
        const std::lock_guard lock(handlerMutex);
        if (current == nullptr) {
            return FALSE;
        }
        current->wake();
    }
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        // Returning lets the system end the process at once: first let the
        // program close its connections.
        ::WaitForSingleObject(finished, kCloseWaitMs);
    }
    return TRUE;
}

} // namespace

StopRequests::StopRequests() : impl_(std::make_unique<Impl>()) {
    int error = 0;
    const sys::Fd fd = sys::open(false, 0, error);
    if (fd == sys::kNoFd) {
        return;
    }
    std::uint32_t ip = 0;
    if (sys::bind(fd, 0x0100007Fu, 0) != 0 || sys::localAddress(fd, ip, impl_->port) != 0) {
        sys::close(fd);
        return;
    }
    impl_->fd = fd;
    {
        const std::lock_guard lock(handlerMutex);
        current = impl_.get();
    }
    ::SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

bool StopRequests::watch(EventLoop& loop, std::function<void()> onStop) {
    if (impl_->fd == sys::kNoFd || impl_->watch != 0) {
        return false;
    }
    impl_->loop = &loop;
    Impl* impl = impl_.get();
    impl_->watch = loop.watchSocket(impl_->fd, true, false, [impl, onStop = std::move(onStop)](Readiness) {
        std::uint8_t buf[16];
        std::uint32_t fromIp = 0;
        std::uint16_t fromPort = 0;
        int err = 0;
        bool asked = false;
        while (sys::receive(impl->fd, buf, sizeof buf, false, fromIp, fromPort, err) >= 0) {
            // Only our own handler's datagrams count, not a stranger's on
            // the loopback interface.
            asked = asked || fromPort == impl->port;
        }
        if (asked) {
            onStop();
        }
    });
    return true;
}

void StopRequests::release() {
    if (impl_->watch != 0) {
        impl_->loop->unwatch(impl_->watch);
        impl_->watch = 0;
    }
    ::SetEvent(finished);
}

StopRequests::~StopRequests() {
    {
        const std::lock_guard lock(handlerMutex);
        if (current == impl_.get()) {
            current = nullptr;
        }
    }
    if (impl_->fd != sys::kNoFd) {
        sys::close(impl_->fd);
    }
    ::SetEvent(finished);
    // The handler stays registered: a late console event then finds no
    // program to stop and lets the system's default end the process.
}

void ignoreBrokenPipes() {
    // Nothing to do: a write to a closed pipe fails with an error here and
    // never ends the process.
}

} // namespace pm::platform
