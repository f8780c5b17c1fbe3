// paddock-marshal --headless --state, killed with SIGKILL at random moments
// while a simulated host streams results, admin commands and clicks on the
// custom-order screen. Each time it is started again, its next restart vote
// must send exactly the messages and the IS_REO that a run without the crash
// sends from the same state.
//
// The run without the crash is the window logic in this process, on a manual
// clock, fed the same stream by a second simulated host; after each step of
// the stream its kept state is noted. Every step is one datagram that may
// change the state, followed by a keep-alive: the answer says the step was
// handled and its change written. A few steps are in flight at a time, so
// that the kills land while the program works. After a kill the state file
// must hold the state after one of the steps not yet answered, or after the
// last answered one: never a mix, never less. The reference is set to that
// state, and both programs get the restart vote.
//
// PM_CRASH_KILLS sets the number of kills (50; make soak asks for more) and
// PM_CRASH_SEED repeats a run.
//
// Also here, as it needs the program too: a second program on the same state
// is refused.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/frmMain.h"
#include "platform/Platform.h"
#include "sim/SimServer.h"
#include "store/StateStore.h"
#include "support/UdpPeer.h"

#ifndef PM_MARSHAL_PROGRAM
#error "PM_MARSHAL_PROGRAM names the paddock-marshal program under test"
#endif

namespace {

using namespace pm;
using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;

constexpr int kDefaultKills = 50;
// Kills come at a random time up to this long into each stream.
constexpr int kMaxStreamMs = 250;
// Or a moment after a random step among the first ones.
constexpr std::size_t kMaxStepsBeforeKill = 200;
constexpr int kMaxKillDelayUs = 600;
// Steps sent before the first of them is answered.
constexpr int kMaxInFlight = 3;
// Generous: the program may be built with sanitizers, on a busy machine.
constexpr auto kAnswerTimeout = 20s;
constexpr const char* kPassword = "pitlane";
constexpr const char* kServer = "Club";
constexpr const char* kAdmin = "marshal";
const Lines kDrivers{kAdmin, "ayrton", "alain", "nigel", "michael", "gerhard", "mika", "jacques"};

int envInt(const char* name, int fallback) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0' ? std::atoi(v) : fallback;
}

// The state that a vote depends on, as the window shows it.
struct Kept {
    Lines finish, order;
    int lastRace = 0, reverseTop = 0, custom = 0;
    std::string count = "10";
    bool operator==(const Kept&) const = default;

    std::string text() const {
        std::ostringstream out;
        out << "finish [";
        for (const auto& f : finish) {
            out << f << ";";
        }
        out << "] order [";
        for (const auto& o : order) {
            out << o << ";";
        }
        out << "] rules " << lastRace << reverseTop << custom << " " << count;
        return out.str();
    }
};

Kept keptOf(const app::ServerViews& v) {
    return {v.lstFinish.texts(), v.lstOrder.texts(), v.chkLastRace.value(), v.chkReverse.value(),
            v.chkCustom.value(), v.txtReverse.text()};
}

void setKept(app::ServerViews& v, const Kept& k) {
    const auto fill = [](platform::ListBox& list, const Lines& texts) {
        list.clear();
        for (const auto& t : texts) {
            list.addItem(t);
        }
    };
    fill(v.lstFinish, k.finish);
    fill(v.lstOrder, k.order);
    v.chkLastRace.setValue(k.lastRace);
    v.chkReverse.setValue(k.reverseTop);
    v.chkCustom.setValue(k.custom);
    v.txtReverse.setText(k.count);
}

std::string startupFile(std::uint16_t simPort, std::uint16_t listenPort) {
    std::string out;
    for (const std::string& line :
         {std::string("[NEW SERVER]"), "Name=" + std::string(kServer), std::string("Host=127.0.0.1"),
          "InSim Port=" + std::to_string(simPort), "Listen Port=" + std::to_string(listenPort),
          "Admin PW=" + std::string(kPassword), std::string("Connect=1"), std::string("Last Race=1"),
          std::string("Reverse Top=0"), std::string("Reverse Count=10")}) {
        out += line + "\r\n";
    }
    return out;
}

sim::SimOptions simOptions() {
    sim::SimOptions o;
    o.bindAddress = "127.0.0.1";
    o.port = 0;
    o.adminPassword = kPassword;
    o.keepAliveEvery = 1h;          // the test sends its own, one per step
    o.voteTakesEffectAfter = 0ms;   // the test restarts the race itself
    return o;
}

