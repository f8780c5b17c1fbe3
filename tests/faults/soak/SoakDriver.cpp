// paddock-soak: one headless paddock-marshal against a crowd of simulated
// servers for a long time. The simulated servers live in this process on
// one loop with the real clock; the marshal is a child process reading an
// autostart.cfg that lists them. While the crowds race, the marshal's
// resident memory and open descriptors are sampled from /proc; at the end
// every restart vote must have been answered with a start order.
//
//   paddock-soak --marshal PATH [--servers 100] [--seconds 600]
//                [--race-every-ms 10000] [--drivers 8] [--sample-every 5]
//                [--log-lines-kept 10000] [--work DIR]
//
// The marshal prints every status line and keeps the newest
// --log-lines-kept of them in memory (0: all of them); that tail is the
// only thing its memory may grow by.
//
// Exit code 0 when everything held, 1 when something did not, 2 for bad
// arguments or a marshal that could not be started.

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/PollEventLoop.h"
#include "sim/Crowd.h"
#include "sim/SimServer.h"

using namespace pm;
using namespace std::chrono_literals;
using std::chrono::milliseconds;
using std::chrono::seconds;

namespace {

struct Options {
    std::string marshal;
    int servers = 100;
    int seconds = 600;
    int raceEveryMs = 10000;
    int drivers = 8;
    int sampleEvery = 5;
    int logLinesKept = 10000; // the headless program's own retention
    std::string work = "soak-work";
};

// Memory may grow only by the status log lines the marshal keeps. A kept
// line costs its text plus a string and a deque slot, well under this many
// times its printed size.
constexpr double kLogRetentionFactor = 4.0;
// Allocator and page granularity.
constexpr long kRssSlackKb = 4096;
// How long the marshal gets to connect to every server, and to close.
constexpr auto kConnectLimit = 60s;
constexpr auto kCloseLimit = 15s;

void say(const std::string& line) {
    std::printf("soak: %s\n", line.c_str());
    std::fflush(stdout);
}

std::optional<Options> parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        if (const auto eq = arg.find('='); eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
        } else if (i + 1 < argc) {
            value = argv[++i];
        } else {
            return std::nullopt;
        }
        const auto number = [&](int& out, int least) {
            char* end = nullptr;
            const long v = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || v < least || v > 1000000) {
                return false;
            }
            out = static_cast<int>(v);
            return true;
        };
        bool ok = true;
        if (arg == "--marshal") {
            o.marshal = value;
        } else if (arg == "--work") {
            o.work = value;
        } else if (arg == "--servers") {
            ok = number(o.servers, 1) && o.servers <= 100; // one run of the marshal holds 100
        } else if (arg == "--seconds") {
            ok = number(o.seconds, 1);
        } else if (arg == "--race-every-ms") {
            ok = number(o.raceEveryMs, 3000); // a vote needs 2 s to take effect
        } else if (arg == "--drivers") {
            ok = number(o.drivers, 1) && o.drivers <= 32;
        } else if (arg == "--sample-every") {
            ok = number(o.sampleEvery, 1);
        } else if (arg == "--log-lines-kept") {
            ok = number(o.logLinesKept, 0);
        } else {
            ok = false;
        }
        if (!ok) {
            return std::nullopt;
        }
    }
    if (o.marshal.empty()) {
        return std::nullopt;
    }
    return o;
}

// Ports for the marshal to listen on, free when asked. They are held until
// the marshal is about to start, so that no two servers get the same one,
// and they lie below the range the system hands out for port 0, so that no
// other program's sockets take them in the moment between.
class PortReservation {
public:
    explicit PortReservation(int count) {
        int ephemeralLow = 32768;
        std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> ephemeralLow;
        constexpr int kLowest = 10000;
        const int span = std::max(ephemeralLow - kLowest, count);
        // Two soaks at once start at different places.
        const int start = static_cast<int>(::getpid()) % span;
        for (int tried = 0; tried < span && static_cast<int>(ports.size()) < count; ++tried) {
            const auto port = static_cast<std::uint16_t>(kLowest + (start + tried) % span);
            const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(port);
            if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
                fds_.push_back(fd);
                ports.push_back(port);
            } else if (fd >= 0) {
                ::close(fd);
            }
        }
        if (static_cast<int>(ports.size()) < count) {
            throw std::runtime_error("not enough free UDP ports");
        }
    }
    ~PortReservation() { release(); }
    void release() {
        for (const int fd : fds_) {
            ::close(fd);
        }
        fds_.clear();
    }
    std::vector<std::uint16_t> ports;

private:
    std::vector<int> fds_;
};

