// The loop turns on every datagram and every timer tick: a pass that
// allocates costs every vote, and no timing test would notice. Counted here,
// through this test program's own operator new.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "platform/Clock.h"
#include "platform/PollEventLoop.h"
#include "platform/SysSocket.h"

// A sanitizer brings an operator new of its own, which this one must not
// displace; under one, the count is skipped.
#if defined(__SANITIZE_ADDRESS__)
#define PM_COUNTS_ALLOCATIONS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PM_COUNTS_ALLOCATIONS 0
#endif
#endif
#ifndef PM_COUNTS_ALLOCATIONS
#define PM_COUNTS_ALLOCATIONS 1
#endif

namespace {
std::atomic<bool> gCounting{false};
std::atomic<long> gAllocations{0};
} // namespace

#if PM_COUNTS_ALLOCATIONS
void* operator new(std::size_t size) {
    if (gCounting.load(std::memory_order_relaxed)) {
        gAllocations.fetch_add(1, std::memory_order_relaxed);
    }
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#endif

namespace pm::platform {
namespace {

using namespace std::chrono_literals;

TEST(LoopAllocations, passes_with_a_due_timer_and_a_readable_socket_allocate_nothing) {
    if (!PM_COUNTS_ALLOCATIONS) {
        GTEST_SKIP() << "allocations are the sanitizer's to count";
    }
    constexpr std::uint32_t kLoopback = 0x0100007Fu; // network order
    int error = 0;
    const sys::Fd in = sys::open(false, 0, error);
    const sys::Fd out = sys::open(false, 0, error);
    ASSERT_EQ(sys::bind(in, kLoopback, 0), 0);
    ASSERT_EQ(sys::bind(out, kLoopback, 0), 0);
    std::uint32_t ip = 0;
    std::uint16_t port = 0;
    ASSERT_EQ(sys::localAddress(in, ip, port), 0);

    ManualClock clock;
    PollEventLoop loop(clock);
    int ticks = 0;
    int datagrams = 0;
    loop.startTimer(10ms, [&] { ++ticks; });
    loop.watchSocket(in, true, false, [&](Readiness) {
        std::uint8_t buf[16];
        std::uint32_t fromIp = 0;
        std::uint16_t fromPort = 0;
        int e = 0;
        while (sys::receive(in, buf, sizeof buf, false, fromIp, fromPort, e) > 0) {
            ++datagrams;
        }
    });
    const std::uint8_t byte = 'x';
    const auto turn = [&] {
        const bool counting = gCounting.exchange(false); // the test's own wait for the datagram
        sys::send(out, &byte, 1, false, kLoopback, port, error);
        std::vector<sys::PollItem> wait{{in, true, false}};
        sys::poll(wait, 3000);
        gCounting = counting;
        loop.advance(10ms);
    };
    turn(); // the first pass sizes the lists it keeps

    gAllocations = 0;
    gCounting = true;
    for (int i = 0; i < 50; ++i) {
        turn();
    }
    gCounting = false;
    EXPECT_EQ(gAllocations.load(), 0);
    EXPECT_EQ(ticks, 51);
    EXPECT_EQ(datagrams, 51);
    sys::close(in);
    sys::close(out);
}

} // namespace
} // namespace pm::platform