// Packets from the program that a vote is judged by, without time stamps.
bool voteOutput(std::string_view line) {
    return line.find(" <- IS_MTC") != std::string_view::npos || line.find(" <- IS_REO") != std::string_view::npos;
}
std::string unstamped(std::string_view line) {
    return std::string(line.substr(line.find(" <- ") + 4));
}

// The program under test in its own process.
class Marshal {
public:
    Marshal(const std::vector<std::string>& args, const fs::path& out) {
        std::vector<std::string> all{PM_MARSHAL_PROGRAM};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            ::execv(all[0].c_str(), argv.data());
            ::_exit(127);
        }
        ::close(fd);
    }
    ~Marshal() {
        if (pid_ > 0) {
            kill(SIGKILL);
        }
    }
    Marshal(const Marshal&) = delete;
    Marshal& operator=(const Marshal&) = delete;

    // Sends the signal and waits for the end; returns the wait status.
    int kill(int signal) {
        if (pid_ <= 0) {
            return -1;
        }
        ::kill(pid_, signal);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return status;
    }
    bool running() const { return pid_ > 0; }
    // Waits for the end by itself; returns the wait status.
    int wait() {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return status;
    }

private:
    pid_t pid_ = -1;
};

class StateCrash : public ::testing::Test {
protected:
    StateCrash()
        : seed(static_cast<std::uint32_t>(envInt("PM_CRASH_SEED", static_cast<int>(std::random_device{}() >> 1)))),
          rng(seed), ref(std::make_unique<platform::ManualClock>()) {
        work = fs::temp_directory_path() / ("pm_crash_" + std::to_string(::getpid()));
        fs::create_directories(work);
        statePath = work / "state.db";
        outPath = work / "marshal.out";
    }
    ~StateCrash() override {
        marshal.reset();
        refForm.reset();
        ref.loop().drain();
        if (!HasFailure()) {
            fs::remove_all(work);
        } else {
            std::cerr << "state crash test: seed " << seed << "; the program's output and state are in " << work
                      << "\n";
        }
    }

    void SetUp() override {
        liveSim = std::make_unique<sim::SimServer>(live.loop(), live.clock(), simOptions());
        refSim = std::make_unique<sim::SimServer>(ref.loop(), ref.clock(), simOptions());
        ASSERT_TRUE(liveSim->listening() && refSim->listening());
        liveSim->setOnClientConnected([this] { ++liveHandshakes; });
        liveSim->transcript().setSink([this](std::string_view line) {
            if (line.find(" <- IS_TINY") != std::string_view::npos && line.find("TINY_NPL") != std::string_view::npos) {
                ++liveTableRequests;
            }
            if (recordLive && voteOutput(line)) {
                liveOut.push_back(unstamped(line));
            }
        });
        refSim->transcript().setSink([this](std::string_view line) {
            if (recordRef && voteOutput(line)) {
                refOut.push_back(unstamped(line));
            }
        });
        for (const auto& name : kDrivers) {
            ASSERT_TRUE(liveSim->join(name, "^7" + name, name == kAdmin));
            ASSERT_TRUE(refSim->join(name, "^7" + name, name == kAdmin));
        }

        const fs::path refCfg = work / "reference.cfg";
        std::ofstream(refCfg, std::ios::binary) << startupFile(refSim->port(), test::freeUdpPort());
        refForm = std::make_unique<app::frmMain>(ref.platform(), refCfg);
        refForm->Form_Load();
        ref.loop().advance(1s);
        ASSERT_TRUE(refSim->clientConnected());
        index = refForm->serverIndices().front();

        cfgPath = work / "autostart.cfg";
        std::ofstream(cfgPath, std::ios::binary) << startupFile(liveSim->port(), test::freeUdpPort());
    }

    app::ServerViews& refViews() { return *refForm->server(index); }

