#include "LoadRuns.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "Child.h"
#include "InSimPeer.h"

namespace pm::bench {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kWarmUpVotes = 3;
constexpr auto kVoteTimeout = 5s;
constexpr auto kHandshakeTimeout = 20s;

void say(const std::string& text) {
    std::cerr << "pm-bench: " << text << std::endl;
}

// N peers and one epoll set over their sockets (over TCP, the listening
// ones and the connections they took).
class Fleet {
public:
    explicit Fleet(int n, Transport transport = Transport::Udp)
        : transport_(transport), ep_(::epoll_create1(EPOLL_CLOEXEC)) {
        for (int i = 0; i < n; ++i) {
            peers.push_back(std::make_unique<InSimPeer>(transport));
            watch(i, peers.back()->fd());
            streams_.push_back(0);
        }
    }
    ~Fleet() { ::close(ep_); }

    // Handles what arrives until done() holds or the time is up.
    bool pumpUntil(const std::function<bool()>& done, Clock::duration timeout) {
        const auto end = Clock::now() + timeout;
        while (!done()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
            if (left.count() <= 0) {
                return done();
            }
            pumpOnce(static_cast<int>(std::min<std::int64_t>(left.count(), 50)));
        }
        return true;
    }
    void pumpFor(Clock::duration d) {
        pumpUntil([] { return false; }, d);
    }
    void pumpOnce(int timeoutMs) {
        epoll_event events[64];
        const int n = ::epoll_wait(ep_, events, 64, timeoutMs);
        for (int i = 0; i < n; ++i) {
            const auto k = events[i].data.u32;
            peers[k]->drain();
            // A connection taken (or taken again) is watched from now on;
            // a closed one left the set as it closed.
            if (peers[k]->streamsTaken() != streams_[k]) {
                streams_[k] = peers[k]->streamsTaken();
                if (peers[k]->streamFd() >= 0) {
                    watch(static_cast<int>(k), peers[k]->streamFd());
                }
            }
        }
    }

    bool all(const std::function<bool(const InSimPeer&)>& test) const {
        return std::all_of(peers.begin(), peers.end(), [&](const auto& p) { return test(*p); });
    }

    Transport transport() const { return transport_; }

    std::vector<std::unique_ptr<InSimPeer>> peers;

private:
    void watch(int peer, int fd) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u32 = static_cast<std::uint32_t>(peer);
        ::epoll_ctl(ep_, EPOLL_CTL_ADD, fd, &ev);
    }

    Transport transport_;
    std::vector<int> streams_; // per peer: connections it had taken when last looked at
    int ep_;
};

std::string writeStartupFile(const LoadOptions& o, const Fleet& fleet, const std::string& name) {
    const std::string path = o.workFolder + "/" + name + ".cfg";
    std::ofstream out(path, std::ios::binary);
    out << "Written by pm-bench\r\n";
    int k = 0;
    for (const auto& p : fleet.peers) {
        ++k;
        out << "[NEW SERVER]\r\n"
            << "Name=Bench " << k << "\r\n"
            << "Host=127.0.0.1\r\n"
            << "InSim Port=" << p->port() << "\r\n"
            << "Listen Port=" << freeUdpPort() << "\r\n"
            << "Admin PW=\r\n"
            << "Connect=1\r\n"
            << "Last Race=1\r\n"
            << "Reverse Top=0\r\n"
            << "Reverse Count=10\r\n";
        // The peers speak InSim 4 over either transport, so that only the
        // transport differs between the two; over UDP the file stays as it
        // was before these lines existed.
        if (fleet.transport() == Transport::Tcp) {
            out << "InSim Version=4\r\n"
                << "Transport=tcp\r\n";
        }
    }
    return path;
}

std::unique_ptr<Child> startProgram(const LoadOptions& o, const Fleet& fleet, const std::string& name,
                                    std::vector<std::string> extra = {}) {
    const std::string config = writeStartupFile(o, fleet, name);
    std::vector<std::string> args{"--headless", "--config", config};
    args.insert(args.end(), extra.begin(), extra.end());
    return std::make_unique<Child>(o.folder + "/paddock-marshal", args, o.workFolder + "/" + name + ".stderr",
                                   o.childCpu);
}

// Waits for every client's IS_ISI, then gives each server its field and a
// finished race.
void seatField(Fleet& fleet) {
    if (!fleet.pumpUntil([&] { return fleet.all([](const InSimPeer& p) { return p.sawIsi(); }); },
                         kHandshakeTimeout)) {
        int got = 0;
        for (const auto& p : fleet.peers) {
            got += p->sawIsi() ? 1 : 0;
        }
        throw std::runtime_error("only " + std::to_string(got) + " of " + std::to_string(fleet.peers.size()) +
                                 " servers got an IS_ISI");
    }
    std::vector<int> asked;
    for (auto& p : fleet.peers) {
        asked.push_back(p->stateRequests());
        p->sendVersion();
        p->sendField();
    }
    // The client asks for the state once per player it is told of: when
    // every server was asked kDrivers times, every player has arrived; the
    // results, sent after them, get a moment more.
    fleet.pumpUntil(
        [&] {
            for (std::size_t i = 0; i < fleet.peers.size(); ++i) {
                if (fleet.peers[i]->stateRequests() < asked[i] + kDrivers) {
                    return false;
                }
            }
            return true;
        },
        10s);
    fleet.pumpFor(200ms);
}

struct VoteRun {
    std::vector<double> latencyUs;
    int timedOut = 0;
    int wrong = 0; // start order or message count not as expected
};

