// Status lines into a pipe whose reader stalls or leaves: the caller never
// waits, what does not fit is dropped and counted, and nothing kills us.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <string>
#include <thread>

#include "platform/Clock.h"
#include "platform/LineOutput.h"
#include "platform/Trace.h"

namespace pm::platform {
namespace {

using namespace std::chrono_literals;

class LineOutputTest : public ::testing::Test {
protected:
    LineOutputTest() {
        ::signal(SIGPIPE, SIG_IGN); // as the program does
        EXPECT_EQ(::pipe(fds), 0);
        trace.enable([this](std::string_view line) { traced += std::string(line) + "\n"; });
    }
    ~LineOutputTest() override {
        ::close(fds[1]);
        ::close(fds[0]);
    }
    // What arrives, waiting at most a generous while for it.
    std::string readFor(std::size_t bytes) {
        std::string out;
        char buf[65536];
        const auto until = std::chrono::steady_clock::now() + 10s;
        ::fcntl(fds[0], F_SETFL, ::fcntl(fds[0], F_GETFL) | O_NONBLOCK);
        while (out.size() < bytes && std::chrono::steady_clock::now() < until) {
            const ssize_t n = ::read(fds[0], buf, sizeof buf);
            if (n > 0) {
                out.append(buf, static_cast<std::size_t>(n));
            } else {
                std::this_thread::sleep_for(1ms);
            }
        }
        return out;
    }

    ManualClock clock;
    Trace trace{clock};
    std::string traced;
    int fds[2] = {-1, -1};
};

TEST_F(LineOutputTest, a_stalled_reader_never_blocks_and_excess_lines_are_counted) {
    const std::string line(999, 'x');
    LineOutput out(fds[1], &trace, 256 * 1024);
    for (int i = 0; i < 2000; ++i) { // ~2 MB: far more than pipe and queue hold
        out.writeLine(line);
    }
    const std::uint64_t dropped = out.dropped();
    EXPECT_GT(dropped, 0u);
    EXPECT_LE(out.queuedBytes(), 256u * 1024);

    // The reader wakes up: what was queued arrives, in order, in whole lines.
    const std::string got = readFor((2000 - dropped) * 1000);
    EXPECT_EQ(got.size(), (2000 - dropped) * 1000);
    out.writeLine("after");
    EXPECT_EQ(readFor(6), "after\n");
    // Told in the trace as lines get through again, in one or more counts.
    std::uint64_t told = 0;
    const std::regex count(R"((\d+) status lines? dropped: the output is not being read)");
    for (std::sregex_iterator m(traced.begin(), traced.end(), count), end; m != end; ++m) {
        told += std::stoull((*m)[1]);
    }
    EXPECT_EQ(told, dropped) << traced;
    EXPECT_EQ(::fcntl(fds[1], F_GETFL) & O_NONBLOCK, 0) << "the descriptor's flags are not ours to change";
}

TEST_F(LineOutputTest, a_reader_that_left_costs_the_lines_not_the_process) {
    LineOutput out(fds[1], &trace);
    out.writeLine("first");
    EXPECT_EQ(readFor(6), "first\n");
    ::close(fds[0]);
    fds[0] = ::open("/dev/null", O_RDONLY); // keep the fixture's close harmless
    out.writeLine("second");
    for (int i = 0; i < 200 && !out.gone(); ++i) {
        std::this_thread::sleep_for(5ms);
    }
    out.writeLine("third");
    EXPECT_TRUE(out.gone());
    EXPECT_EQ(out.dropped(), 2u);
    EXPECT_EQ(out.queuedBytes(), 0u);
}

// Ends at all: a writer stuck behind a reader that never reads is left
// behind, with what it could not write counted as dropped.
TEST_F(LineOutputTest, the_end_does_not_wait_for_a_reader_that_never_reads) {
    LineOutput out(fds[1], nullptr);
    for (int i = 0; i < 200; ++i) {
        out.writeLine(std::string(1000, 'y')); // more than the pipe holds
    }
}

} // namespace
} // namespace pm::platform