struct Sample {
    double at = 0; // seconds since the crowds started
    long rssKb = 0;
    int fds = 0;
    long logBytes = 0;  // printed so far
    long keptBytes = 0; // of the lines the marshal can still hold
};

// Follows the marshal's output as it grows and sizes the tail of it that
// the marshal keeps in memory.
class LogTail {
public:
    LogTail(std::filesystem::path path, int linesKept) : path_(std::move(path)), linesKept_(linesKept) {}

    void update() {
        std::ifstream in(path_, std::ios::binary);
        in.seekg(read_);
        char buf[65536];
        while (in.read(buf, sizeof buf), in.gcount() > 0) {
            for (std::streamsize i = 0; i < in.gcount(); ++i) {
                ++pending_;
                if (buf[i] == '\n') {
                    lines_.push_back(pending_);
                    kept_ += pending_;
                    pending_ = 0;
                    if (linesKept_ != 0 && lines_.size() > static_cast<std::size_t>(linesKept_)) {
                        kept_ -= lines_.front();
                        lines_.pop_front();
                    }
                }
            }
            read_ += in.gcount();
        }
    }
    long printed() const { return read_; }
    long kept() const { return kept_; }

private:
    std::filesystem::path path_;
    int linesKept_;
    long read_ = 0;
    long pending_ = 0;
    long kept_ = 0;
    std::deque<long> lines_;
};

std::optional<long> rssKb(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return std::nullopt;
}

int openFds(pid_t pid) {
    int count = 0;
    if (DIR* d = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
        while (const dirent* e = ::readdir(d)) {
            if (e->d_name[0] != '.') {
                ++count;
            }
        }
        ::closedir(d);
    }
    return count;
}

pid_t startMarshal(const Options& o, const std::filesystem::path& cfg, const std::filesystem::path& out,
                   const std::filesystem::path& err) {
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid != 0) {
        return pid;
    }
    // The marshal must not outlive a soak that dies.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) {
        ::_exit(127);
    }
    const int o1 = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int o2 = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int in = ::open("/dev/null", O_RDONLY);
    if (o1 < 0 || o2 < 0 || in < 0) {
        ::_exit(127);
    }
    ::dup2(in, 0);
    ::dup2(o1, 1);
    ::dup2(o2, 2);
    const std::string config = cfg.string();
    const char* argv[] = {o.marshal.c_str(), "--headless", "--config", config.c_str(), nullptr};
    ::execv(o.marshal.c_str(), const_cast<char* const*>(argv));
    ::_exit(127);
}

bool alive(pid_t pid, int& status) { return ::waitpid(pid, &status, WNOHANG) == 0; }

std::string name(int i) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "Soak %03d", i + 1);
    return buf;
}

} // namespace

