#include "platform/System.h"

#include <gtest/gtest.h>

#include <sched.h>

#include <thread>

namespace pm::platform {
namespace {

// The web page's threads must give way to the loop at once when a datagram
// wakes it, not merely get a smaller share of the CPU.
TEST(ThreadPriority, a_lowered_thread_runs_only_when_no_other_wants_the_cpu) {
    int policy = -1;
    std::thread([&] {
        lowerThisThreadsPriority();
        policy = ::sched_getscheduler(0);
    }).join();
    EXPECT_EQ(policy, SCHED_IDLE);
    EXPECT_NE(::sched_getscheduler(0), SCHED_IDLE) << "only the calling thread is lowered";
}

} // namespace
} // namespace pm::platform
