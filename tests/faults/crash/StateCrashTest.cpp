// paddock-marshal --headless --state, killed with SIGKILL at random moments
// while a simulated host streams results, admin commands and clicks on the
// custom-order screen. Each time it is started again, its next restart vote
// must send exactly the messages and the IS_REO that a run without the crash
// sends from the same state.
//
// The run without the crash is the window logic in this process, on a manual
// clock, fed the same stream by a second simulated host. Each step of the
// stream is one datagram that may change the state, followed by a keep-alive
// whose answer says that the step was handled and its change written. A few
// steps are in flight at a time, so that kills land while the program works.
// After a kill the file must hold the state after the last answered step or
// after one of those in flight: never a mix, never less. The reference takes
// that state, and both programs get the restart vote.
//
// PM_CRASH_KILLS sets the number of kills (50; make soak asks for more),
// PM_CRASH_SEED repeats a run. Also here, as it needs the program too: a
// second program on the same state is refused.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <deque>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <thread>

#include "app/frmMain.h"
#include "platform/Platform.h"
#include "sim/SimServer.h"
#include "store/StateStore.h"
#include "support/UdpPeer.h"

namespace {

using namespace pm;
using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;

// Kills come at a random time into the stream, or (every other one) a
// moment after a step that changes several things at once.
constexpr int kMaxStreamMs = 250;
constexpr int kMaxStepsBeforeKill = 200;
constexpr int kMaxKillDelayUs = 600;
constexpr int kMaxInFlight = 3;
// Generous: the program may be built with sanitizers, on a busy machine.
constexpr auto kAnswerTimeout = 20s;
constexpr const char* kAdmin = "marshal";
const Lines kDrivers{kAdmin, "ayrton", "alain", "nigel", "michael", "gerhard", "mika", "jacques"};
const Lines kCommands{"*lastrace 1", "*lastrace 0", "*reverse 3", "*reverse 0", "*reverse 5",
                      "*custom 1",   "*custom 1",   "*custom 0",  "*reorder"};

int envInt(const char* name, int fallback) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0' ? std::atoi(v) : fallback;
}

// What a vote depends on, as the window shows it.
struct Kept {
    Lines finish, order;
    int lastRace = 1, reverseTop = 0, custom = 0;
    std::string count = "10";
    bool operator==(const Kept&) const = default;
    std::string text() const {
        std::string out;
        for (const auto& t : finish) {
            out += t + ";";
        }
        out += " | ";
        for (const auto& t : order) {
            out += t + ";";
        }
        return out + " | " + std::to_string(lastRace) + std::to_string(reverseTop) + std::to_string(custom) + " " +
               count;
    }
};

Kept keptOf(const app::ServerViews& v) {
    return {v.lstFinish.texts(), v.lstOrder.texts(), v.chkLastRace.value(), v.chkReverse.value(),
            v.chkCustom.value(), v.txtReverse.text()};
}

void setKept(app::ServerViews& v, const Kept& k) {
    for (auto [list, texts] : {std::pair{&v.lstFinish, &k.finish}, std::pair{&v.lstOrder, &k.order}}) {
        list->clear();
        for (const auto& t : *texts) {
            list->addItem(t);
        }
    }
    v.chkLastRace.setValue(k.lastRace);
    v.chkReverse.setValue(k.reverseTop);
    v.chkCustom.setValue(k.custom);
    v.txtReverse.setText(k.count);
}

std::string startupFile(std::uint16_t simPort, std::uint16_t listenPort) {
    return "[NEW SERVER]\r\nName=Club\r\nHost=127.0.0.1\r\nInSim Port=" + std::to_string(simPort) +
           "\r\nListen Port=" + std::to_string(listenPort) +
           "\r\nAdmin PW=pitlane\r\nConnect=1\r\nLast Race=1\r\nReverse Top=0\r\nReverse Count=10\r\n";
}

// The program under test in its own process, its output in a file.
class Marshal {
public:
    Marshal(std::vector<std::string> args, const fs::path& out) {
        args.insert(args.begin(), PM_MARSHAL_PROGRAM);
        std::vector<char*> argv;
        for (auto& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(fd);
    }
    ~Marshal() { kill(SIGKILL); }
    Marshal(const Marshal&) = delete;
    Marshal& operator=(const Marshal&) = delete;

    // Sends the signal (none: waits for an end of its own); returns the wait status.
    int kill(int signal) {
        int status = -1;
        if (pid_ > 0) {
            if (signal != 0) {
                ::kill(pid_, signal);
            }
            ::waitpid(pid_, &status, 0);
            pid_ = -1;
        }
        return status;
    }

private:
    pid_t pid_ = -1;
};

class StateCrash : public ::testing::Test {
protected:
    struct Step {
        enum Kind { Race, Finish, Chat, Click } kind;
        std::string text; // finisher or command
        int clickId;
        std::uint8_t flags;
    };