// One vote on every peer, all at once, then every start order waited for and
// counted into run. False when some did not come in time.
bool voteOnEvery(Fleet& fleet, VoteRun& run, bool record) {
    std::vector<std::int64_t> sent(fleet.peers.size());
    for (std::size_t i = 0; i < fleet.peers.size(); ++i) {
        sent[i] = fleet.peers[i]->sendVote();
    }
    const bool all = fleet.pumpUntil(
        [&] { return fleet.all([](const InSimPeer& p) { return p.orderArrived(); }); }, kVoteTimeout);
    for (std::size_t i = 0; i < fleet.peers.size(); ++i) {
        const InSimPeer& p = *fleet.peers[i];
        if (!p.orderArrived()) {
            ++run.timedOut;
            continue;
        }
        if (!p.orderIsFinishingOrder() || p.messagesBeforeOrder() != kMessagesPerVote) {
            ++run.wrong;
        }
        if (record) {
            run.latencyUs.push_back(static_cast<double>(p.orderArrivedNs() - sent[i]) / 1000.0);
        }
    }
    return all;
}

// rounds x (one vote on every peer, all at once); waits for every start
// order before the next round.
VoteRun vote(Fleet& fleet, int rounds, Clock::duration gap, bool record) {
    VoteRun run;
    for (int r = 0; r < rounds; ++r) {
        fleet.pumpFor(gap);
        const bool all = voteOnEvery(fleet, run, record);
        if (!all && record) {
            say("round " + std::to_string(r) + ": " + std::to_string(run.timedOut) +
                " votes unanswered so far");
        }
    }
    return run;
}

std::string us(double v) {
    return fixed(v, 0) + " us";
}
std::string kib(std::int64_t v) {
    return std::to_string(v) + " KiB";
}

void reportLatency(Report& report, const std::string& key, const std::string& label, const VoteRun& run,
                   const Percentiles& p, const std::string& section = "1") {
    report.set(key + ".votes", static_cast<std::int64_t>(p.count));
    report.set(key + ".p50_us", p.p50);
    report.set(key + ".p99_us", p.p99);
    report.set(key + ".max_us", p.max);
    report.set(key + ".mean_us", p.mean);
    report.set(key + ".unanswered", run.timedOut);
    report.set(key + ".wrong", run.wrong);
    report.row(section, label + " p50 / p99 / max (" + std::to_string(p.count) + " votes)",
               us(p.p50) + " / " + us(p.p99) + " / " + us(p.max));
    if (run.timedOut != 0 || run.wrong != 0) {
        report.row(section, label + " unanswered / wrong",
                   std::to_string(run.timedOut) + " / " + std::to_string(run.wrong), "0 / 0", "MISS");
    }
}

// The floor answers as soon as it is bound; until then votes go nowhere.
// It binds every port before it polls, so one answer means all are open.
// Over TCP it connects to every peer first, and a vote waits for that.
void waitForFloor(Fleet& fleet) {
    if (!fleet.pumpUntil([&] { return fleet.all([](const InSimPeer& p) { return p.connected(); }); },
                         kHandshakeTimeout)) {
        throw std::runtime_error("the floor program does not connect to every peer");
    }
    InSimPeer& first = *fleet.peers.front();
    for (int attempt = 0; attempt < 100; ++attempt) {
        first.sendVote();
        if (fleet.pumpUntil([&] { return first.orderArrived(); }, 50ms)) {
            return;
        }
    }
    throw std::runtime_error("the floor program does not answer");
}

std::int64_t udpDrops(std::uint16_t port) {
    std::ifstream in("/proc/net/udp");
    std::string line;
    char want[8];
    std::snprintf(want, sizeof want, ":%04X", port);
    std::int64_t drops = 0;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string sl, local;
        f >> sl >> local;
        if (local.size() >= 5 && local.compare(local.size() - 5, 5, want) == 0) {
            std::string last, field;
            while (f >> field) {
                last = field;
            }
            drops += std::stoll(last);
        }
    }
    return drops;
}

struct IdleResult {
    double seconds = 0;
    double cpuSeconds = 0;
    double runSeconds = 0;
    std::int64_t wakeups = 0;
    std::int64_t preemptions = 0;
    int datagramsIn = 0; // what the peers received from the program meanwhile
    int keepAlivesSent = 0;
};

