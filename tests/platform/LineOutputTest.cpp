// Status lines into a pipe whose reader stalls or leaves: the caller never
// waits, what does not fit is dropped and counted, and nothing kills us. And
// what one turn of the loop writes costs the writer thread one wake-up and
// the fewest writes that keep every line whole.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>

#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

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

// A datagram-like stream: every write() arrives as one message, so the
// test sees how the writer cut what it was given.
class LineOutputWrites : public ::testing::Test {
protected:
    LineOutputWrites() {
        ::signal(SIGPIPE, SIG_IGN);
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds), 0);
    }
    ~LineOutputWrites() override {
        ::close(fds[1]);
        ::close(fds[0]);
    }

    // The writes that carried the next `bytes` bytes, waiting a generous
    // while for them.
    std::vector<std::string> writesOf(std::size_t bytes) {
        std::vector<std::string> writes;
        std::size_t got = 0;
        std::vector<char> buf(1 << 17);
        while (got < bytes) {
            pollfd p{fds[0], POLLIN, 0};
            if (::poll(&p, 1, 10000) != 1) {
                break;
            }
            const ssize_t n = ::recv(fds[0], buf.data(), buf.size(), 0);
            if (n <= 0) {
                break;
            }
            writes.emplace_back(buf.data(), static_cast<std::size_t>(n));
            got += static_cast<std::size_t>(n);
        }
        return writes;
    }
    bool nothingWritten() {
        pollfd p{fds[0], POLLIN, 0};
        return ::poll(&p, 1, 0) == 0;
    }

    // Writes one line through a turn of the loop and waits until the writer
    // has taken it back to sleep: it empties the queue and lies down within
    // one hold of its lock.
    void writerAsleep(LineOutput& out) {
        out.writeLine("ready");
        loop.drain();
        ASSERT_EQ(writesOf(6), std::vector<std::string>{"ready\n"});
        const auto until = std::chrono::steady_clock::now() + 10s;
        while (out.queuedBytes() != 0 && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(1ms);
        }
        ASSERT_EQ(out.queuedBytes(), 0u);
    }

    ManualClock clock;
    PollEventLoop loop{clock};
    int fds[2] = {-1, -1};
};

// A restart vote with 32 drivers logs 34 lines in one turn.
TEST_F(LineOutputWrites, one_turns_lines_take_one_wake_up_and_one_write) {
    LineOutput out(fds[1], nullptr);
    out.attach(&loop);
    writerAsleep(out);
    const std::uint64_t wakeups = out.writerWakeups();

    std::string expected = "BH RACE ORDER\n";
    out.writeLine("BH RACE ORDER");
    for (int k = 1; k <= 33; ++k) {
        const std::string line = std::to_string(k) + "=" + std::to_string(40 - k);
        out.writeLine(line);
        expected += line + "\n";
    }
    EXPECT_TRUE(nothingWritten()) << "a line woke the writer before the turn ended";
    EXPECT_EQ(out.writerWakeups(), wakeups);

    loop.drain();
    EXPECT_EQ(writesOf(expected.size()), std::vector<std::string>{expected});
    EXPECT_EQ(out.writerWakeups(), wakeups + 1);
}

// Lines a pipe takes whole stay whole when stdout and stderr share it; a
// longer line goes in a write of its own.
TEST_F(LineOutputWrites, a_long_batch_goes_in_whole_lines_no_longer_than_a_pipe_takes_at_once) {
    LineOutput out(fds[1], nullptr);
    out.attach(&loop);
    std::string expected;
    const auto add = [&](const std::string& line) {
        out.writeLine(line);
        expected += line + "\n";
    };
    for (int k = 0; k < 300; ++k) {
        add("line " + std::to_string(k) + std::string(static_cast<std::size_t>(k % 70), '.'));
    }
    add(std::string(3 * PIPE_BUF, 'L'));
    add(std::string(PIPE_BUF - 1, 'F')); // with its line end, exactly what a pipe takes whole
    add(std::string(PIPE_BUF - 2, 'G'));
    add("x"); // one byte more than a pipe takes whole, with the line before
    for (int k = 0; k < 100; ++k) {
        add("tail " + std::to_string(k));
    }
    loop.drain();

    std::string got;
    for (const std::string& write : writesOf(expected.size())) {
        ASSERT_EQ(write.back(), '\n') << "a write ended inside a line";
        if (write.size() > PIPE_BUF) {
            EXPECT_EQ(write.find('\n'), write.size() - 1) << "only a line too long for one write goes alone";
        }
        got += write;
    }
    EXPECT_EQ(got, expected);
}

// What the last turn queued still comes out, in order: when the program ends
// before the loop turns again, and when the loop goes first.
TEST_F(LineOutputWrites, lines_waiting_for_a_turn_that_never_comes_are_written_all_the_same) {
    {
        LineOutput out(fds[1], nullptr);
        out.attach(&loop);
        writerAsleep(out);
        out.writeLine("before the end");
        out.attach(nullptr);
        EXPECT_EQ(writesOf(15), std::vector<std::string>{"before the end\n"});
        out.writeLine("without a loop");
        EXPECT_EQ(writesOf(15), std::vector<std::string>{"without a loop\n"});

        out.attach(&loop);
        out.writeLine("last");
        out.writeLine("words");
    }
    EXPECT_EQ(writesOf(11), std::vector<std::string>{"last\nwords\n"});
    loop.drain(); // the wake-up still posted finds nothing to do, and no object
}

} // namespace
} // namespace pm::platform