    StateCrash() : ref(std::make_unique<platform::ManualClock>()) {
        work = fs::temp_directory_path() / ("pm_crash_" + std::to_string(::getpid()));
        fs::create_directories(work);
    }
    ~StateCrash() override {
        marshal.reset();
        refForm.reset();
        if (HasFailure()) {
            std::cerr << "seed " << seed << "; the program's output and state are in " << work << "\n";
        } else {
            fs::remove_all(work);
        }
    }

    void SetUp() override {
        sim::SimOptions o;
        o.bindAddress = "127.0.0.1";
        o.adminPassword = "pitlane";
        o.keepAliveEvery = 1h;        // the test sends its own, one per step
        o.voteTakesEffectAfter = 0ms; // the test starts the next race itself
        liveSim = std::make_unique<sim::SimServer>(live.loop(), live.clock(), o);
        refSim = std::make_unique<sim::SimServer>(ref.loop(), ref.clock(), o);
        ASSERT_TRUE(liveSim->listening() && refSim->listening());
        liveSim->setOnClientConnected([this] { ++handshakes; });
        // What a vote is judged by: the program's messages and start orders.
        const auto record = [](Lines& into, bool& on) {
            return [&into, &on](std::string_view line) {
                const auto at = line.find(" <- IS_");
                if (on && at != std::string_view::npos &&
                    (line.substr(at + 4, 6) == "IS_MTC" || line.substr(at + 4, 6) == "IS_REO")) {
                    into.emplace_back(line.substr(at + 4));
                }
            };
        };
        liveSim->transcript().setSink([this, r = record(liveOut, recording)](std::string_view line) {
            tableRequests += line.find(" <- IS_TINY") != std::string_view::npos &&
                             line.find("TINY_NPL") != std::string_view::npos;
            r(line);
        });
        refSim->transcript().setSink(record(refOut, recording));
        for (const auto& name : kDrivers) {
            ASSERT_TRUE(liveSim->join(name, "^7" + name, name == kAdmin));
            ASSERT_TRUE(refSim->join(name, "^7" + name, name == kAdmin));
        }
        std::ofstream(work / "reference.cfg", std::ios::binary) << startupFile(refSim->port(), test::freeUdpPort());
        refForm = std::make_unique<app::frmMain>(ref.platform(), work / "reference.cfg");
        refForm->Form_Load();
        ref.loop().advance(1s);
        ASSERT_TRUE(refSim->clientConnected());
        std::ofstream(work / "autostart.cfg", std::ios::binary) << startupFile(liveSim->port(), test::freeUdpPort());
    }

    app::ServerViews& refViews() { return *refForm->server(refForm->serverIndices().front()); }
    int answered() const { return liveSim->stats().keepAliveReplies; }
    template <typename T> T pick(const std::vector<T>& from) {
        return from[std::uniform_int_distribution<std::size_t>(0, from.size() - 1)(rng)];
    }

    // Runs the live side until done() or the time is up; returns done().
    bool pumpUntil(const std::function<bool()>& done, Clock::time_point until) {
        while (!done() && Clock::now() < until) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
            live.loop().runOnce(std::clamp(left, 0ms, 5ms));
        }
        return done();
    }
    // A keep-alive, and its answer: everything sent before it was handled.
    void settle() {
        const int before = answered();
        ASSERT_TRUE(liveSim->keepAlive());
        ASSERT_TRUE(pumpUntil([&] { return answered() > before; }, Clock::now() + kAnswerTimeout)) << tail();
    }

    void startMarshal() {
        const int handshakesBefore = handshakes;
        const int requestsBefore = tableRequests;
        marshal = std::make_unique<Marshal>(Lines{"--headless", "--config", (work / "autostart.cfg").string(),
                                                  "--state", (work / "state.db").string()},
                                            work / "marshal.out");
        // Connected, and the host's tables asked for; then answered.
        ASSERT_TRUE(pumpUntil([&] { return handshakes > handshakesBefore && tableRequests > requestsBefore; },
                              Clock::now() + kAnswerTimeout))
            << "no handshake\n"
            << tail();
        settle();
    }