    // ---- The live side, in real time
    void pumpOnce(Clock::time_point until) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
        live.loop().runOnce(std::clamp(left, 0ms, 5ms));
    }
    bool pumpUntil(const std::function<bool()>& done, Clock::time_point until) {
        while (!done()) {
            if (Clock::now() >= until) {
                return done();
            }
            pumpOnce(until);
        }
        return true;
    }
    int answered() const { return liveSim->stats().keepAliveReplies; }

    void startMarshal() {
        const int handshakes = liveHandshakes;
        const int requests = liveTableRequests;
        marshal = std::make_unique<Marshal>(
            std::vector<std::string>{"--headless", "--config", cfgPath.string(), "--state", statePath.string()},
            outPath);
        // Connected, and the host's tables asked for and answered.
        ASSERT_TRUE(pumpUntil([&] { return liveHandshakes > handshakes && liveTableRequests > requests; },
                              Clock::now() + kAnswerTimeout))
            << "no handshake from the restarted program\n"
            << tail();
        const int before = answered();
        ASSERT_TRUE(liveSim->keepAlive());
        ASSERT_TRUE(pumpUntil([&] { return answered() > before; }, Clock::now() + kAnswerTimeout)) << tail();
    }

    std::string tail() const {
        std::ifstream in(outPath);
        std::deque<std::string> last;
        for (std::string line; std::getline(in, line);) {
            last.push_back(line);
            if (last.size() > 30) {
                last.pop_front();
            }
        }
        std::string out = "---- the program's last lines\n";
        for (const auto& l : last) {
            out += l + "\n";
        }
        return out;
    }

    // ---- The stream
    struct Step {
        enum Kind { Race, Finish, Chat, Click };
        Kind kind = Race;
        std::string name; // finisher, or the chatting or clicking admin
        std::string text; // chat
        int clickId = 0;
        std::uint8_t flags = 0;

        static Step race() { return Step{}; }
        static Step finish(std::string who) {
            Step s;
            s.kind = Finish;
            s.name = std::move(who);
            return s;
        }
        static Step chat(std::string command) {
            Step s;
            s.kind = Chat;
            s.name = kAdmin;
            s.text = std::move(command);
            return s;
        }
        static Step click(int id, std::uint8_t flags) {
            Step s;
            s.kind = Click;
            s.name = kAdmin;
            s.clickId = id;
            s.flags = flags;
            return s;
        }
        std::string describe() const {
            switch (kind) {
            case Race: return "race start";
            case Finish: return "finish " + name;
            case Chat: return "chat " + text;
            case Click: return "click " + std::to_string(clickId) + " flags " + std::to_string(flags);
            }
            return {};
        }
    };

    // Buttons on the admin's screen that can be clicked, in the reference.
    std::vector<int> clickable() const {
        std::vector<int> out;
        for (const auto& b : refSim->buttonsFor(kAdmin)) {
            if (b.clickable()) {
                out.push_back(b.clickId);
            }
        }
        return out;
    }

    // `settled`: nothing in flight, so the live screen is the reference's.
    Step nextStep(bool settled) {
        std::uniform_int_distribution<int> percent(0, 99);
        const int roll = percent(rng);
        if (roll < 40) {
            std::vector<std::string> left;
            for (const auto& d : kDrivers) {
                if (finished.count(d) == 0) {
                    left.push_back(d);
                }
            }
            if (!raceOn || left.empty() || percent(rng) < 5) {
                return Step::race();
            }
            return Step::finish(left[std::uniform_int_distribution<std::size_t>(0, left.size() - 1)(rng)]);
        }
        const auto ids = clickable();
        if (roll < 75 && screenFresh && settled && !ids.empty()) {
            const std::uint8_t flags[] = {insim::ISB_LMB, insim::ISB_LMB, insim::kClickShiftLeft,
                                          insim::kClickShiftRight};
            return Step::click(ids[std::uniform_int_distribution<std::size_t>(0, ids.size() - 1)(rng)],
                               flags[std::uniform_int_distribution<int>(0, 3)(rng)]);
        }
        static const Lines commands{"*lastrace 1", "*lastrace 0", "*reverse 3", "*reverse 0", "*reverse 5",
                                    "*custom 1",   "*custom 1",   "*custom 0",  "*reorder"};
        return Step::chat(commands[std::uniform_int_distribution<std::size_t>(0, commands.size() - 1)(rng)]);
    }

    void apply(sim::SimServer& s, const Step& step) {
        sim::Outcome r;
        switch (step.kind) {
        case Step::Race: r = s.startRace(); break;
        case Step::Finish: r = s.finish({step.name}); break;
        case Step::Chat: r = s.chat(step.name, step.text); break;
        case Step::Click: r = s.click(step.name, step.clickId, step.flags); break;
        }
        ASSERT_TRUE(r) << step.describe() << ": " << r.error;
    }

    void noteStep(const Step& step) {
        if (step.kind == Step::Race) {
            raceOn = true;
            finished.clear();
        } else if (step.kind == Step::Finish) {
            finished.insert(step.name);
        } else if (step.kind == Step::Chat && step.text == "*custom 1") {
            screenFresh = true;
        }
    }

    // Streams steps until the kill time, then kills. Returns the states the
    // file may hold: the last answered step's and those of steps in flight.
    std::vector<Kept> streamAndKill() {
        // Half the kills come at a random time, half a moment (up to a few
        // milliseconds, while the program works on it) after a step that
        // changes several things, from a random step on.
        auto killAt = Clock::now() + std::chrono::milliseconds(
                                         std::uniform_int_distribution<int>(0, kMaxStreamMs)(rng));
        const bool afterStep = std::uniform_int_distribution<int>(0, 1)(rng) == 1;
        const std::size_t killStep = std::uniform_int_distribution<std::size_t>(1, kMaxStepsBeforeKill)(rng);
        if (afterStep) {
            killAt = Clock::time_point::max();
        }
        std::deque<Kept> possible{keptOf(refViews())};
        const int base = answered();
        int sent = 0;
        std::size_t steps = 0;
        for (;;) {
            const int done = answered() - base;
            while (static_cast<int>(possible.size()) > sent - done + 1) {
                possible.pop_front(); // answered: written for sure
            }
            if (Clock::now() >= killAt) {
                break;
            }
            const int inFlight = sent - done;
            if (inFlight < std::uniform_int_distribution<int>(1, kMaxInFlight)(rng)) {
                const Step step = nextStep(inFlight == 0);
                if (step.kind == Step::Click && refSim->buttonsFor(kAdmin).size() != liveSim->buttonsFor(kAdmin).size()) {
                    ADD_FAILURE() << "the screens differ before a click:\n"
                                  << liveSim->screenFor(kAdmin) << "--- reference\n"
                                  << refSim->screenFor(kAdmin);
                    return {};
                }
                apply(*liveSim, step);
                liveSim->keepAlive();
                ++steps;
                // A step that changes several things at once (a rebuilt
                // order, a count and its box) is the one to interrupt, timed
                // from when it left.
                const bool several = step.kind == Step::Chat && step.text != "*custom 1" &&
                                     step.text != "*custom 0" && step.text.rfind("*lastrace", 0) != 0;
                if (afterStep && steps >= killStep && several && killAt == Clock::time_point::max()) {
                    killAt = Clock::now() + std::chrono::microseconds(
                                                std::uniform_int_distribution<int>(0, kMaxKillDelayUs)(rng));
                    // Killed before the reference takes its time over the step.
                    pumpUntil([&] { return Clock::now() >= killAt; }, killAt);
                    marshal->kill(SIGKILL);
                }
                apply(*refSim, step);
                ref.loop().drain();
                noteStep(step);
                possible.push_back(keptOf(refViews()));
                ++sent;
                continue;
            }
            const auto giveUp = Clock::now() + kAnswerTimeout;
            if (!pumpUntil([&] { return answered() - base > done || Clock::now() >= killAt; },
                           std::min(killAt, giveUp)) &&
                Clock::now() >= giveUp) {
                ADD_FAILURE() << "the program stopped answering\n" << tail();
                return {};
            }
        }
        if (marshal->running()) {
            marshal->kill(SIGKILL);
        }
        marshal.reset();
        totalSteps += steps;
        // Answers already on their way came before the kill: those steps
        // were written.
        for (int pass = 0; pass < 5; ++pass) {
            live.loop().runOnce(0ms);
        }
        const int done = answered() - base;
        while (static_cast<int>(possible.size()) > sent - done + 1) {
            possible.pop_front();
        }
        screenFresh = false; // the restarted program draws no screen until asked
        return {possible.begin(), possible.end()};
    }

    // What the state file holds after the kill; nothing saved yet is the
    // start-up file's rules and empty lists.
    Kept stored() {
        store::StateStore look(statePath);
        const store::Result opened = look.open();
        EXPECT_TRUE(opened) << "the state file after a kill: " << opened.detail;
        std::vector<store::ServerState> all;
        EXPECT_TRUE(look.load(all));
        Kept k;
        k.lastRace = 1;
        for (const auto& s : all) {
            if (s.key.name == kServer) {
                k = {s.finish, s.order, s.rules.lastRace, s.rules.reverseTop, s.rules.custom, s.rules.reverseCount};
            }
        }
        return k;
    }

    // The restart vote on both sides; the race then starts again.
    void voteAndCompare(int round) {
        liveOut.clear();
        refOut.clear();
        recordLive = recordRef = true;
        ASSERT_TRUE(liveSim->voteRestart());
        const int before = answered();
        ASSERT_TRUE(liveSim->keepAlive());
        ASSERT_TRUE(pumpUntil([&] { return answered() > before; }, Clock::now() + kAnswerTimeout)) << tail();
        ASSERT_TRUE(refSim->voteRestart());
        ref.loop().drain();
        recordLive = recordRef = false;
        ASSERT_EQ(liveOut, refOut) << "round " << round << ", state " << keptOf(refViews()).text();
        if (!liveOut.empty()) {
            ++votesWithGrid;
        }
        raceOn = false;
    }

    const std::uint32_t seed;
    std::mt19937 rng;
    platform::PlatformStack live; // real time: the program runs in its own
    platform::PlatformStack ref;  // manual time: the run without a crash
    std::unique_ptr<sim::SimServer> liveSim, refSim;
    std::unique_ptr<app::frmMain> refForm;
    std::unique_ptr<Marshal> marshal;
    std::int16_t index = 0;
    fs::path work, statePath, outPath, cfgPath;

    int liveHandshakes = 0;
    int liveTableRequests = 0;
    bool recordLive = false, recordRef = false;
    Lines liveOut, refOut;

    bool raceOn = false;
    bool screenFresh = false;
    std::set<std::string> finished;
    std::size_t totalSteps = 0;
    int votesWithGrid = 0;
};

} // namespace