// The program with every server connected and nothing happening but what a
// host does on its own: a keep-alive every 30 s (spread over the period, as
// independent hosts would be) and answers to the client's state requests.
IdleResult measureIdle(Fleet& fleet, Child& child, int seconds) {
    IdleResult r;
    const auto period = 30s;
    const auto n = fleet.peers.size();
    const auto start = Clock::now();
    std::vector<Clock::time_point> nextKeepAlive(n);
    for (std::size_t i = 0; i < n; ++i) {
        nextKeepAlive[i] = start + period * static_cast<long>(i) / static_cast<long>(n);
    }
    int before = 0;
    for (const auto& p : fleet.peers) {
        before += p->received();
    }
    const ProcSample s0 = child.sample();
    const auto end = start + std::chrono::seconds(seconds);
    for (;;) {
        const auto now = Clock::now();
        if (now >= end) {
            break;
        }
        auto wake = end;
        for (std::size_t i = 0; i < n; ++i) {
            if (nextKeepAlive[i] <= now) {
                fleet.peers[i]->sendKeepAlive();
                ++r.keepAlivesSent;
                nextKeepAlive[i] += period;
            }
            wake = std::min(wake, nextKeepAlive[i]);
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(wake - now).count();
        fleet.pumpOnce(static_cast<int>(std::max<std::int64_t>(left, 1)));
    }
    const ProcSample s1 = child.sample();
    r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    r.cpuSeconds = s1.cpuSeconds - s0.cpuSeconds;
    r.runSeconds = s1.runSeconds - s0.runSeconds;
    r.wakeups = s1.voluntary - s0.voluntary;
    r.preemptions = s1.involuntary - s0.involuntary;
    int after = 0;
    for (const auto& p : fleet.peers) {
        after += p->received();
    }
    r.datagramsIn = after - before;
    return r;
}

// What the votes of a measured run cost the program under test, all its
// threads together: the scheduler's CPU time and its sleeps.
struct VoteCost {
    double cpuUs = 0;
    double wakeups = 0;
};

VoteCost costPerVote(const ProcSample& before, const ProcSample& after, int votes) {
    VoteCost c;
    c.cpuUs = (after.runSeconds - before.runSeconds) * 1e6 / votes;
    c.wakeups = static_cast<double>(after.voluntary - before.voluntary) / votes;
    return c;
}

void reportVoteCost(Report& report, const std::string& key, const std::string& label, const std::string& over,
                    const VoteCost& program, const VoteCost& floor) {
    report.set(key + ".program.cpu_us_per_vote", program.cpuUs);
    report.set(key + ".floor.cpu_us_per_vote", floor.cpuUs);
    report.set(key + ".program.wakeups_per_vote", program.wakeups);
    report.set(key + ".floor.wakeups_per_vote", floor.wakeups);
    const double ratio = floor.cpuUs > 0 ? program.cpuUs / floor.cpuUs : 0;
    report.set(key + ".ratio_cpu", ratio);
    report.row("1", label + ", CPU per vote per server, " + over + ": program / " + over + " floor",
               fixed(program.cpuUs, 1) + " us / " + fixed(floor.cpuUs, 1) + " us (" + fixed(ratio, 2) + "x)");
    report.row("1",
               label + ", wake-ups per vote (voluntary context switches), " + over + ": program / " + over +
                   " floor",
               fixed(program.wakeups, 2) + " / " + fixed(floor.wakeups, 2));
}

void reportIdle(Report& report, int servers, const IdleResult& idle) {
    const double cpuPercent = 100.0 * idle.cpuSeconds / idle.seconds;
    const double wakeupsPerSecond = static_cast<double>(idle.wakeups) / idle.seconds;
    report.set("idle.servers", servers);
    report.set("idle.seconds", idle.seconds);
    report.set("idle.cpu_seconds", idle.cpuSeconds);
    report.set("idle.cpu_percent", cpuPercent);
    report.set("idle.schedstat_cpu_percent", 100.0 * idle.runSeconds / idle.seconds);
    report.set("idle.wakeups_per_second", wakeupsPerSecond);
    report.set("idle.preemptions", idle.preemptions);
    report.set("idle.datagrams_from_program", idle.datagramsIn);
    report.set("idle.keepalives_sent", idle.keepAlivesSent);
    report.heading("5", "Idle: " + std::to_string(servers) + " connected servers, " + fixed(idle.seconds, 0) +
                            " s (hosts send keep-alives, answer state requests)");
    report.row("5", "CPU (utime + stime)",
               fixed(cpuPercent, 3) + " % (" + fixed(idle.cpuSeconds * 1000.0, 0) + " ms)", "< 0.2 %",
               Report::verdict(cpuPercent < 0.2));
    report.row("5", "CPU by /proc/PID/schedstat (ns resolution)",
               fixed(100.0 * idle.runSeconds / idle.seconds, 3) + " % (" +
                   fixed(idle.runSeconds * 1000.0, 1) + " ms)");
    report.row("5", "wake-ups (voluntary context switches)", fixed(wakeupsPerSecond, 1) + " /s");
    report.row("5", "datagrams from the program / keep-alives to it",
               std::to_string(idle.datagramsIn) + " / " + std::to_string(idle.keepAlivesSent));
}

} // namespace