    std::string tail() const {
        std::ifstream in(work / "marshal.out");
        std::deque<std::string> last;
        for (std::string line; std::getline(in, line); last.push_back(line)) {
            if (last.size() == 30) {
                last.pop_front();
            }
        }
        std::string out = "---- the program's last lines\n";
        for (const auto& l : last) {
            out += l + "\n";
        }
        return out;
    }

    // `settled`: nothing in flight, so the live screen is the reference's.
    Step nextStep(bool settled) {
        const int roll = std::uniform_int_distribution<int>(0, 99)(rng);
        if (roll < 40) {
            Lines left;
            std::copy_if(kDrivers.begin(), kDrivers.end(), std::back_inserter(left),
                         [&](const std::string& d) { return finished.count(d) == 0; });
            if (!raceOn || left.empty() || roll < 2) {
                return {Step::Race, "", 0, 0};
            }
            return {Step::Finish, pick(left), 0, 0};
        }
        std::vector<int> ids;
        for (const auto& b : refSim->buttonsFor(kAdmin)) {
            if (b.clickable()) {
                ids.push_back(b.clickId);
            }
        }
        if (roll < 75 && screenFresh && settled && !ids.empty()) {
            return {Step::Click, "", pick(ids),
                    pick(std::vector<std::uint8_t>{insim::ISB_LMB, insim::ISB_LMB, insim::kClickShiftLeft,
                                                   insim::kClickShiftRight})};
        }
        return {Step::Chat, pick(kCommands), 0, 0};
    }

    void apply(sim::SimServer& s, const Step& step) {
        const sim::Outcome r = step.kind == Step::Race     ? s.startRace()
                               : step.kind == Step::Finish ? s.finish({step.text})
                               : step.kind == Step::Chat   ? s.chat(kAdmin, step.text)
                                                           : s.click(kAdmin, step.clickId, step.flags);
        ASSERT_TRUE(r) << step.text << " " << step.clickId << ": " << r.error;
    }

    // Streams steps until the kill. Returns the states the file may hold:
    // the last answered step's and those of the steps still in flight.
    std::vector<Kept> streamAndKill() {
        auto killAt = Clock::now() + std::chrono::milliseconds(
                                         std::uniform_int_distribution<int>(0, kMaxStreamMs)(rng));
        const bool afterStep = std::uniform_int_distribution<int>(0, 1)(rng) == 1;
        const int killStep = std::uniform_int_distribution<int>(1, kMaxStepsBeforeKill)(rng);
        if (afterStep) {
            killAt = Clock::time_point::max();
        }
        std::deque<Kept> possible{keptOf(refViews())};
        const int base = answered();
        int sent = 0;
        const auto forget = [&] {
            while (static_cast<int>(possible.size()) > sent - (answered() - base) + 1) {
                possible.pop_front(); // answered: written for sure
            }
        };
        while (Clock::now() < killAt) {
            forget();
            const int inFlight = sent - (answered() - base);
            if (inFlight >= std::uniform_int_distribution<int>(1, kMaxInFlight)(rng)) {
                const auto giveUp = Clock::now() + kAnswerTimeout;
                pumpUntil([&] { return answered() - base + inFlight > sent || Clock::now() >= killAt; },
                          std::min(killAt, giveUp));
                if (Clock::now() >= giveUp) {
                    ADD_FAILURE() << "the program stopped answering\n" << tail();
                    return {};
                }
                continue;
            }
            const Step step = nextStep(inFlight == 0);
            apply(*liveSim, step);
            liveSim->keepAlive();
            ++sent;
            // A rebuilt order, or a count with its box: the moment to kill,
            // before the reference takes its time over the step.
            const bool several = step.kind == Step::Chat &&
                                 (step.text == "*reorder" || step.text.starts_with("*reverse"));
            if (afterStep && sent >= killStep && several && killAt == Clock::time_point::max()) {
                killAt = Clock::now() + std::chrono::microseconds(
                                            std::uniform_int_distribution<int>(0, kMaxKillDelayUs)(rng));
                pumpUntil([] { return false; }, killAt);
                marshal->kill(SIGKILL);
            }
            apply(*refSim, step);
            ref.loop().drain();
            raceOn = raceOn || step.kind == Step::Race;
            if (step.kind == Step::Race) {
                finished.clear();
            }
            if (step.kind == Step::Finish) {
                finished.insert(step.text);
            }
            screenFresh = screenFresh || step.text == "*custom 1";
            possible.push_back(keptOf(refViews()));
        }
        marshal->kill(SIGKILL);
        // Answers already on their way came before the kill.
        for (int pass = 0; pass < 5; ++pass) {
            live.loop().runOnce(0ms);
        }
        forget();
        steps += sent;
        screenFresh = false; // the restarted program draws no screen until asked
        return {possible.begin(), possible.end()};
    }