TEST_F(StateCrash, after_any_kill_the_next_vote_sends_what_a_run_without_the_crash_sends) {
    const int kills = std::max(1, envInt("PM_CRASH_KILLS", kDefaultKills));
    std::cout << "state crash test: " << kills << " kills, seed " << seed << " (PM_CRASH_SEED repeats it)\n";
    const auto started = Clock::now();
    std::size_t moreThanLast = 0;
    std::size_t killsInFlight = 0;
    ASSERT_NO_FATAL_FAILURE(startMarshal());
    ASSERT_NO_FATAL_FAILURE(voteAndCompare(0));
    for (int round = 1; round <= kills; ++round) {
        const std::vector<Kept> possible = streamAndKill();
        ASSERT_FALSE(possible.empty()) << "round " << round;
        const Kept found = stored();
        const auto match = std::find(possible.rbegin(), possible.rend(), found);
        if (match == possible.rend()) {
            std::string text;
            for (const auto& k : possible) {
                text += "  " + k.text() + "\n";
            }
            FAIL() << "round " << round << ": the file holds a state no run had:\n  " << found.text()
                   << "\nexpected one of:\n"
                   << text;
        }
        if (match != possible.rbegin()) {
            ++moreThanLast;
        }
        if (possible.size() > 1) {
            ++killsInFlight;
        }
        setKept(refViews(), found);
        ASSERT_NO_FATAL_FAILURE(startMarshal()) << "round " << round;
        ASSERT_NO_FATAL_FAILURE(voteAndCompare(round));
    }
    EXPECT_EQ(WEXITSTATUS(marshal->kill(SIGTERM)), 0);
    marshal.reset();
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    std::cout << "state crash test: " << kills << " kills after " << totalSteps << " steps in " << seconds
              << " s; " << killsInFlight << " kills with steps in flight, " << moreThanLast
              << " of them lost one; " << votesWithGrid
              << " votes sent a grid\n";
    // The stream must have reached the state that matters.
    EXPECT_GT(votesWithGrid, 0);
}

TEST(StateLock, a_second_program_on_the_same_state_ends_with_2_and_names_the_first) {
    const fs::path dir = fs::temp_directory_path() / ("pm_lock_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    std::ofstream(dir / "autostart.cfg", std::ios::binary) << startupFile(29999, test::freeUdpPort());
    const std::vector<std::string> args{"--headless", "--config", (dir / "autostart.cfg").string(), "--state",
                                        dir.string()};
    Marshal first(args, dir / "first.out");
    // It holds the state once its ID is in the lock file.
    std::string holder;
    for (int i = 0; i < 2000 && holder.empty(); ++i) {
        std::this_thread::sleep_for(10ms);
        std::ifstream in(dir / "state.db.lock");
        std::getline(in, holder);
    }
    ASSERT_FALSE(holder.empty());

    Marshal second(args, dir / "second.out");
    const int status = second.wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << status;
    std::ifstream in(dir / "second.out");
    const std::string said((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(said.find("is in use by another running program, process " + holder + " (paddock-marshal)"),
              std::string::npos)
        << said;
    EXPECT_EQ(WEXITSTATUS(first.kill(SIGTERM)), 0) << "the first runs on, and ends cleanly";
    fs::remove_all(dir);
}
