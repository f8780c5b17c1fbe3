// The poll() loop: timer deadlines under a manual clock, the order of posted
// work, quitting, socket watches, and that an idle loop sleeps instead of
// spinning.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LoopTestSupport.h"
#include "platform/Clock.h"
#include "platform/PollEventLoop.h"
#include "platform/SysSocket.h"
#include "platform/WinSock.h"

namespace pm::platform {
namespace {

using namespace std::chrono_literals;
using testsupport::elapsedSince;

class ManualLoop : public ::testing::Test {
protected:
    ManualClock clock;
    PollEventLoop loop{clock};

    std::chrono::milliseconds now() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(clock.monotonicNow().time_since_epoch());
    }
};

TEST_F(ManualLoop, timer_ticks_once_per_interval_and_not_before_the_first) {
    int ticks = 0;
    loop.startTimer(100ms, [&] { ++ticks; });
    loop.advance(99ms);
    EXPECT_EQ(ticks, 0);
    loop.advance(1ms);
    EXPECT_EQ(ticks, 1);
    loop.advance(1000ms);
    EXPECT_EQ(ticks, 11);
}

TEST_F(ManualLoop, timers_fire_in_deadline_order_at_their_own_time) {
    std::vector<std::pair<char, long>> fired;
    loop.startTimer(30ms, [&] { fired.push_back({'A', static_cast<long>(now().count())}); });
    loop.startTimer(20ms, [&] { fired.push_back({'B', static_cast<long>(now().count())}); });
    loop.advance(50ms);
    const std::vector<std::pair<char, long>> expected{{'B', 20}, {'A', 30}, {'B', 40}};
    EXPECT_EQ(fired, expected);
}

TEST_F(ManualLoop, timer_stopped_inside_its_own_tick_fires_no_more) {
    int ticks = 0;
    EventLoop::TimerId id = 0;
    id = loop.startTimer(10ms, [&] {
        if (++ticks == 3) {
            loop.stopTimer(id);
        }
    });
    loop.advance(1000ms);
    EXPECT_EQ(ticks, 3);
    EXPECT_EQ(loop.timerCount(), 0u);
}

TEST_F(ManualLoop, timer_stopped_by_an_earlier_tick_of_the_same_pass_does_not_fire) {
    // Both are due at the same instant; whichever runs first stops the other.
    int ticks = 0;
    EventLoop::TimerId a = 0;
    EventLoop::TimerId b = 0;
    a = loop.startTimer(50ms, [&] {
        ++ticks;
        loop.stopTimer(b);
    });
    b = loop.startTimer(50ms, [&] {
        ++ticks;
        loop.stopTimer(a);
    });
    loop.advance(50ms);
    EXPECT_EQ(ticks, 1);
    // The survivor keeps its own schedule.
    EXPECT_EQ(loop.timerCount(), 1u);
    loop.advance(50ms);
    EXPECT_EQ(ticks, 2);
}

TEST_F(ManualLoop, a_tick_that_runs_passes_of_its_own_leaves_the_outer_pass_whole) {
    // A modal dialog turns the loop from inside a tick. The timers due run
    // in the nested pass, and the outer pass does not run them a second time.
    std::vector<char> fired;
    EventLoop::TimerId c = 0;
    loop.startTimer(10ms, [&] {
        fired.push_back('A');
        if (fired.size() == 1) {
            loop.post([&] { fired.push_back('p'); });
            loop.drain();
            loop.stopTimer(c);
        }
    });
    loop.startTimer(10ms, [&] { fired.push_back('B'); });
    c = loop.startTimer(10ms, [&] { fired.push_back('C'); });
    loop.advance(10ms);
    EXPECT_EQ(fired, (std::vector<char>{'A', 'B', 'C', 'p'}));
    loop.advance(10ms);
    EXPECT_EQ(fired, (std::vector<char>{'A', 'B', 'C', 'p', 'A', 'B'}));
}

TEST_F(ManualLoop, timer_started_inside_a_tick_waits_a_full_interval) {
    std::vector<long> innerAt;
    bool started = false;
    loop.startTimer(100ms, [&] {
        if (!started) {
            started = true;
            loop.startTimer(30ms, [&] { innerAt.push_back(static_cast<long>(now().count())); });
        }
    });
    loop.advance(200ms);
    EXPECT_EQ(innerAt, (std::vector<long>{130, 160, 190}));
}

TEST_F(ManualLoop, stalled_loop_ticks_once_then_keeps_the_interval_from_now) {
    int ticks = 0;
    loop.startTimer(100ms, [&] { ++ticks; });
    clock.advance(1000ms); // the loop did not run for ten intervals
    loop.runOnce(0ms);
    EXPECT_EQ(ticks, 1);
    loop.advance(99ms);
    EXPECT_EQ(ticks, 1);
    loop.advance(1ms);
    EXPECT_EQ(ticks, 2);
}

TEST_F(ManualLoop, advance_runs_posted_work_before_time_moves_on) {
    std::vector<long> taskSawTime;
    loop.startTimer(100ms,
                    [&] { loop.post([&] { taskSawTime.push_back(static_cast<long>(now().count())); }); });
    loop.advance(300ms);
    EXPECT_EQ(taskSawTime, (std::vector<long>{100, 200, 300}));
}

TEST_F(ManualLoop, advance_moves_the_clock_by_exactly_the_amount_asked) {
    loop.startTimer(70ms, [] {});
    loop.advance(250ms);
    EXPECT_EQ(now(), 250ms);
    loop.advance(0ms);
    EXPECT_EQ(now(), 250ms);
}

TEST_F(ManualLoop, posted_tasks_run_in_order_and_a_task_posted_by_a_task_waits_a_pass) {
    std::vector<std::string> ran;
    loop.post([&] {
        ran.push_back("a");
        loop.post([&] { ran.push_back("nested"); });
    });
    loop.post([&] { ran.push_back("b"); });
    loop.post([&] { ran.push_back("c"); });

    loop.runOnce(0ms);
    EXPECT_EQ(ran, (std::vector<std::string>{"a", "b", "c"}));
    loop.runOnce(0ms);
    EXPECT_EQ(ran, (std::vector<std::string>{"a", "b", "c", "nested"}));
}

TEST_F(ManualLoop, drain_runs_a_chain_of_tasks_to_the_end) {
    int depth = 0;
    std::function<void()> step = [&] {
        if (++depth < 50) {
            loop.post(step);
        }
    };
    loop.post(step);
    loop.drain();
    EXPECT_EQ(depth, 50);
}

TEST_F(ManualLoop, runOnce_with_a_manual_clock_and_a_timer_does_not_sleep) {
    // Manual time never moves by itself; sleeping for the timer would hang.
    loop.startTimer(std::chrono::hours(1), [] {});
    const auto start = std::chrono::steady_clock::now();
    loop.runOnce(5000ms);
    EXPECT_LT(elapsedSince(start), 2000ms);
}

TEST_F(ManualLoop, quit_from_a_task_ends_run_with_its_code) {
    int ticks = 0;
    loop.startTimer(10ms, [&] { ++ticks; });
    loop.post([&] { loop.quit(3); });
    EXPECT_EQ(loop.run(), 3);
    EXPECT_TRUE(loop.quitRequested());
    // A quit loop does no more work.
    EXPECT_FALSE(loop.runOnce(0ms));
    clock.advance(100ms);
    EXPECT_FALSE(loop.runOnce(0ms));
    EXPECT_EQ(ticks, 0);
}

class RealLoop : public ::testing::Test {
protected:
    SystemClock clock;
    PollEventLoop loop{clock};
};

TEST_F(RealLoop, idle_runOnce_sleeps_instead_of_returning_at_once) {
    const auto start = std::chrono::steady_clock::now();
    loop.runOnce(200ms);
    // Only a lower bound: a spinning loop returns in microseconds.
    EXPECT_GE(elapsedSince(start), 150ms);
}

TEST_F(RealLoop, runOnce_wakes_for_the_next_timer) {
    int ticks = 0;
    loop.startTimer(50ms, [&] { ++ticks; });
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(testsupport::runUntil(loop, [&] { return ticks == 1; }));
    EXPECT_GE(elapsedSince(start), 40ms);
    // A single long wait must also end at the timer, not at maxWait.
    const auto second = std::chrono::steady_clock::now();
    loop.runOnce(10000ms);
    loop.runOnce(0ms);
    EXPECT_EQ(ticks, 2);
    EXPECT_LT(elapsedSince(second), 5000ms);
}

TEST_F(RealLoop, runOnce_does_not_sleep_when_a_task_posted_more_work) {
    int ran = 0;
    loop.post([&] {
        ++ran;
        loop.post([&] { ++ran; });
    });
    const auto start = std::chrono::steady_clock::now();
    loop.runOnce(5000ms);
    EXPECT_LT(elapsedSince(start), 2000ms);
    EXPECT_EQ(ran, 1);
}

TEST_F(RealLoop, run_ends_when_a_timer_quits_after_three_ticks) {
    int ticks = 0;
    loop.startTimer(10ms, [&] {
        if (++ticks == 3) {
            loop.quit(0);
        }
    });
    loop.startTimer(testsupport::kWatchdog, [&] { loop.quit(99); });
    EXPECT_EQ(loop.run(), 0);
    EXPECT_EQ(ticks, 3);
}

// Two pairs of UDP sockets on loopback: the one kind of socket both systems
// can poll. [1] pokes [0].
class SocketWatch : public RealLoop {
protected:
    static constexpr std::uint32_t kLoopback = 0x0100007Fu; // network order

