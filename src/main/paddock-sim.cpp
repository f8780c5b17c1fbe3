// paddock-sim: a simulated Live for Speed server for Paddock Marshal to talk
// to: serve, run a scenario, or race a crowd. See sim/SimServer.h.

#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/PollEventLoop.h"
#include "platform/StopRequests.h"
#include "sim/CommandLine.h"
#include "sim/Console.h"
#include "sim/Crowd.h"
#include "sim/Scenario.h"
#include "sim/ScenarioRunner.h"
#include "sim/SimServer.h"
#include "sim/Summary.h"

using namespace pm;

namespace {

constexpr int kExitInterrupted = 130;

void printLine(std::string_view line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

bool readScript(const std::string& path, std::string& text, std::string& source) {
    std::ostringstream all;
    if (path == "-") {
        all << std::cin.rdbuf();
        source = "stdin";
    } else {
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            return false;
        }
        all << in.rdbuf();
        source = path;
    }
    text = all.str();
    return true;
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const auto parsed = sim::parseCommandLine(args);
    if (!parsed.error.empty()) {
        std::cerr << "paddock-sim: " << parsed.error << "\n(--help lists the options)\n";
        return 2;
    }
    const sim::SimCommandLine& cl = parsed.options;
    if (cl.help) {
        std::cout << sim::usageText();
        return 0;
    }

    // A bad script line is reported before a port is taken.
    std::vector<sim::Step> steps;
    if (cl.script) {
        std::string text;
        std::string source;
        if (!readScript(*cl.script, text, source)) {
            std::cerr << "paddock-sim: cannot read " << *cl.script << "\n";
            return 2;
        }
        auto scenario = sim::parseScenario(text, source);
        if (!scenario.error.empty()) {
            std::cerr << scenario.error << "\n";
            return 2;
        }
        steps = std::move(scenario.steps);
    }

    platform::StopRequests stopRequests; // before any thread
    platform::SystemClock clock;
    platform::PollEventLoop loop(clock);
    sim::SimServer server(loop, clock, cl.server);
    if (!server.listening()) {
        std::cerr << "paddock-sim: " << server.openError() << "\n";
        return 2;
    }
    printLine("port " + std::to_string(server.port()));
    if (!cl.quiet) {
        server.transcript().setSink(printLine);
        server.transcript().note("InSim host " + cl.server.product + " " +
                                 std::string(sim::releaseName(cl.server.lfs)) + " on TCP and UDP port " +
                                 std::to_string(server.port()));
    }

    bool scriptRunning = cl.script.has_value();
    stopRequests.watch(loop, [&] { loop.quit(scriptRunning ? kExitInterrupted : 0); });
    platform::ignoreBrokenPipes();

    sim::ScenarioRunner runner(server, loop);
    runner.setReport([&](sim::ScenarioRunner::Kind kind, std::string_view text) {
        using Kind = sim::ScenarioRunner::Kind;
        if (kind == Kind::Fail || kind == Kind::Error) {
            std::cerr << text << std::endl;
        }
        if (kind == Kind::Info) {
            printLine(text);
        } else {
            server.transcript().note(text);
        }
    });

    std::unique_ptr<sim::Crowd> crowd;
    if (cl.crowd) {
        crowd = std::make_unique<sim::Crowd>(server, loop, *cl.crowd);
        if (!crowd->start()) {
            std::cerr << "paddock-sim: crowd: " << crowd->error() << "\n";
            return 2;
        }
    }

    std::unique_ptr<sim::Console> console;
    if (cl.console) {
        console = std::make_unique<sim::Console>(loop, runner, platform::InputStream::standardInput());
        console->setErrorSink([](std::string_view e) { std::cerr << e << std::endl; });
    }

    if (cl.script) {
        runner.append(std::move(steps));
        runner.start([&](int code) {
            scriptRunning = false;
            loop.quit(code);
        });
    }

    const int code = loop.run();
    stopRequests.release();

    printLine(sim::summaryText(server));
    if (cl.script) {
        std::string line = "  expectations: " + std::to_string(runner.passed()) + " held, " +
                           std::to_string(runner.failures().size()) + " failed";
        if (!runner.error().empty()) {
            line += "; stopped at " + runner.error();
        } else if (code == kExitInterrupted) {
            line += "; interrupted";
        }
        printLine(line);
    }
    return code;
}
