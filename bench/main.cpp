// pm-bench: every benchmark of the project in one run; prints a table and
// writes the numbers as JSON.
//
//   pm-bench [--out FILE] [--only micro,vote,state,web,reception,startup,shipped]
//            [--shipped BIN-FOLDER] [-- GBENCH-ARGS]
//
// "shipped" runs the installed programs from BIN-FOLDER (default: shipped/bin
// beside pm-bench, where `make bench` installs them).
//
// Sizes come from the environment: BENCH_IDLE_SECONDS (60), BENCH_VOTES
// (1000), BENCH_SERVERS (100), BENCH_STARTUP_RUNS (5),
// BENCH_RECV_DATAGRAMS (300000), BENCH_SHIPPED_SECONDS (10). BENCH_PIN=0 leaves the programs under test
// and pm-bench to the scheduler instead of one CPU each. BENCH_STATE_DIR puts
// the --state files of section 1c on another disk (default: the work folder
// under /tmp).

#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "Child.h"
#include "LoadRuns.h"
#include "Micro.h"
#include "Report.h"

using namespace pm::bench;

namespace {

int envInt(const char* name, int fallback) {
    const char* v = std::getenv(name);
    if (v == nullptr || *v == '\0') {
        return fallback;
    }
    return std::atoi(v);
}

const MicroResult* find(const std::vector<MicroResult>& results, const std::string& name) {
    for (const auto& r : results) {
        if (r.name == name) {
            return &r;
        }
    }
    return nullptr;
}

void reportMicro(Report& report, const std::vector<MicroResult>& results) {
    for (const auto& r : results) {
        std::string key = r.name;
        for (char& c : key) {
            if (c == '/' || c == ':' || c == '.') {
                c = '_';
            }
        }
        report.set("micro." + key + ".items", r.items);
        report.set("micro." + key + ".real_ns_per_item", r.realNsPerItem);
        report.set("micro." + key + ".cpu_ns_per_item", r.cpuNsPerItem);
        report.set("micro." + key + ".items_per_second", r.itemsPerSecond);
    }

    report.heading("2a", "Reception in process: ucInSim::ReceivePacket, owner = frmMain (Google Benchmark)");
    for (const char* trace : {"0", "1"}) {
        const auto* r = find(results, std::string("BM_ReceiveMix/trace:") + trace);
        if (r == nullptr) {
            continue;
        }
        const bool off = std::string(trace) == "0";
        const std::string label = std::string("mix, trace ") + (off ? "off" : "on (null sink)");
        report.row("2a", label + ": datagrams/s", fixed(r->itemsPerSecond, 0), off ? ">= 250000" : "",
                   off ? Report::verdict(r->itemsPerSecond >= 250000) : "");
        report.row("2a", label + ": CPU per datagram", fixed(r->cpuNsPerItem, 0) + " ns");
    }
    const std::pair<const char*, const char*> types[] = {{"18", "IS_NCN"},
                                                         {"21", "IS_NPL (answers TINY_SST)"},
                                                         {"11", "IS_MSO"},
                                                         {"35", "IS_RES"},
                                                         {"3", "IS_TINY"}};
    for (const auto& [arg, name] : types) {
        if (const auto* r = find(results, std::string("BM_ReceiveType/type:") + arg)) {
            report.row("2a", std::string("  one type: ") + name, fixed(r->cpuNsPerItem, 0) + " ns");
        }
    }
    if (const auto* r = find(results, "BM_VoteInProcess")) {
        report.row("2a", "restart vote in process (order, 64 IS_MTC, IS_REO, 34 log lines)",
                   fixed(r->cpuNsPerItem / 1000.0, 1) + " us");
    }
    const auto* voteOff = find(results, "BM_VoteAfterRace/state:0");
    const auto* voteOn = find(results, "BM_VoteAfterRace/state:1");
    if (voteOff != nullptr && voteOn != nullptr) {
        report.heading("1c", "Restart vote, --state on against off (a new race before every vote, so every vote "
                             "writes its new start order)");
        const double added = voteOn->realNsPerItem - voteOff->realNsPerItem;
        report.row("1c", "vote after a race, in process, handler + commit: off / on (added)",
                   fixed(voteOff->realNsPerItem / 1000.0, 1) + " us / " + fixed(voteOn->realNsPerItem / 1000.0, 1) +
                       " us (+" + fixed(added / 1000.0, 1) + " us, " +
                       fixed(100.0 * added / voteOff->realNsPerItem, 1) + " %)");
        report.set("state.vote_in_process_off_us", voteOff->realNsPerItem / 1000.0);
        report.set("state.vote_in_process_on_us", voteOn->realNsPerItem / 1000.0);
    }
    if (const auto* r = find(results, "BM_StateSave")) {
        report.heading("1c", "Restart vote, --state on against off (a new race before every vote, so every vote "
                             "writes its new start order)");
        report.row("1c", "one commit of a new start order of 32, in process", fixed(r->realNsPerItem / 1000.0, 1) + " us");
        report.set("state.commit_us", r->realNsPerItem / 1000.0);
    }

    const auto* small = find(results, "BM_AddStatus/lines:1000");
    const auto* large = find(results, "BM_AddStatus/lines:1000000");
    if (small != nullptr || large != nullptr) {
        report.heading("4", "Status log: frmMain::AddStatus per line, log growing from empty");
    }
    for (const auto* r : {small, large}) {
        if (r == nullptr) {
            continue;
        }
        const std::string lines = r == small ? "10^3" : "10^6";
        report.row("4", lines + " lines",
                   fixed(r->realNsPerItem, 0) + " ns/line (page faults/line " +
                       fixed(r->pageFaultsPerItem, 4) + ")");
        report.set(std::string("status_log.lines_") + (r == small ? "1e3" : "1e6") + ".ns_per_line",
                   r->realNsPerItem);
        report.set(std::string("status_log.lines_") + (r == small ? "1e3" : "1e6") + ".page_faults_per_line",
                   r->pageFaultsPerItem);
    }
    if (small != nullptr && large != nullptr) {
        const double ratio = large->realNsPerItem / small->realNsPerItem;
        report.set("status_log.ratio_1e6_to_1e3", ratio);
        report.row("4", "10^6 / 10^3", fixed(ratio, 2) + "x", "flat (<= 1.5x)",
                   Report::verdict(ratio <= 1.5));
    }
}

std::string isoNow() {
    char buf[64];
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&t, &tm);
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

} // namespace