    // The file after a kill; a server not saved yet has the start-up file's rules.
    Kept stored() {
        store::StateStore look(work / "state.db");
        const store::Result opened = look.open();
        EXPECT_TRUE(opened) << "the state file after a kill: " << opened.detail;
        std::vector<store::ServerState> all;
        EXPECT_TRUE(look.load(all));
        Kept k;
        for (const auto& s : all) {
            k = {s.finish, s.order, s.rules.lastRace, s.rules.reverseTop, s.rules.custom, s.rules.reverseCount};
        }
        return k;
    }

    // The restart vote on both sides; the next race then starts.
    void voteAndCompare(int round) {
        liveOut.clear();
        refOut.clear();
        recording = true;
        ASSERT_TRUE(liveSim->voteRestart());
        settle();
        ASSERT_TRUE(refSim->voteRestart());
        ref.loop().drain();
        recording = false;
        ASSERT_EQ(liveOut, refOut) << "round " << round << ", state " << keptOf(refViews()).text();
        grids += liveOut.empty() ? 0 : 1;
        raceOn = false;
    }

    const std::uint32_t seed =
        static_cast<std::uint32_t>(envInt("PM_CRASH_SEED", static_cast<int>(std::random_device{}() >> 1)));
    std::mt19937 rng{seed};
    platform::PlatformStack live; // real time: the program runs in its own process
    platform::PlatformStack ref;  // manual time: the run without a crash
    std::unique_ptr<sim::SimServer> liveSim, refSim;
    std::unique_ptr<app::frmMain> refForm;
    std::unique_ptr<Marshal> marshal;
    fs::path work;
    int handshakes = 0, tableRequests = 0, grids = 0, steps = 0;
    bool recording = false, raceOn = false, screenFresh = false;
    Lines liveOut, refOut;
    std::set<std::string> finished;
};

} // namespace

TEST_F(StateCrash, after_any_kill_the_next_vote_sends_what_a_run_without_the_crash_sends) {
    const int kills = std::max(1, envInt("PM_CRASH_KILLS", 50));
    std::cout << "state crash test: " << kills << " kills, seed " << seed << " (PM_CRASH_SEED repeats it)\n";
    const auto started = Clock::now();
    int lost = 0;
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
        lost += match == possible.rbegin() ? 0 : 1;
        setKept(refViews(), found);
        ASSERT_NO_FATAL_FAILURE(startMarshal()) << "round " << round;
        ASSERT_NO_FATAL_FAILURE(voteAndCompare(round));
    }
    EXPECT_EQ(marshal->kill(SIGTERM), 0) << "a clean end after all";
    std::cout << "state crash test: " << kills << " kills in "
              << std::chrono::duration<double>(Clock::now() - started).count() << " s after " << steps
              << " steps; " << lost << " kills took an unanswered step with them; " << grids
              << " votes sent a grid\n";
    EXPECT_GT(grids, 0) << "the stream never reached a state worth a grid";
}

TEST(StateLock, a_second_program_on_the_same_state_ends_with_2_and_names_the_first) {
    const fs::path dir = fs::temp_directory_path() / ("pm_lock_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    std::ofstream(dir / "autostart.cfg", std::ios::binary) << startupFile(29999, test::freeUdpPort());
    const Lines args{"--headless", "--config", (dir / "autostart.cfg").string(), "--state", dir.string()};
    Marshal first(args, dir / "first.out");
    // It holds the state once its ID is in the lock file.
    std::string holder;
    for (int i = 0; i < 2000 && holder.empty(); ++i) {
        std::this_thread::sleep_for(10ms);
        std::ifstream in(dir / "state.db.lock");
        std::getline(in, holder);
    }
    ASSERT_FALSE(holder.empty());

    const int status = Marshal(args, dir / "second.out").kill(0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << status;
    std::ifstream in(dir / "second.out");
    const std::string said((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(said.find("is in use by another running program, process " + holder + " (paddock-marshal)"),
              std::string::npos)
        << said;
    EXPECT_EQ(first.kill(SIGTERM), 0) << "the first runs on, and ends cleanly";
    fs::remove_all(dir);
}
