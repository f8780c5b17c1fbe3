#pragma once
// Time behind an interface, so that tests can fix the date and drive timers
// without sleeping.

#include <chrono>
#include <string>

namespace pm::platform {

class Clock {
public:
    using Monotonic = std::chrono::steady_clock::time_point;
    using Wall = std::chrono::system_clock::time_point;

    virtual ~Clock() = default;
    virtual Monotonic monotonicNow() const = 0;
    virtual Wall wallNow() const = 0;
    // A manual clock never lets the loop sleep for a timer: time only moves
    // when a test moves it.
    virtual bool isManual() const { return false; }
};

class SystemClock final : public Clock {
public:
    Monotonic monotonicNow() const override { return std::chrono::steady_clock::now(); }
    Wall wallNow() const override { return std::chrono::system_clock::now(); }
};

class ManualClock final : public Clock {
public:
    ManualClock() : wall_(std::chrono::sys_days{std::chrono::year{2026} / 12 / 8}) {}
    Monotonic monotonicNow() const override { return mono_; }
    Wall wallNow() const override { return wall_; }
    bool isManual() const override { return true; }

    void advance(std::chrono::milliseconds by) {
        mono_ += by;
        wall_ += by;
    }
    void setWall(Wall wall) { wall_ = wall; }

private:
    Monotonic mono_{};
    Wall wall_;
};

// The local date and time in the locale's general format ("%x %X"), the
// form every status line and trace line carries.
std::string formatLocalDateTime(Clock::Wall when);

} // namespace pm::platform
