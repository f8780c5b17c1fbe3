#include "Micro.h"

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <stdexcept>

#include "Child.h"
#include "InSimPeer.h"
#include "app/StatePersistence.h"
#include "app/frmMain.h"
#include "insim/Packets.h"
#include "platform/Platform.h"
#include "store/StateStore.h"

namespace pm::bench {

namespace {

// A datagram sink the client's own sends (TINY_SST after each IS_NPL) go
// to, so they cost a real sendto. Never read: once full, the kernel drops.
class Sink {
public:
    Sink() {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            throw std::runtime_error("sink: cannot bind");
        }
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~Sink() { ::close(fd_); }
    std::uint16_t port() const { return port_; }

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

// One server as the headless program has it: a frmMain with a connected
// client whose tables hold the field and whose finishing order is set. With
// a state folder, the server comes from a start-up file there and its state
// is kept there (--state).
class ServerUnderTest {
public:
    explicit ServerUnderTest(bool trace, const std::string& stateFolder = {})
        : stack_(std::make_unique<platform::SystemClock>(), std::make_unique<platform::ScriptedDialogs>()) {
        if (stateFolder.empty()) {
            form_.emplace(stack_.platform(), "/nonexistent/autostart.cfg");
            form_->Form_Load();
            form_->txtNewServer.setText("bench");
            form_->AddServer();
        } else {
            const std::string cfg = stateFolder + "/autostart.cfg";
            std::ofstream(cfg, std::ios::binary)
                << "[NEW SERVER]\r\nName=bench\r\nHost=127.0.0.1\r\nInSim Port=" << sink_.port()
                << "\r\nListen Port=0\r\nAdmin PW=\r\nConnect=0\r\nLast Race=1\r\nReverse Top=0\r\n"
                   "Reverse Count=10\r\n";
            form_.emplace(stack_.platform(), cfg);
            state_ = std::make_unique<app::StatePersistence>(*form_, stack_.platform(), stateFolder + "/state.db");
            if (state_->open()) {
                throw std::runtime_error("the state file is held by another program");
            }
            form_->Form_Load();
            state_->restore();
        }
        views_ = form_->server(form_->serverIndices().front());
        views_->chkLastRace.setValue(1);
        insim::ucInSim& client = views_->ucInSim;
        client.setHost("127.0.0.1");
        client.setPort(std::to_string(sink_.port()));
        client.setPortListen(std::to_string(freeUdpPort()));
        client.Connect();
        stack_.loop().drain();
        for (int k = 1; k <= kDrivers; ++k) {
            client.ReceivePacket(driverConnection(k));
        }
        for (int k = 1; k <= kDrivers; ++k) {
            client.ReceivePacket(driverPlayer(k));
        }
        for (int k = 1; k <= kDrivers; ++k) {
            client.ReceivePacket(driverResult(k));
        }
        if (trace) {
            // A sink that takes the text and drops it: what is left is the
            // cost of making the trace lines.
            stack_.trace().enable([](std::string_view line) { benchmark::DoNotOptimize(line.data()); });
        }
    }

