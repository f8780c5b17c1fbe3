#pragma once
// The in-process benchmarks (Google Benchmark): reception through
// ucInSim::ReceivePacket with the real frmMain as owner, and the status log.

#include <cstdint>
#include <string>
#include <vector>

namespace pm::bench {

struct MicroResult {
    std::string name;
    std::int64_t iterations = 0;
    double items = 0; // items handled, all iterations together
    double realNsPerItem = 0;
    double cpuNsPerItem = 0;
    double itemsPerSecond = 0; // by wall-clock time
    double pageFaultsPerItem = 0;
};

// Runs the benchmarks that match filter (a Google Benchmark regex); extra
// arguments are handed to Google Benchmark as they are.
std::vector<MicroResult> runMicro(const std::string& filter, const std::vector<std::string>& extra);

} // namespace pm::bench