void runVotesMemoryIdle(Report& report, const LoadOptions& o) {
    // ---- The base: the program with no servers at all.
    std::int64_t baseRss = 0;
    {
        Fleet none(0);
        auto child = startProgram(o, none, "servers-0");
        std::this_thread::sleep_for(500ms);
        baseRss = child->sample().rssKiB;
        child->stop();
    }

    struct Memory {
        ProcSample seated;
        ProcSample afterVotes;
    };
    std::vector<std::pair<int, Memory>> memory;

    report.heading("1", "Restart vote: SMALL_VTA out -> IS_REO in (32 drivers: 64 IS_MTC + 1 IS_REO); each "
                        "transport's program against that transport's floor");
    for (const int n : {1, o.servers}) {
        const int rounds = (o.votes + n - 1) / n;
        const auto gap = std::chrono::milliseconds(n == 1 ? o.voteGapMs1 : o.voteGapMsMany);
        const std::string label = std::to_string(n) + (n == 1 ? " server" : " servers");
        VoteCost cost[2][2]; // [transport][0 program, 1 floor]

        for (const Transport t : {Transport::Udp, Transport::Tcp}) {
            const bool tcp = t == Transport::Tcp;
            const std::string over = transportName(t);
            // The UDP figures keep the keys they had before there was TCP.
            const std::string key = "vote.servers_" + std::to_string(n) + (tcp ? ".tcp" : "");
            const std::string named = label + ", " + over;

            say("vote latency, " + named + ": program");
            Percentiles program;
            {
                Fleet fleet(n, t);
                auto child = startProgram(o, fleet, "servers-" + std::to_string(n) + "-" + over);
                seatField(fleet);
                // Before any vote: each vote adds 34 lines to the status log,
                // which would be counted as the servers' own memory.
                Memory m;
                m.seated = child->sample();
                const VoteRun warm = vote(fleet, kWarmUpVotes, gap, false);
                if (warm.timedOut != 0 || warm.wrong != 0) {
                    throw std::runtime_error("the program's start orders are not as expected (" + named +
                                             ")");
                }
                if (n == o.servers && !tcp) {
                    say("idle cost: " + std::to_string(o.idleSeconds) + " s with " + label + " connected");
                    reportIdle(report, n, measureIdle(fleet, *child, o.idleSeconds));
                    vote(fleet, 1, gap, false); // the first vote after a long sleep is not the subject
                }
                say("vote latency, " + named + ": measuring");
                const ProcSample before = child->sample();
                const VoteRun run = vote(fleet, rounds, gap, true);
                cost[tcp][0] = costPerVote(before, child->sample(), rounds * n);
                auto samples = run.latencyUs;
                program = percentiles(samples);
                reportLatency(report, key + ".program", named + ", program", run, program);
                if (!tcp) {
                    m.afterVotes = child->sample();
                    memory.emplace_back(n, m);
                }
                child->stop();
            }

            say("vote latency, " + named + ": floor");
            Percentiles floor;
            {
                Fleet fleet(n, t);
                std::vector<std::string> args;
                if (tcp) {
                    args.push_back("--tcp");
                }
                for (auto& p : fleet.peers) {
                    if (tcp) {
                        args.push_back(std::to_string(p->port()));
                    } else {
                        const auto port = freeUdpPort();
                        p->setTarget(port);
                        args.push_back(std::to_string(port));
                    }
                }
                Child child(o.folder + "/pm-bench-floor", args, o.workFolder + "/floor-" + over + ".stderr",
                            o.childCpu);
                waitForFloor(fleet);
                vote(fleet, kWarmUpVotes, gap, false);
                const ProcSample before = child.sample();
                const VoteRun run = vote(fleet, rounds, gap, true);
                cost[tcp][1] = costPerVote(before, child.sample(), rounds * n);
                auto samples = run.latencyUs;
                floor = percentiles(samples);
                reportLatency(report, key + ".floor", named + ", floor", run, floor);
                child.stop();
            }
            const double ratio = floor.p99 > 0 ? program.p99 / floor.p99 : 0;
            report.set(key + ".ratio_p99", ratio);
            report.set(key + ".ratio_p50", floor.p50 > 0 ? program.p50 / floor.p50 : 0);
            // The target was set for UDP; TCP's ratio is shown beside it.
            report.row("1", named + ", p99 program / " + over + " floor", fixed(ratio, 2) + "x",
                       tcp ? "" : "<= 3x", tcp ? "" : Report::verdict(ratio <= 3.0));
        }
        for (const Transport t : {Transport::Udp, Transport::Tcp}) {
            const bool tcp = t == Transport::Tcp;
            reportVoteCost(report, "vote.servers_" + std::to_string(n) + (tcp ? ".tcp" : ""), label,
                           transportName(t), cost[tcp][0], cost[tcp][1]);
        }
        const double tcpToUdp = cost[0][0].cpuUs > 0 ? cost[1][0].cpuUs / cost[0][0].cpuUs : 0;
        report.set("vote.servers_" + std::to_string(n) + ".tcp.program_cpu_to_udp", tcpToUdp);
        report.row("1", label + ", program's CPU per vote, tcp / udp", fixed(tcpToUdp, 2) + "x");
    }

    report.heading("3", "Memory (32 connections + 32 players per server, after the field is seated)");
    report.set("memory.base_rss_kib", baseRss);
    report.row("3", "RSS, no servers (base)", kib(baseRss));
    std::int64_t rss1 = 0;
    std::int64_t rssMany = 0;
    for (const auto& [n, m] : memory) {
        const std::string key = "memory.servers_" + std::to_string(n);
        report.set(key + ".rss_kib", m.seated.rssKiB);
        report.set(key + ".peak_rss_kib", m.seated.peakRssKiB);
        report.set(key + ".peak_rss_after_votes_kib", m.afterVotes.peakRssKiB);
        report.row("3",
                   "peak RSS, " + std::to_string(n) + (n == 1 ? " server" : " servers") + " (after votes)",
                   kib(m.seated.peakRssKiB) + " (" + kib(m.afterVotes.peakRssKiB) + ")");
        (n == 1 ? rss1 : rssMany) = m.seated.rssKiB;
    }
    if (o.servers > 1) {
        const double perServer = static_cast<double>(rssMany - rss1) * 1024.0 / (o.servers - 1);
        report.set("memory.bytes_per_server", perServer);
        report.row("3", "per server beyond the base (RSS, " + std::to_string(o.servers) + " vs 1)",
                   fixed(perServer / 1024.0, 1) + " KiB", "<= 64 KiB",
                   Report::verdict(perServer <= 64 * 1024.0));
    }
}

