#pragma once
// Tasks handed to the loop from other threads. EventLoop::post belongs to the
// loop's own thread; a thread of its own (the web server's) puts its tasks
// here instead, and a datagram on a loopback socket that the loop watches
// wakes the loop to run them. A loopback socket, not a pipe or an eventfd,
// because it is the one wake-up both systems' loops can watch.

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

#include "platform/EventLoop.h"
#include "platform/SysSocket.h"

namespace pm::platform {

class CrossThreadQueue {
public:
    explicit CrossThreadQueue(EventLoop& loop);
    ~CrossThreadQueue();
    CrossThreadQueue(const CrossThreadQueue&) = delete;
    CrossThreadQueue& operator=(const CrossThreadQueue&) = delete;

    // Empty when the wake-up sockets stand, else why they do not.
    const std::string& error() const { return error_; }

    // From any thread. False once close() has run (or the sockets could not
    // be made): the task will never run and the caller answers without it.
    bool push(std::function<void()> task);

    // On the loop's thread: refuses every later push and runs what was
    // pushed before, so that no one waits for a task that will never run.
    void close();

private:
    void runPending();

    EventLoop& loop_;
    std::string error_;
    sys::Fd receiver_ = sys::kNoFd;
    sys::Fd sender_ = sys::kNoFd;
    std::uint16_t port_ = 0; // the receiver's, network order
    EventLoop::WatchId watch_ = 0;
    bool watching_ = false;

    std::mutex mutex_;
    std::deque<std::function<void()>> tasks_;
    bool closed_ = false;
    // A wake-up is on its way: one datagram per batch, not per task.
    bool wakePending_ = false;
};

} // namespace pm::platform
