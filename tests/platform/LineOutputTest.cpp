// Status lines into a pipe whose reader stalls or leaves: the loop never
// waits, what does not fit is dropped and counted, and nothing kills us.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <string>

#include "platform/Clock.h"
#include "platform/LineOutput.h"
#include "platform/PollEventLoop.h"
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
        ::close(fds[0]);
        ::close(fds[1]);
    }
    std::string readAll() {
        std::string out;
        char buf[65536];
        const int flags = ::fcntl(fds[0], F_GETFL);
        ::fcntl(fds[0], F_SETFL, flags | O_NONBLOCK);
        for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) {
            out.append(buf, static_cast<std::size_t>(n));
        }
        return out;
    }

    ManualClock clock;
    PollEventLoop loop{clock};
    Trace trace{clock};
    std::string traced;
    int fds[2] = {-1, -1};
};

TEST_F(LineOutputTest, a_stalled_reader_never_blocks_and_excess_lines_are_counted) {
    const std::string line(999, 'x');
    {
        LineOutput out(loop, trace, fds[1], 256 * 1024);
        for (int i = 0; i < 2000; ++i) { // ~2 MB: far more than pipe and queue hold
            out.writeLine(line);
        }
        EXPECT_GT(out.dropped(), 0u);
        EXPECT_LE(out.queuedBytes(), 256u * 1024);
        const std::uint64_t dropped = out.dropped();

        // The reader wakes up: the queue drains on the loop, in order, whole lines.
        std::string got;
        for (int i = 0; i < 100 && out.queuedBytes() > 0; ++i) {
            got += readAll();
            loop.runOnce(10ms);
        }
        got += readAll();
        EXPECT_EQ(out.queuedBytes(), 0u);
        EXPECT_EQ(got.size() % (line.size() + 1), 0u);
        EXPECT_EQ(got.size() / (line.size() + 1), 2000 - dropped);
        EXPECT_NE(traced.find(std::to_string(dropped) + " status lines dropped: the output is not being read"),
                  std::string::npos)
            << traced;
    }
    // The descriptor is handed back as it was found.
    EXPECT_EQ(::fcntl(fds[1], F_GETFL) & O_NONBLOCK, 0);
}

TEST_F(LineOutputTest, a_reader_that_left_costs_the_lines_not_the_process) {
    LineOutput out(loop, trace, fds[1]);
    out.writeLine("first");
    EXPECT_EQ(readAll(), "first\n");
    ::close(fds[0]);
    fds[0] = ::open("/dev/null", O_RDONLY); // keep the fixture's close harmless
    out.writeLine("second");
    out.writeLine("third");
    EXPECT_TRUE(out.gone());
    EXPECT_EQ(out.dropped(), 2u);
    EXPECT_EQ(out.queuedBytes(), 0u);
}

} // namespace
} // namespace pm::platform