int main(int argc, char** argv) {
    const auto parsed = parse(argc, argv);
    if (!parsed) {
        std::fprintf(stderr,
                     "usage: paddock-soak --marshal PATH [--servers N<=100] [--seconds S] "
                     "[--race-every-ms MS>=3000] [--drivers N<=32] [--sample-every S] [--log-lines-kept N] "
                     "[--work DIR]\n");
        return 2;
    }
    const Options o = *parsed;
    ::signal(SIGPIPE, SIG_IGN);
    const std::filesystem::path work = o.work;
    std::filesystem::create_directories(work);
    const auto cfg = work / "autostart.cfg";
    const auto out = work / "marshal.out";
    const auto err = work / "marshal.err";

    platform::SystemClock clock;
    platform::PollEventLoop loop(clock);
    std::vector<std::unique_ptr<sim::SimServer>> sims;
    for (int i = 0; i < o.servers; ++i) {
        sim::SimOptions so;
        so.bindAddress = "127.0.0.1";
        so.hostName = name(i);
        so.seed = static_cast<std::uint32_t>(i + 1);
        sims.push_back(std::make_unique<sim::SimServer>(loop, clock, so));
        if (!sims.back()->listening()) {
            say("server " + std::to_string(i + 1) + " cannot listen: " + sims.back()->openError());
            return 2;
        }
    }

    PortReservation listenPorts(o.servers);
    {
        std::ofstream f(cfg, std::ios::binary);
        f << "Written by paddock-soak\r\n";
        for (int i = 0; i < o.servers; ++i) {
            f << "[NEW SERVER]\r\nName=" << name(i) << "\r\nHost=127.0.0.1\r\nInSim Port=" << sims[i]->port()
              << "\r\nListen Port=" << listenPorts.ports[i] << "\r\nAdmin PW=\r\nConnect=1\r\nLast Race=1\r\n"
              << "Reverse Top=" << (i % 2) << "\r\nReverse Count=3\r\n";
        }
    }
    listenPorts.release();
    const pid_t marshal = startMarshal(o, cfg, out, err);
    if (marshal < 0) {
        say("cannot start " + o.marshal);
        return 2;
    }
    say("marshal pid " + std::to_string(marshal) + " against " + std::to_string(o.servers) + " servers for " +
        std::to_string(o.seconds) + " s (a race every " + std::to_string(o.raceEveryMs) + " ms, " +
        std::to_string(o.drivers) + " drivers each)");

    std::vector<std::string> failures;
    int status = 0;
    const auto fail = [&](const std::string& why) {
        failures.push_back(why);
        say("FAIL: " + why);
    };
    const auto stopMarshal = [&] {
        ::kill(marshal, SIGKILL);
        ::waitpid(marshal, &status, 0);
    };

    // ---- Every server gets its client before the crowds start, so that
    // every vote has somebody to answer it.
    const auto connectBy = std::chrono::steady_clock::now() + kConnectLimit;
    const auto connectedCount = [&] {
        return std::count_if(sims.begin(), sims.end(), [](const auto& s) { return s->clientConnected(); });
    };
    while (connectedCount() < o.servers && std::chrono::steady_clock::now() < connectBy && alive(marshal, status)) {
        loop.runOnce(100ms);
    }
    if (connectedCount() < o.servers) {
        std::string missing;
        for (int i = 0; i < o.servers; ++i) {
            if (!sims[i]->clientConnected()) {
                missing += " " + name(i) + " (listen port " + std::to_string(listenPorts.ports[i]) + ")";
            }
        }
        fail(std::to_string(connectedCount()) + " of " + std::to_string(o.servers) +
             " servers got a client; without:" + missing);
        stopMarshal();
        return 1;
    }
    say("all " + std::to_string(o.servers) + " servers have their client");

    // ---- The crowds race, staggered so that the votes spread out.
    std::vector<std::unique_ptr<sim::Crowd>> crowds(sims.size());
    std::vector<platform::EventLoop::TimerId> starters;
    for (int i = 0; i < o.servers; ++i) {
        const auto delay = milliseconds(1 + static_cast<long>(o.raceEveryMs) * i / o.servers);
        starters.push_back(loop.startTimer(delay, [&, i] {
            loop.stopTimer(starters[static_cast<std::size_t>(i)]);
            sim::CrowdOptions co;
            co.drivers = o.drivers;
            co.raceEvery = milliseconds(o.raceEveryMs);
            co.seed = static_cast<std::uint32_t>(i + 1);
            crowds[static_cast<std::size_t>(i)] = std::make_unique<sim::Crowd>(*sims[i], loop, co);
            if (!crowds[static_cast<std::size_t>(i)]->start()) {
                fail(name(i) + ": crowd: " + crowds[static_cast<std::size_t>(i)]->error());
            }
        }));
    }

    std::vector<int> finalVotes(sims.size(), 0); // once the crowds are gone
    const auto began = std::chrono::steady_clock::now();
    const auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count(); };
    std::vector<Sample> samples;
    LogTail log(out, o.logLinesKept);
    bool marshalGone = false;
    // The loop is run pass by pass rather than quit: a quit loop runs no
    // more, and the end still needs it.
    bool stop = false;
    const auto sample = [&] {
        if (!alive(marshal, status)) {
            marshalGone = true;
            stop = true;
            return;
        }
        Sample s;
        s.at = elapsed();
        s.rssKb = rssKb(marshal).value_or(0);
        s.fds = openFds(marshal);
        log.update();
        s.logBytes = log.printed();
        s.keptBytes = log.kept();
        samples.push_back(s);
        int votes = 0;
        for (std::size_t i = 0; i < crowds.size(); ++i) {
            votes += crowds[i] ? crowds[i]->racesFinished() : finalVotes[i];
        }
        char line[200];
        std::snprintf(line, sizeof line, "t=%5.0fs  rss=%7ld kB  fds=%4d  log=%9ld bytes (%ld kept)  votes=%d", s.at,
                      s.rssKb, s.fds, s.logBytes, s.keptBytes, votes);
        say(line);
    };
    const auto sampler = loop.startTimer(seconds(o.sampleEvery), sample);
    const auto ender = loop.startTimer(seconds(o.seconds), [&] { stop = true; });
    while (!stop) {
        loop.runOnce(1s);
    }
    loop.stopTimer(sampler);
    loop.stopTimer(ender);
    for (const auto t : starters) {
        loop.stopTimer(t);
    }
    if (marshalGone) {
        fail("the marshal ended during the run (status " + std::to_string(status) + ")");
        return 1;
    }

    // ---- The crowds stop; votes still pending get their time to be
    // answered and to take effect.
    for (std::size_t i = 0; i < crowds.size(); ++i) {
        finalVotes[i] = crowds[i] ? crowds[i]->racesFinished() : 0;
    }
    for (auto& c : crowds) {
        c.reset();
    }
    const std::vector<int>& votes = finalVotes;
    const auto settleBy = std::chrono::steady_clock::now() + sims.front()->options().voteTakesEffectAfter + 2s;
    while (std::chrono::steady_clock::now() < settleBy) {
        loop.runOnce(100ms);
    }
    sample();

    // ---- Every vote answered, every link still up.
    long reoReceived = 0;
    int totalVotes = 0;
    int unansweredKeepAlives = 0;
    for (std::size_t i = 0; i < sims.size(); ++i) {
        const auto& s = *sims[i];
        const int applied = static_cast<int>(s.appliedGrids().size());
        reoReceived += applied + s.stats().startOrdersIgnored;
        totalVotes += votes[i];
        unansweredKeepAlives += s.stats().keepAlivesUnanswered;
        if (applied != votes[i]) {
            fail(name(static_cast<int>(i)) + ": " + std::to_string(votes[i]) + " restart votes, " +
                 std::to_string(applied) + " start orders taken");
        }
        if (!s.clientConnected()) {
            fail(name(static_cast<int>(i)) + ": lost its client");
        }
    }
    if (totalVotes == 0) {
        fail("no restart vote happened: the run is too short for the race interval");
    }
    say(std::to_string(totalVotes) + " restart votes, " + std::to_string(reoReceived) +
        " IS_REO received (one per vote, one per race start)");
    say(std::to_string(unansweredKeepAlives) + " keep-alives unanswered");

    // ---- Flat descriptors and memory once everything is up and racing.
    const double warmUp = std::max(10.0, 2.0 * o.raceEveryMs / 1000.0);
    std::vector<Sample> steady;
    std::copy_if(samples.begin(), samples.end(), std::back_inserter(steady),
                 [&](const Sample& s) { return s.at >= warmUp; });
    if (steady.size() < 2) {
        fail("too few samples after the warm-up of " + std::to_string(static_cast<int>(warmUp)) +
             " s: run longer or sample more often");
    } else {
        const auto [fdMin, fdMax] = std::minmax_element(steady.begin(), steady.end(),
                                                        [](const Sample& a, const Sample& b) { return a.fds < b.fds; });
        if (fdMin->fds != fdMax->fds) {
            fail("open descriptors moved between " + std::to_string(fdMin->fds) + " and " +
                 std::to_string(fdMax->fds));
        }
        const Sample& first = steady.front();
        const Sample& last = steady.back();
        const long growth = last.rssKb - first.rssKb;
        const long logKept = std::max(0L, last.keptBytes - first.keptBytes);
        const long allowed =
            static_cast<long>(kLogRetentionFactor * static_cast<double>(logKept) / 1024.0) + kRssSlackKb;
        say("after warm-up: rss " + std::to_string(first.rssKb) + " -> " + std::to_string(last.rssKb) + " kB (" +
            std::to_string(growth) + " kB; the log lines kept grew by " + std::to_string(logKept / 1024) +
            " kB; allowed " + std::to_string(allowed) + " kB), fds " + std::to_string(first.fds));
        if (growth > allowed) {
            fail("resident memory grew by " + std::to_string(growth) + " kB, more than the kept status log explains");
        }
    }

    // ---- A clean close: every server is told goodbye.
    ::kill(marshal, SIGTERM);
    const auto closeBy = std::chrono::steady_clock::now() + kCloseLimit;
    bool exited = false;
    while (std::chrono::steady_clock::now() < closeBy) {
        loop.runOnce(50ms);
        if (!alive(marshal, status)) {
            exited = true;
            break;
        }
    }
    if (!exited) {
        fail("the marshal did not end within " + std::to_string(kCloseLimit.count()) + " s of SIGTERM");
        stopMarshal();
    } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fail("the marshal ended with status " + std::to_string(status));
    }
    for (int k = 0; k < 20; ++k) {
        loop.runOnce(10ms);
    }
    const auto stillConnected = connectedCount();
    if (stillConnected != 0) {
        fail(std::to_string(stillConnected) + " servers were not told goodbye (TINY_CLOSE)");
    }

    if (!failures.empty()) {
        say(std::to_string(failures.size()) + " check(s) failed; see " + work.string());
        return 1;
    }
    say("PASS");
    return 0;
}
