#pragma once
// paddock-sim's command line.

#include <optional>
#include <span>
#include <string>

#include "sim/Crowd.h"
#include "sim/SimOptions.h"

namespace pm::sim {

struct SimCommandLine {
    SimOptions server;
    std::optional<std::string> script; // "-": standard input
    std::optional<CrowdOptions> crowd;
    bool quiet = false;   // no transcript
    bool console = false; // commands from standard input while serving
    bool help = false;
};

struct ParsedCommandLine {
    SimCommandLine options;
    std::string error; // empty when the arguments were good
};

// The arguments after the program's name. "--name value" and "--name=value".
ParsedCommandLine parseCommandLine(std::span<const std::string> args);
std::string usageText();

} // namespace pm::sim