namespace {

// Between a race's results being handled and the vote: as on a real server,
// the program is idle when the vote comes, with the state on or off alike.
// (On a virtual machine a program that has just been busy wakes faster than
// one that has idled, which would flatter whichever side worked last.)
constexpr auto kQuietBeforeVote = 20ms;

// Rounds of (a new race on every server, then a vote on every server). The
// race's results are handled, and with --state written, before the vote
// leaves: what is timed is the vote, whose rebuilt start order is new every
// time and so is written every time.
VoteRun voteAfterRaces(Fleet& fleet, int rounds, bool record, int& race,
                       std::chrono::milliseconds quietBeforeVote = kQuietBeforeVote) {
    VoteRun run;
    for (int r = 0; r < rounds; ++r) {
        ++race;
        std::vector<int> answered;
        for (auto& p : fleet.peers) {
            answered.push_back(p->keepAliveReplies());
            p->sendRace(race);
            p->sendKeepAlive();
        }
        const bool handled = fleet.pumpUntil(
            [&] {
                for (std::size_t i = 0; i < fleet.peers.size(); ++i) {
                    if (fleet.peers[i]->keepAliveReplies() <= answered[i]) {
                        return false;
                    }
                }
                return true;
            },
            kVoteTimeout);
        if (!handled) {
            throw std::runtime_error("a race's results were not answered in time");
        }
        fleet.pumpFor(quietBeforeVote);
        voteOnEvery(fleet, run, record);
    }
    return run;
}

// The kind of file system the state file lives on: tmpfs never waits for a
// disk, and its numbers would flatter.
std::string fileSystemOf(const std::string& folder) {
    struct statfs s {};
    if (::statfs(folder.c_str(), &s) != 0) {
        return "unknown";
    }
    switch (static_cast<unsigned long>(s.f_type)) {
    case 0x01021994UL: return "tmpfs";
    case 0xEF53UL: return "ext4";
    case 0x58465342UL: return "xfs";
    case 0x9123683EUL: return "btrfs";
    case 0x794C7630UL: return "overlayfs";
    default: {
        char buf[32];
        std::snprintf(buf, sizeof buf, "0x%lx", static_cast<unsigned long>(s.f_type));
        return buf;
    }
    }
}

} // namespace

void runStateCost(Report& report, const LoadOptions& o) {
    report.heading("1c", "Restart vote, --state on against off (a new race before every vote, so every vote "
                         "writes its new start order)");
    const std::string folder = o.stateFolder.empty() ? o.workFolder : o.stateFolder;
    report.set("state.file_system", fileSystemOf(folder));
    report.row("1c", "state file's folder, file system", folder + ", " + fileSystemOf(folder));
    for (const int n : {1, o.servers}) {
        const std::string label = std::to_string(n) + (n == 1 ? " server" : " servers");
        const std::string key = "state.servers_" + std::to_string(n);
        // Off and on take turns, twice each, so that a change in the
        // machine's load falls on both alike.
        constexpr int kTurns = 2;
        const int rounds = std::max(1, (o.votes / kTurns + n - 1) / n);
        std::vector<double> samples[2];
        VoteRun totals[2];
        for (int turn = 0; turn < kTurns; ++turn) {
            for (const int on : {0, 1}) {
                say("state cost, " + label + ": state " + (on ? "on" : "off") + ", turn " +
                    std::to_string(turn + 1));
                Fleet fleet(n);
                std::vector<std::string> args;
                const std::string state = folder + "/state-" + std::to_string(n) + "-" + std::to_string(turn) + ".db";
                if (on) {
                    args = {"--state", state};
                }
                auto child = startProgram(o, fleet, "state-" + std::string(on ? "on" : "off"), args);
                seatField(fleet);
                int race = 0;
                voteAfterRaces(fleet, kWarmUpVotes, false, race);
                const VoteRun run = voteAfterRaces(fleet, rounds, true, race);
                samples[on].insert(samples[on].end(), run.latencyUs.begin(), run.latencyUs.end());
                totals[on].timedOut += run.timedOut;
                totals[on].wrong += run.wrong;
                child->stop();
                std::error_code ec;
                for (const char* suffix : {"", "-wal", "-shm", ".lock"}) {
                    std::filesystem::remove(state + suffix, ec);
                }
            }
        }
        Percentiles p[2];
        for (const int on : {0, 1}) {
            p[on] = percentiles(samples[on]);
            reportLatency(report, key + (on ? ".on" : ".off"), label + ", state " + (on ? "on" : "off"),
                          totals[on], p[on], "1c");
        }
        const double addedP50 = p[0].p50 > 0 ? 100.0 * (p[1].p50 - p[0].p50) / p[0].p50 : 0;
        const double addedP99 = p[0].p99 > 0 ? 100.0 * (p[1].p99 - p[0].p99) / p[0].p99 : 0;
        report.set(key + ".added_p50_percent", addedP50);
        report.set(key + ".added_p99_percent", addedP99);
        report.row("1c", label + ", added by --state: p50 / p99",
                   fixed(p[1].p50 - p[0].p50, 0) + " us (" + fixed(addedP50, 1) + " %) / " +
                       fixed(p[1].p99 - p[0].p99, 0) + " us (" + fixed(addedP99, 1) + " %)",
                   "p99 < 10 %", Report::verdict(addedP99 < 10.0));
    }
}