    insim::ucInSim& client() { return views_->ucInSim; }
    app::frmMain& form() { return *form_; }

private:
    platform::PlatformStack stack_;
    Sink sink_;
    std::optional<app::frmMain> form_;
    std::unique_ptr<app::StatePersistence> state_; // goes before the form it watches
    app::ServerViews* views_ = nullptr;
};

void finish(benchmark::State& state, double itemsPerIteration) {
    state.counters["items_per_iteration"] = itemsPerIteration;
}

void BM_ReceiveMix(benchmark::State& state) {
    ServerUnderTest server(state.range(0) != 0);
    const auto mix = receptionMix();
    std::size_t next = 0;
    for (auto _ : state) {
        server.client().ReceivePacket(mix[next]);
        next = next + 1 == mix.size() ? 0 : next + 1;
    }
    finish(state, 1);
}
BENCHMARK(BM_ReceiveMix)->ArgName("trace")->Arg(0)->Arg(1);

// One packet type at a time, to see where the mix's time goes.
void BM_ReceiveType(benchmark::State& state) {
    ServerUnderTest server(false);
    std::vector<Datagram> packets;
    for (int k = 1; k <= kDrivers; ++k) {
        switch (state.range(0)) {
        case insim::ISP_NCN: packets.push_back(driverConnection(k)); break;
        case insim::ISP_NPL: packets.push_back(driverPlayer(k)); break;
        case insim::ISP_MSO: packets.push_back(driverChat(k)); break;
        case insim::ISP_RES: packets.push_back(driverResult(k)); break;
        default: packets.push_back(receptionMix()[4]); break;
        }
    }
    std::size_t next = 0;
    for (auto _ : state) {
        server.client().ReceivePacket(packets[next]);
        next = next + 1 == packets.size() ? 0 : next + 1;
    }
    finish(state, 1);
}
BENCHMARK(BM_ReceiveType)
    ->ArgName("type")
    ->Arg(insim::ISP_NCN)
    ->Arg(insim::ISP_NPL)
    ->Arg(insim::ISP_MSO)
    ->Arg(insim::ISP_RES)
    ->Arg(insim::ISP_TINY);

// A restart vote in process: order built, 64 IS_MTC and the IS_REO sent.
void BM_VoteInProcess(benchmark::State& state) {
    ServerUnderTest server(false);
    const auto vote = [] {
        insim::IsSmall vta;
        vta.SubT = insim::SMALL_VTA;
        vta.UVal = insim::VOTE_RESTART;
        return vta.toBytes();
    }();
    for (auto _ : state) {
        server.client().ReceivePacket(vote);
    }
    finish(state, 1);
}
BENCHMARK(BM_VoteInProcess);

// A restart vote after a new race (its results not timed), with --state off
// and on: the handler and, with the state on, its commit once the start order
// has gone out. The whole of it is what a vote of another server arriving
// at the same moment waits for.
void BM_VoteAfterRace(benchmark::State& state) {
    char dir[] = "/tmp/pm-bench-vote.XXXXXX";
    if (::mkdtemp(dir) == nullptr) {
        state.SkipWithError("no temporary folder");
        return;
    }
    {
        ServerUnderTest server(false, state.range(0) != 0 ? std::string(dir) : std::string());
        insim::IsSmall vta;
        vta.SubT = insim::SMALL_VTA;
        vta.UVal = insim::VOTE_RESTART;
        const auto vote = vta.toBytes();
        int race = 0;
        for (auto _ : state) {
            state.PauseTiming();
            ++race;
            for (int position = 1; position <= kDrivers; ++position) {
                server.client().ReceivePacket(driverResult((position - 1 + race) % kDrivers + 1, position));
            }
            state.ResumeTiming();
            server.client().ReceivePacket(vote);
        }
    }
    std::filesystem::remove_all(dir);
    finish(state, 1);
}
BENCHMARK(BM_VoteAfterRace)->ArgName("state")->Arg(0)->Arg(1);

// One commit of the state store as a restart vote makes it: a server's new
// start order of 32 (rotated each time).
void BM_StateSave(benchmark::State& state) {
    char dir[] = "/tmp/pm-bench-state.XXXXXX";
    if (::mkdtemp(dir) == nullptr) {
        state.SkipWithError("no temporary folder");
        return;
    }
    {
        store::StateStore s(std::string(dir) + "/state.db");
        store::ServerState now;
        now.key = {"bench", "127.0.0.1", "29999", 0};
        for (int k = 1; k <= kDrivers; ++k) {
            now.finish.push_back((k < 10 ? "0" : "") + std::to_string(k) + " driver" + std::to_string(k));
            now.order.push_back("driver" + std::to_string(k));
        }
        if (!s.open() || !s.save(std::span(&now, 1))) {
            state.SkipWithError("cannot open the store");
        }
        for (auto _ : state) {
            std::rotate(now.order.begin(), now.order.begin() + 1, now.order.end());
            ++now.changedAt;
            if (!s.save(std::span(&now, 1))) {
                state.SkipWithError("save failed");
                break;
            }
        }
    }
    std::filesystem::remove_all(dir);
    finish(state, 1);
}
BENCHMARK(BM_StateSave);

// Lines added to a log that grows from empty to n lines; the cost per line
// should not depend on n. A large log also touches fresh memory as it grows
// (the kernel's page faults), counted apart so that it is not mistaken for
// the container's cost.
void BM_AddStatus(benchmark::State& state) {
    const auto n = state.range(0);
    platform::PlatformStack stack(std::make_unique<platform::SystemClock>(),
                                  std::make_unique<platform::ScriptedDialogs>());
    long faults = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto form = std::make_unique<app::frmMain>(stack.platform(), "/nonexistent/autostart.cfg");
        rusage before{};
        getrusage(RUSAGE_SELF, &before);
        state.ResumeTiming();
        for (std::int64_t i = 0; i < n; ++i) {
            form->AddStatus("driver07 has finished the race");
        }
        state.PauseTiming();
        rusage after{};
        getrusage(RUSAGE_SELF, &after);
        faults += after.ru_minflt - before.ru_minflt;
        form.reset();
        state.ResumeTiming();
    }
    finish(state, static_cast<double>(n));
    state.counters["page_faults_per_line"] =
        static_cast<double>(faults) / (static_cast<double>(n) * static_cast<double>(state.iterations()));
}
BENCHMARK(BM_AddStatus)->ArgName("lines")->Arg(1000)->Arg(1000000)->Unit(benchmark::kMillisecond);

class Collector final : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& r : runs) {
            if (r.error_occurred || r.run_type != Run::RT_Iteration) {
                continue;
            }
            MicroResult m;
            m.name = r.benchmark_name();
            m.iterations = r.iterations;
            const auto per = r.counters.find("items_per_iteration");
            const double perIteration = per == r.counters.end() ? 1.0 : per->second.value;
            m.items = perIteration * static_cast<double>(r.iterations);
            m.realNsPerItem = r.real_accumulated_time * 1e9 / m.items;
            m.cpuNsPerItem = r.cpu_accumulated_time * 1e9 / m.items;
            m.itemsPerSecond = m.items / r.real_accumulated_time;
            const auto faults = r.counters.find("page_faults_per_line");
            m.pageFaultsPerItem = faults == r.counters.end() ? 0.0 : faults->second.value;
            results.push_back(m);
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::vector<MicroResult> results;
};

} // namespace

std::vector<MicroResult> runMicro(const std::string& filter, const std::vector<std::string>& extra) {
    std::vector<std::string> args{"pm-bench", "--benchmark_filter=" + filter};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    int argc = static_cast<int>(argv.size());
    benchmark::Initialize(&argc, argv.data());
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    return collector.results;
}

} // namespace pm::bench