int main(int argc, char** argv) {
    std::string out = "bench/results.json";
    std::set<std::string> only;
    std::vector<std::string> gbenchArgs;
    std::string shipped = ownFolder() + "/shipped/bin";
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--out" && i + 1 < argc) {
            out = argv[++i];
        } else if (a == "--only" && i + 1 < argc) {
            std::stringstream list(argv[++i]);
            std::string item;
            while (std::getline(list, item, ',')) {
                only.insert(item);
            }
        } else if (a == "--shipped" && i + 1 < argc) {
            shipped = argv[++i];
        } else if (a == "--") {
            gbenchArgs.assign(argv + i + 1, argv + argc);
            break;
        } else {
            std::cerr << "usage: pm-bench [--out FILE] [--only micro,vote,state,web,reception,startup,shipped] "
                         "[--shipped BIN-FOLDER] [-- GBENCH-ARGS]\n";
            return 2;
        }
    }
    const auto wanted = [&](const char* part) { return only.empty() || only.count(part) != 0; };

    LoadOptions o;
    o.folder = ownFolder();
    o.servers = std::max(2, envInt("BENCH_SERVERS", o.servers));
    o.votes = std::max(1, envInt("BENCH_VOTES", o.votes));
    o.idleSeconds = std::max(1, envInt("BENCH_IDLE_SECONDS", o.idleSeconds));
    o.startupRuns = std::max(1, envInt("BENCH_STARTUP_RUNS", o.startupRuns));
    o.receiveDatagrams = std::max(1000, envInt("BENCH_RECV_DATAGRAMS", o.receiveDatagrams));
    o.shippedFolder = shipped;
    o.shippedSeconds = std::max(3, envInt("BENCH_SHIPPED_SECONDS", o.shippedSeconds));
    if (envInt("BENCH_PIN", 1) != 0 && ::sysconf(_SC_NPROCESSORS_ONLN) >= 2 && pinToCpu(0)) {
        o.childCpu = 1;
    }
    char work[] = "/tmp/pm-bench.XXXXXX";
    if (::mkdtemp(work) == nullptr) {
        std::cerr << "pm-bench: cannot make a work folder\n";
        return 1;
    }
    o.workFolder = work;
    if (const char* dir = std::getenv("BENCH_STATE_DIR"); dir != nullptr && *dir != '\0') {
        o.stateFolder = dir;
    }

    Report report;
    utsname u{};
    ::uname(&u);
    report.set("machine.started", isoNow());
    report.set("machine.cpus", static_cast<std::int64_t>(::sysconf(_SC_NPROCESSORS_ONLN)));
    report.set("machine.kernel", std::string(u.release));
    report.set("machine.load_before", loadAverages());
    report.set("config.servers", o.servers);
    report.set("config.votes", o.votes);
    report.set("config.idle_seconds", o.idleSeconds);
    report.set("config.startup_runs", o.startupRuns);
    report.set("config.receive_datagrams", o.receiveDatagrams);
    report.set("config.pinned", o.childCpu >= 0);
    report.heading("0", "Machine");
    report.row("0", "load average before (1, 5, 15 min)", loadAverages());
    report.row("0", "CPUs; programs under test pinned",
               std::to_string(::sysconf(_SC_NPROCESSORS_ONLN)) +
                   (o.childCpu >= 0 ? "; yes: CPU 1, pm-bench CPU 0" : "; no"));

    int failures = 0;
    const auto guarded = [&](const char* what, auto&& fn) {
        try {
            fn();
        } catch (const std::exception& e) {
            ++failures;
            std::cerr << "pm-bench: " << what << " failed: " << e.what() << "\n";
            report.set(std::string("errors.") + what, e.what());
            report.row("0", std::string(what) + " failed", e.what(), "", "MISS");
        }
    };

    if (wanted("micro")) {
        guarded("micro", [&] { reportMicro(report, runMicro(".*", gbenchArgs)); });
    }
    if (wanted("vote")) {
        guarded("vote", [&] { runVotesMemoryIdle(report, o); });
    }
    if (wanted("state")) {
        guarded("state", [&] { runStateCost(report, o); });
    }
    if (wanted("web")) {
        guarded("web", [&] { runWebCost(report, o); });
    }
    if (wanted("reception")) {
        guarded("reception", [&] { runReceptionEndToEnd(report, o); });
    }
    if (wanted("startup")) {
        guarded("startup", [&] { runStartup(report, o); });
    }
    if (wanted("shipped")) {
        guarded("shipped", [&] { runShippedMemory(report, o); });
    }

    report.set("machine.load_after", loadAverages());
    report.row("0", "load average after (1, 5, 15 min)", loadAverages());
    std::cout << "\n";
    report.printTable(std::cout);

    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(out).parent_path(), ec);
    const std::string tmp = out + ".tmp";
    {
        std::ofstream file(tmp);
        file << report.json();
    }
    std::filesystem::rename(tmp, out, ec);
    if (ec) {
        std::cerr << "pm-bench: cannot write " << out << ": " << ec.message() << "\n";
        return 1;
    }
    std::cout << "results: " << out << "\n";
    std::filesystem::remove_all(o.workFolder, ec);
    return failures == 0 ? 0 : 1;
}