    void SetUp() override {
        for (auto* pair : {pairA, pairB}) {
            for (int i = 0; i < 2; ++i) {
                int error = 0;
                pair[i] = sys::open(false, 0, error);
                ASSERT_NE(pair[i], sys::kNoFd) << error;
                ASSERT_EQ(sys::bind(pair[i], kLoopback, 0), 0);
            }
        }
    }
    void TearDown() override {
        for (int fd : {pairA[0], pairA[1], pairB[0], pairB[1]}) {
            if (fd != sys::kNoFd) {
                sys::close(fd);
            }
        }
    }
    // Returns once the datagram is waiting, so that one pass of the loop sees it.
    static void poke(const int* pair) {
        std::uint32_t ip = 0;
        std::uint16_t port = 0;
        ASSERT_EQ(sys::localAddress(pair[0], ip, port), 0);
        const std::uint8_t c = 'x';
        int error = 0;
        ASSERT_EQ(sys::send(pair[1], &c, 1, false, kLoopback, port, error), 1) << error;
        std::vector<sys::PollItem> items(1);
        items[0].fd = pair[0];
        items[0].wantRead = true;
        ASSERT_EQ(sys::poll(items, static_cast<int>(testsupport::kWatchdog.count())), 1);
    }
    int pairA[2] = {sys::kNoFd, sys::kNoFd};
    int pairB[2] = {sys::kNoFd, sys::kNoFd};
};

TEST_F(SocketWatch, readable_socket_reports_readable_and_paused_watch_reports_nothing) {
    int calls = 0;
    Readiness seen;
    const auto id = loop.watchSocket(pairA[0], true, false, [&](Readiness r) {
        ++calls;
        seen = r;
    });
    loop.runOnce(0ms);
    EXPECT_EQ(calls, 0);

    poke(pairA);
    loop.runOnce(0ms);
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(seen.readable);
    EXPECT_FALSE(seen.writable);

    loop.updateWatch(id, false, false);
    testsupport::settle(loop);
    EXPECT_EQ(calls, 1);

    loop.updateWatch(id, true, false);
    loop.runOnce(0ms);
    EXPECT_EQ(calls, 2);

    loop.unwatch(id);
    testsupport::settle(loop);
    EXPECT_EQ(calls, 2);
}

TEST_F(SocketWatch, a_callback_that_runs_passes_of_its_own_leaves_no_stale_readiness_to_the_outer_pass) {
    // B is served by the nested passes; the outer pass must not call it
    // again with readiness it saw before them.
    std::vector<bool> readableB;
    auto drainOne = [](int fd) {
        std::uint8_t buf[8];
        std::uint32_t ip = 0;
        std::uint16_t port = 0;
        int error = 0;
        return sys::receive(fd, buf, sizeof buf, false, ip, port, error) > 0;
    };
    loop.watchSocket(pairA[0], true, false, [&](Readiness) {
        drainOne(pairA[0]);
        loop.drain();
    });
    loop.watchSocket(pairB[0], true, false, [&](Readiness) { readableB.push_back(drainOne(pairB[0])); });
    poke(pairA);
    poke(pairB);
    loop.runOnce(0ms);
    EXPECT_EQ(readableB, std::vector<bool>{true});
}

TEST_F(SocketWatch, watch_removed_by_an_earlier_callback_of_the_same_pass_is_not_called) {
    int callsA = 0;
    int callsB = 0;
    EventLoop::WatchId b = 0;
    // Ids grow, and the loop visits watches in id order: A comes first.
    loop.watchSocket(pairA[0], true, false, [&](Readiness) {
        ++callsA;
        loop.unwatch(b);
    });
    b = loop.watchSocket(pairB[0], true, false, [&](Readiness) { ++callsB; });
    poke(pairA);
    poke(pairB);
    loop.runOnce(0ms);
    EXPECT_EQ(callsA, 1);
    EXPECT_EQ(callsB, 0);
}

} // namespace
} // namespace pm::platform