namespace {

// A free TCP port of 127.0.0.1 for the program's --web.
int freeTcpPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

// Browsers with the page open: each holds GET /api/events and reads what
// comes, on a thread of the benchmark, until stopped.
class EventStreams {
public:
    EventStreams(int port, int count) {
        const auto deadline = Clock::now() + kHandshakeTimeout;
        for (int i = 0; i < count; ++i) {
            int fd = -1;
            // The program may still be starting: connect until it listens.
            while (fd < 0) {
                fd = ::socket(AF_INET, SOCK_STREAM, 0);
                sockaddr_in a{};
                a.sin_family = AF_INET;
                a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                a.sin_port = htons(static_cast<std::uint16_t>(port));
                if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
                    ::close(fd);
                    fd = -1;
                    if (Clock::now() > deadline) {
                        throw std::runtime_error("the web page does not answer on port " + std::to_string(port));
                    }
                    std::this_thread::sleep_for(20ms);
                }
            }
            // A page bound to loopback answers only to its own names.
            const std::string request =
                "GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n";
            if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) < 0) {
                throw std::runtime_error("cannot ask for the event stream");
            }
            fds_.push_back(fd);
            messages_.push_back(0);
        }
        reader_ = std::thread([this] { read(); });
    }
    ~EventStreams() {
        stop_ = true;
        reader_.join();
        for (const int fd : fds_) {
            ::close(fd);
        }
    }
    // Every stream has had its first message: all are open.
    bool allOpen() const { return opened_.load() == static_cast<int>(fds_.size()); }
    long messages() const { return total_.load(); }
    long bytes() const { return bytes_.load(); }
    // Streams the program has not closed: one it dropped as stalled no
    // longer costs it anything, and the figures would flatter it.
    int stillOpen() const { return static_cast<int>(fds_.size()) - closed_.load(); }

private:
    void read() {
        // Browsers sit on other machines: here, the reader must not take the
        // CPU from the peers whose answers time the votes.
        ::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), 19);
        std::vector<pollfd> items;
        for (const int fd : fds_) {
            items.push_back({fd, POLLIN, 0});
        }
        char buffer[65536];
        while (!stop_) {
            if (::poll(items.data(), items.size(), 50) <= 0) {
                continue;
            }
            for (std::size_t i = 0; i < items.size(); ++i) {
                if ((items[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
                    continue;
                }
                const auto n = ::recv(items[i].fd, buffer, sizeof buffer, MSG_DONTWAIT);
                if (n <= 0) {
                    items[i].fd = -1;
                    ++closed_;
                    continue;
                }
                bytes_ += n;
                const std::string_view text(buffer, static_cast<std::size_t>(n));
                for (auto at = text.find("event: status"); at != std::string_view::npos;
                     at = text.find("event: status", at + 1)) {
                    if (messages_[i]++ == 0) {
                        ++opened_;
                    }
                    ++total_;
                }
            }
        }
    }

    std::vector<int> fds_;
    std::vector<long> messages_;
    std::atomic<int> opened_{0};
    std::atomic<long> total_{0};
    std::atomic<long> bytes_{0};
    std::atomic<int> closed_{0};
    std::atomic<bool> stop_{false};
    std::thread reader_;
};

} // namespace

// Long enough for the program to find the race's changes settled (it looks
// every 50 ms) and start copying them out to the streams, a few servers per
// look: the votes then come while it does. With a shorter wait the changes
// are published only after the votes, and the streams would cost them
// nothing.
constexpr auto kQuietBeforeWebVote = 120ms;

void runWebCost(Report& report, const LoadOptions& o) {
    constexpr int kStreams = 50;
    report.heading("1d", "Restart vote, the web page on with " + std::to_string(kStreams) +
                             " event streams open against the program without --web (a new race before every "
                             "vote, so every vote changes what the streams are sent)");
    for (const int n : {1, o.servers}) {
        const std::string label = std::to_string(n) + (n == 1 ? " server" : " servers");
        const std::string key = "web.servers_" + std::to_string(n);
        // Off and on take turns, six times each: a p99 of a few hundred
        // votes moves by half with whatever else the machine did in that
        // minute, and short turns spread that over both sides.
        constexpr int kTurns = 6;
        // At 100 servers a round's votes come together and its slowest
        // answers are the p99: it takes rounds, not votes, to steady it.
        const int rounds = std::max(5, (o.votes / kTurns + n - 1) / n);
        std::vector<double> samples[2];
        VoteRun totals[2];
        long streamed = 0;
        long streamedBytes = 0;
        int dropped = 0;
        for (int turn = 0; turn < kTurns; ++turn) {
            for (const int on : {0, 1}) {
                say("web cost, " + label + ": web " + (on ? "on" : "off") + ", turn " + std::to_string(turn + 1));
                Fleet fleet(n);
                std::vector<std::string> args;
                const int port = freeTcpPort();
                if (on) {
                    args = {"--web", "127.0.0.1:" + std::to_string(port)};
                }
                auto child = startProgram(o, fleet, "web-" + std::string(on ? "on" : "off"), args);
                std::unique_ptr<EventStreams> streams;
                if (on) {
                    streams = std::make_unique<EventStreams>(port, kStreams);
                }
                seatField(fleet);
                if (streams && !fleet.pumpUntil([&] { return streams->allOpen(); }, kHandshakeTimeout)) {
                    throw std::runtime_error("not every event stream opened");
                }
                int race = 0;
                voteAfterRaces(fleet, kWarmUpVotes, false, race, kQuietBeforeWebVote);
                const long before = streams ? streams->messages() : 0;
                const long bytesBefore = streams ? streams->bytes() : 0;
                const VoteRun run = voteAfterRaces(fleet, rounds, true, race, kQuietBeforeWebVote);
                streamed += streams ? streams->messages() - before : 0;
                streamedBytes += streams ? streams->bytes() - bytesBefore : 0;
                dropped += streams ? kStreams - streams->stillOpen() : 0;
                samples[on].insert(samples[on].end(), run.latencyUs.begin(), run.latencyUs.end());
                totals[on].timedOut += run.timedOut;
                totals[on].wrong += run.wrong;
                streams.reset();
                child->stop();
            }
        }
        Percentiles p[2];
        for (const int on : {0, 1}) {
            p[on] = percentiles(samples[on]);
            reportLatency(report, key + (on ? ".on" : ".off"),
                          label + (on ? ", web on, " + std::to_string(kStreams) + " streams" : ", web off"),
                          totals[on], p[on], "1d");
        }
        report.set(key + ".stream_messages", static_cast<double>(streamed));
        report.set(key + ".stream_bytes", static_cast<double>(streamedBytes));
        report.set(key + ".streams_dropped", dropped);
        report.row("1d", label + ", messages / bytes the streams received while measured",
                   std::to_string(streamed) + " / " + std::to_string(streamedBytes));
        report.row("1d", label + ", streams the program closed", std::to_string(dropped), "0",
                   Report::verdict(dropped == 0));
        const double addedP50 = p[0].p50 > 0 ? 100.0 * (p[1].p50 - p[0].p50) / p[0].p50 : 0;
        const double addedP99 = p[0].p99 > 0 ? 100.0 * (p[1].p99 - p[0].p99) / p[0].p99 : 0;
        report.set(key + ".added_p50_percent", addedP50);
        report.set(key + ".added_p99_percent", addedP99);
        report.row("1d", label + ", added by the streams: p50 / p99",
                   fixed(p[1].p50 - p[0].p50, 0) + " us (" + fixed(addedP50, 1) + " %) / " +
                       fixed(p[1].p99 - p[0].p99, 0) + " us (" + fixed(addedP99, 1) + " %)",
                   "p99 within 10 %", Report::verdict(addedP99 <= 10.0));
    }
}

