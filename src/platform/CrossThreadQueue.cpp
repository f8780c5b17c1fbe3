#include "platform/CrossThreadQueue.h"

#include <array>

namespace pm::platform {

namespace {

constexpr std::uint32_t kLoopback = 0x0100007F; // 127.0.0.1, network order
constexpr int kWouldBlock = 10035;

} // namespace

CrossThreadQueue::CrossThreadQueue(EventLoop& loop) : loop_(loop) {
    int error = 0;
    receiver_ = sys::open(false, 0, error);
    if (receiver_ == sys::kNoFd) {
        error_ = "cannot open the loop's wake-up socket (error " + std::to_string(error) + ")";
        return;
    }
    std::uint32_t ip = 0;
    if ((error = sys::bind(receiver_, kLoopback, 0)) != 0 || (error = sys::localAddress(receiver_, ip, port_)) != 0) {
        error_ = "cannot bind the loop's wake-up socket (error " + std::to_string(error) + ")";
        return;
    }
    sender_ = sys::open(false, 0, error);
    if (sender_ == sys::kNoFd) {
        error_ = "cannot open the loop's wake-up socket (error " + std::to_string(error) + ")";
        return;
    }
    watch_ = loop_.watchSocket(receiver_, true, false, [this](Readiness) { runPending(); });
    watching_ = true;
}

CrossThreadQueue::~CrossThreadQueue() {
    if (watching_) {
        loop_.unwatch(watch_);
    }
    if (sender_ != sys::kNoFd) {
        sys::close(sender_);
    }
    if (receiver_ != sys::kNoFd) {
        sys::close(receiver_);
    }
}

bool CrossThreadQueue::push(std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        if (closed_ || !watching_) {
            return false;
        }
        tasks_.push_back(std::move(task));
        if (wakePending_) {
            return true;
        }
        wakePending_ = true;
    }
    // A datagram lost to a full buffer costs nothing: a full buffer means
    // the loop has wake-ups waiting already.
    const std::uint8_t byte = 1;
    int error = 0;
    sys::send(sender_, &byte, 1, false, kLoopback, port_, error);
    return true;
}

void CrossThreadQueue::runPending() {
    // Drained before the tasks run: a wake-up sent while they run must wake
    // the loop again, not be swallowed here.
    std::array<std::uint8_t, 16> buffer{};
    for (;;) {
        std::uint32_t ip = 0;
        std::uint16_t port = 0;
        int error = 0;
        if (sys::receive(receiver_, buffer.data(), buffer.size(), false, ip, port, error) < 0 &&
            error == kWouldBlock) {
            break;
        }
        if (error != 0 && error != 10040) {
            break;
        }
    }
    std::deque<std::function<void()>> batch;
    {
        std::lock_guard lock(mutex_);
        batch.swap(tasks_);
        wakePending_ = false;
    }
    for (auto& task : batch) {
        task();
    }
}

void CrossThreadQueue::close() {
    std::deque<std::function<void()>> batch;
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        batch.swap(tasks_);
    }
    for (auto& task : batch) {
        task();
    }
}

} // namespace pm::platform
