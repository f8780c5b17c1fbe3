#pragma once
// The load runs: the headless program (or the floor) in its own process,
// driven over loopback by the benchmark's InSim peers.

#include <string>

#include "Report.h"

namespace pm::bench {

struct LoadOptions {
    std::string folder;     // where paddock-marshal and pm-bench-floor are
    std::string workFolder; // start-up files and the programs' stderr
    std::string stateFolder; // where --state files go; empty = workFolder (BENCH_STATE_DIR)
    int servers = 100;      // the "many servers" case
    int votes = 1000;       // at least this many votes per case
    int idleSeconds = 60;
    int startupRuns = 5;
    int receiveDatagrams = 300000;
    int voteGapMs1 = 2;     // between votes on one server: the program is asleep when one comes
    int voteGapMsMany = 20; // between rounds of votes on every server
    // The programs under test run on this CPU and pm-bench on another, so the
    // peers' work does not preempt them; -1 leaves both to the scheduler.
    int childCpu = -1;
    // The programs as installed (`make bench` installs the build there),
    // and how long each runs against the simulator before it is measured.
    std::string shippedFolder;
    int shippedSeconds = 10;
};

// Vote latency and cost for 1 and for many servers, over UDP and over TCP,
// each against the floor of its own transport; memory and idle cost come from
// the program over UDP.
void runVotesMemoryIdle(Report& report, const LoadOptions& options);
void runReceptionEndToEnd(Report& report, const LoadOptions& options);
// The restart vote with --state against without, in the same run.
void runStateCost(Report& report, const LoadOptions& options);
// The restart vote with the web page on and 50 event streams open against
// the program without it, in the same run.
void runWebCost(Report& report, const LoadOptions& options);
void runStartup(Report& report, const LoadOptions& options);
// The resident set of the installed programs, headless and window, each with
// one server: paddock-sim with a racing crowd.
void runShippedMemory(Report& report, const LoadOptions& options);

} // namespace pm::bench
