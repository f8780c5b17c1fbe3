#pragma once
// A timer control in the manner of a form's timer: an interval, an enabled
// switch and a tick. Enabling (or changing the interval of) a running timer
// starts its count afresh.

#include <chrono>
#include <functional>

#include "platform/EventLoop.h"

namespace pm::platform {

class Timer {
public:
    explicit Timer(EventLoop& loop, std::chrono::milliseconds interval = std::chrono::milliseconds(0))
        : loop_(loop), interval_(interval) {}
    ~Timer() { stop(); }
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    std::function<void()> onTick;

    void setInterval(std::chrono::milliseconds interval) {
        interval_ = interval;
        if (enabled_) {
            stop();
            start();
        }
    }
    std::chrono::milliseconds interval() const { return interval_; }

    void setEnabled(bool enabled) {
        if (enabled == enabled_) {
            return;
        }
        enabled_ = enabled;
        if (enabled_) {
            start();
        } else {
            stop();
        }
    }
    bool enabled() const { return enabled_; }

private:
    void start() {
        if (interval_.count() <= 0) {
            return; // a zero interval never ticks, as with a form timer
        }
        id_ = loop_.startTimer(interval_, [this] {
            if (onTick) {
                onTick();
            }
        });
    }
    void stop() {
        if (id_ != 0) {
            loop_.stopTimer(id_);
            id_ = 0;
        }
    }

    EventLoop& loop_;
    std::chrono::milliseconds interval_;
    bool enabled_ = false;
    EventLoop::TimerId id_ = 0;
};

} // namespace pm::platform