namespace {

bool waitUntilStopped(pid_t pid) {
    for (int i = 0; i < 10000; ++i) {
        std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const auto close = text.rfind(')');
        if (close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'T') {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return false;
}

struct ReceptionResult {
    int datagrams = 0;
    double busySeconds = 0; // drain: from SIGCONT to the closing answer; sustained: the whole run
    double cpuSeconds = 0;
    double tickCpuSeconds = 0;
    std::int64_t sleeps = 0;      // voluntary context switches
    std::int64_t preemptions = 0; // involuntary ones
    int bursts = 0;
    std::int64_t dropped = 0;
    bool stalled = false;
};

// Bursts of the mix, each closed by a keep-alive whose answer says that
// everything before it was handled.
//
// drain: the program is stopped (SIGSTOP) while a burst is queued in its
// socket and continued (SIGCONT) when it is all there, so its own speed is
// measured, not the sender's: on loopback, sending a datagram costs more
// than receiving one, and a single sender would set the pace.
// sustained: the peer sends as fast as it can while the program runs.
ReceptionResult receive(Fleet& fleet, Child& child, int total, bool drain) {
    constexpr int kBurst = 200; // within the listen socket's default receive buffer
    InSimPeer& peer = *fleet.peers[0];
    const auto mix = receptionMix();
    ReceptionResult r;
    const std::int64_t drops0 = udpDrops(peer.target());
    const ProcSample s0 = child.sample();
    const auto t0 = Clock::now();
    std::size_t next = 0;
    std::int64_t busyNs = 0;
    while (r.datagrams < total) {
        if (drain) {
            ::kill(child.pid(), SIGSTOP);
            if (!waitUntilStopped(child.pid())) {
                throw std::runtime_error("the program does not stop");
            }
        }
        for (int i = 0; i < kBurst; ++i) {
            peer.send(mix[next]);
            next = next + 1 == mix.size() ? 0 : next + 1;
        }
        peer.sendKeepAlive();
        r.datagrams += kBurst + 1;
        ++r.bursts;
        const int want = peer.keepAliveReplies() + 1;
        const std::int64_t continued = realNowNs();
        if (drain) {
            ::kill(child.pid(), SIGCONT);
        }
        if (!fleet.pumpUntil([&] { return peer.keepAliveReplies() >= want; }, 5s)) {
            r.stalled = true;
            break;
        }
        busyNs += peer.lastKeepAliveReplyNs() - continued;
    }
    const ProcSample s1 = child.sample();
    r.busySeconds =
        drain ? static_cast<double>(busyNs) / 1e9 : std::chrono::duration<double>(Clock::now() - t0).count();
    r.cpuSeconds = s1.runSeconds - s0.runSeconds;
    r.tickCpuSeconds = s1.cpuSeconds - s0.cpuSeconds;
    r.sleeps = s1.voluntary - s0.voluntary;
    r.preemptions = s1.involuntary - s0.involuntary;
    r.dropped = udpDrops(peer.target()) - drops0;
    return r;
}

} // namespace

void runReceptionEndToEnd(Report& report, const LoadOptions& o) {
    report.heading("2b", "Reception over UDP: the headless program, 1 server (mix: NCN NPL MSO RES TINY)");
    // The floor makes the same system calls for the mix (a receive each, a
    // send per IS_NPL and keep-alive, a write per IS_RES) and nothing else.
    double floorRate = 0;
    {
        say("reception over UDP: floor");
        Fleet fleet(1);
        const auto port = freeUdpPort();
        fleet.peers[0]->setTarget(port);
        Child floor(o.folder + "/pm-bench-floor", {std::to_string(port)}, o.workFolder + "/floor.stderr",
                    o.childCpu);
        waitForFloor(fleet);
        fleet.peers[0]->answerRequests = false;
        const ReceptionResult r = receive(fleet, floor, o.receiveDatagrams, true);
        floorRate = r.datagrams / r.busySeconds;
        const double cpuUs = r.cpuSeconds * 1e6 / r.datagrams;
        report.set("reception.udp.floor.drain.datagrams", r.datagrams);
        report.set("reception.udp.floor.drain.datagrams_per_second", floorRate);
        report.set("reception.udp.floor.drain.cpu_us_per_datagram", cpuUs);
        report.set("reception.udp.floor.drain.dropped", r.dropped);
        report.set("reception.udp.floor.drain.bursts", r.bursts);
        report.set("reception.udp.floor.drain.sleeps", r.sleeps);
        report.set("reception.udp.floor.drain.preemptions", r.preemptions);
        report.row("2b", "floor (same system calls, nothing else), queued bursts: datagrams/s",
                   fixed(floorRate, 0));
        report.row("2b", "floor: CPU per datagram", fixed(cpuUs, 2) + " us");
        floor.stop();
    }
    for (const bool trace : {false, true}) {
        const std::string onOff = trace ? "on" : "off";
        say("reception over UDP, trace " + onOff);
        Fleet fleet(1);
        auto child = startProgram(o, fleet, "reception-trace-" + onOff,
                                  trace ? std::vector<std::string>{"--trace"} : std::vector<std::string>{});
        seatField(fleet);
        vote(fleet, 1, 0ms, false);
        fleet.peers[0]->answerRequests = false;
        const int total = trace ? std::max(o.receiveDatagrams / 10, 1000) : o.receiveDatagrams;
        for (const bool drain : {true, false}) {
            const ReceptionResult r = receive(fleet, *child, drain ? total : total / 3, drain);
            const std::string mode = drain ? "drain" : "sustained";
            const std::string key = "reception.udp.trace_" + onOff + "." + mode;
            const double rate = r.datagrams / r.busySeconds;
            const double cpuUs = r.cpuSeconds * 1e6 / r.datagrams;
            report.set(key + ".datagrams", r.datagrams);
            report.set(key + ".seconds", r.busySeconds);
            report.set(key + ".datagrams_per_second", rate);
            report.set(key + ".cpu_us_per_datagram", cpuUs);
            report.set(key + ".utime_stime_us_per_datagram", r.tickCpuSeconds * 1e6 / r.datagrams);
            report.set(key + ".bursts", r.bursts);
            report.set(key + ".sleeps", r.sleeps);
            report.set(key + ".preemptions", r.preemptions);
            report.set(key + ".dropped", r.dropped);
            report.set(key + ".stalled", r.stalled);
            const bool target = drain && !trace;
            const std::string label = "trace " + std::string(trace ? "on (stderr to /dev/null)" : "off") +
                                      ", " + (drain ? "queued bursts (drain)" : "one peer sending flat out");
            report.row("2b", label + ": datagrams/s", fixed(rate, 0), target ? ">= 250000" : "",
                       target ? Report::verdict(rate >= 250000) : "");
            report.row("2b", label + ": CPU per datagram", fixed(cpuUs, 2) + " us");
            if (target && floorRate > 0) {
                report.set(key + ".ratio_to_floor", rate / floorRate);
                report.row("2b", label + ": share of the floor's rate",
                           fixed(100.0 * rate / floorRate, 0) + " %");
            }
            if (r.dropped != 0 || r.stalled) {
                report.row("2b", label + ": dropped / stalled",
                           std::to_string(r.dropped) + " / " + (r.stalled ? "yes" : "no"), "0 / no", "MISS");
            }
        }
        child->stop();
    }
}

void runStartup(Report& report, const LoadOptions& o) {
    report.heading("6", "Start-up, " + std::to_string(o.servers) +
                            " servers: exec -> IS_ISI, less the 1 s first tick");
    std::vector<double> firstMs, lastMs;
    for (int run = 0; run < o.startupRuns; ++run) {
        say("start-up run " + std::to_string(run + 1) + " of " + std::to_string(o.startupRuns));
        Fleet fleet(o.servers);
        auto child = startProgram(o, fleet, "startup");
        if (!fleet.pumpUntil([&] { return fleet.all([](const InSimPeer& p) { return p.sawIsi(); }); },
                             kHandshakeTimeout)) {
            throw std::runtime_error("start-up: not every server got an IS_ISI");
        }
        std::int64_t first = INT64_MAX, last = 0;
        for (const auto& p : fleet.peers) {
            first = std::min(first, p->firstIsiNs());
            last = std::max(last, p->firstIsiNs());
        }
        // Each client's first handshake goes out on its timer's first tick,
        // one second after its Connect; what is left is the program's own.
        firstMs.push_back(static_cast<double>(first - child->startedNs()) / 1e6 - 1000.0);
        lastMs.push_back(static_cast<double>(last - child->startedNs()) / 1e6 - 1000.0);
        child->stop();
    }
    auto f = percentiles(firstMs);
    auto l = percentiles(lastMs);
    report.set("startup.servers", o.servers);
    report.set("startup.runs", o.startupRuns);
    report.set("startup.first_isi_minus_tick_ms.median", f.p50);
    report.set("startup.first_isi_minus_tick_ms.max", f.max);
    report.set("startup.last_isi_minus_tick_ms.median", l.p50);
    report.set("startup.last_isi_minus_tick_ms.max", l.max);
    report.row("6", "first server's IS_ISI - 1 s (median / max of " + std::to_string(o.startupRuns) + ")",
               fixed(f.p50, 1) + " / " + fixed(f.max, 1) + " ms");
    report.row("6", "every server's IS_ISI - 1 s (median / max)",
               fixed(l.p50, 1) + " / " + fixed(l.max, 1) + " ms");
}

} // namespace pm::bench
