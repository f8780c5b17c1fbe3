// Tasks handed to the loop from other threads: each runs once, on the
// loop's thread, in the order its thread pushed it; close() runs what is
// left and refuses the rest.

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/CrossThreadQueue.h"
#include "platform/PollEventLoop.h"

using namespace pm::platform;
using namespace std::chrono_literals;

TEST(CrossThreadQueue, tasks_from_many_threads_run_on_the_loop_in_each_threads_order) {
    SystemClock clock;
    PollEventLoop loop(clock);
    CrossThreadQueue queue(loop);
    ASSERT_EQ(queue.error(), "");
    constexpr int kThreads = 4;
    constexpr int kEach = 2000;
    const auto loopThread = std::this_thread::get_id();
    std::map<int, std::vector<int>> seen; // touched on the loop's thread only
    int offThread = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                EXPECT_TRUE(queue.push([&, t, i] {
                    offThread += std::this_thread::get_id() == loopThread ? 0 : 1;
                    seen[t].push_back(i);
                }));
            }
        });
    }
    const auto total = [&] {
        std::size_t n = 0;
        for (const auto& [t, list] : seen) {
            n += list.size();
        }
        return n;
    };
    while (total() < static_cast<std::size_t>(kThreads * kEach)) {
        loop.runOnce(10ms);
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(offThread, 0);
    for (const auto& [t, list] : seen) {
        for (int i = 0; i < kEach; ++i) {
            ASSERT_EQ(list[static_cast<std::size_t>(i)], i) << "thread " << t;
        }
    }
}

TEST(CrossThreadQueue, close_runs_what_was_pushed_and_refuses_the_rest) {
    SystemClock clock;
    PollEventLoop loop(clock);
    CrossThreadQueue queue(loop);
    int ran = 0;
    std::thread pusher([&] { EXPECT_TRUE(queue.push([&ran] { ++ran; })); });
    pusher.join();
    queue.close();
    EXPECT_EQ(ran, 1);
    EXPECT_FALSE(queue.push([&ran] { ++ran; }));
    loop.runOnce(0ms);
    EXPECT_EQ(ran, 1);
}
