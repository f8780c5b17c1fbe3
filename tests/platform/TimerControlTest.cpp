// The form-style timer control on a manual clock: enabling, re-enabling and
// changing the interval all restart the count; a zero interval never ticks.

#include <gtest/gtest.h>

#include <memory>

#include "platform/Clock.h"
#include "platform/PollEventLoop.h"
#include "platform/Timer.h"

namespace pm::platform {
namespace {

using namespace std::chrono_literals;

class TimerControl : public ::testing::Test {
protected:
    ManualClock clock;
    PollEventLoop loop{clock};
    Timer timer{loop, 100ms};
    int ticks = 0;

    void SetUp() override {
        timer.onTick = [this] { ++ticks; };
    }
};

TEST_F(TimerControl, disabled_timer_never_ticks) {
    loop.advance(1000ms);
    EXPECT_EQ(ticks, 0);
    EXPECT_EQ(loop.timerCount(), 0u);
}

TEST_F(TimerControl, enabled_timer_ticks_each_interval_until_disabled) {
    timer.setEnabled(true);
    loop.advance(350ms);
    EXPECT_EQ(ticks, 3);
    timer.setEnabled(false);
    loop.advance(1000ms);
    EXPECT_EQ(ticks, 3);
    EXPECT_EQ(loop.timerCount(), 0u);
}

TEST_F(TimerControl, re_enabling_restarts_the_count) {
    timer.setEnabled(true);
    loop.advance(60ms);
    timer.setEnabled(false);
    timer.setEnabled(true);
    loop.advance(60ms); // 120 ms since the first start, 60 since the restart
    EXPECT_EQ(ticks, 0);
    loop.advance(40ms);
    EXPECT_EQ(ticks, 1);
}

TEST_F(TimerControl, enabling_an_enabled_timer_keeps_its_count) {
    timer.setEnabled(true);
    loop.advance(60ms);
    timer.setEnabled(true);
    loop.advance(40ms);
    EXPECT_EQ(ticks, 1);
    EXPECT_EQ(loop.timerCount(), 1u);
}

TEST_F(TimerControl, interval_change_while_running_restarts_with_the_new_interval) {
    timer.setEnabled(true);
    loop.advance(60ms);
    timer.setInterval(30ms);
    loop.advance(29ms);
    EXPECT_EQ(ticks, 0);
    loop.advance(1ms);
    EXPECT_EQ(ticks, 1);
    loop.advance(60ms);
    EXPECT_EQ(ticks, 3);
    EXPECT_EQ(loop.timerCount(), 1u);
}

TEST_F(TimerControl, interval_change_while_disabled_does_not_start_it) {
    timer.setInterval(10ms);
    loop.advance(100ms);
    EXPECT_EQ(ticks, 0);
    timer.setEnabled(true);
    loop.advance(10ms);
    EXPECT_EQ(ticks, 1);
}

TEST_F(TimerControl, zero_interval_never_ticks_until_given_an_interval) {
    timer.setInterval(0ms);
    timer.setEnabled(true);
    loop.advance(1000ms);
    EXPECT_EQ(ticks, 0);
    EXPECT_TRUE(timer.enabled());
    timer.setInterval(50ms);
    loop.advance(100ms);
    EXPECT_EQ(ticks, 2);
}

TEST_F(TimerControl, disabling_inside_the_tick_gives_exactly_one_tick) {
    timer.onTick = [this] {
        ++ticks;
        timer.setEnabled(false);
    };
    timer.setEnabled(true);
    loop.advance(1000ms);
    EXPECT_EQ(ticks, 1);
    EXPECT_FALSE(timer.enabled());
}

TEST(TimerControlLifetime, destroying_a_running_timer_stops_it) {
    ManualClock clock;
    PollEventLoop loop{clock};
    int ticks = 0;
    {
        Timer t{loop, 10ms};
        t.onTick = [&] { ++ticks; };
        t.setEnabled(true);
        loop.advance(10ms);
    }
    EXPECT_EQ(loop.timerCount(), 0u);
    loop.advance(100ms);
    EXPECT_EQ(ticks, 1);
}

} // namespace
} // namespace pm::platform
