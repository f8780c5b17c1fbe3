// The status log on its way out, as the headless program sends it: a restart
// vote with a full field logs 33 lines, and the thread that writes them is
// woken once for each turn of the loop they come in, not once a line.

// A pipe read without blocking is a POSIX affair; the Windows build has
// the same writer, checked by the platform tests.
#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>

#include <thread>

#include "e2e/E2eFixture.h"
#include "platform/LineOutput.h"

namespace pm::e2e {
namespace {

class StatusOutput : public MarshalAndSim {
protected:
    StatusOutput() { out.attach(&stack.loop()); }
    ~StatusOutput() override { form.reset(); } // its goodbye is written while `out` stands

    // What the writer has taken, once it is back asleep: it empties the
    // queue and lies down within one hold of its lock.
    std::string written() {
        for (int i = 0; i < 10000 && out.queuedBytes() != 0; ++i) {
            std::this_thread::sleep_for(1ms);
        }
        std::string text;
        char buf[4096];
        for (ssize_t n; (n = ::read(pipe.fds[0], buf, sizeof buf)) > 0;) {
            text.append(buf, static_cast<std::size_t>(n));
        }
        return text;
    }

    struct Pipe {
        Pipe() {
            EXPECT_EQ(::pipe(fds), 0);
            ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
        }
        ~Pipe() {
            ::close(fds[0]);
            ::close(fds[1]);
        }
        int fds[2] = {-1, -1};
    } pipe;
    platform::LineOutput out{pipe.fds[1], nullptr};
};

TEST_F(StatusOutput, AFullFieldsVoteWakesTheWriterOncePerTurnNotOnceALine) {
    start(Rules{.lastRace = 1});
    std::string sent;
    form->txtStatus.lineAdded.connect([&](const std::string& line) {
        out.writeLine(line);
        sent += line + "\n";
    });
    Names field;
    for (int k = 1; k <= 32; ++k) {
        field.push_back("driver" + std::to_string(k));
        ASSERT_TRUE(sim->join(field.back()));
    }
    act(sim->startRace());
    act(sim->finish(field));
    EXPECT_EQ(written(), sent);
    sent.clear();
    const std::uint64_t before = out.writerWakeups();

    act(sim->voteRestart());
    EXPECT_EQ(written(), sent);
    EXPECT_NE(sent.find(": BH RACE ORDER\n"), std::string::npos);
    EXPECT_LE(out.writerWakeups() - before, 2u) << "for " << std::count(sent.begin(), sent.end(), '\n') << " lines";
    form.reset(); // before `sent` goes
}

} // namespace
} // namespace pm::e2e

#endif
