// The memory the installed programs take with one server: the headless
// program as a service runs it, and the window (on Qt's offscreen platform),
// each against paddock-sim with a crowd racing. The programs are the ones
// `make bench` installs, stripped, so the numbers are those of what ships.

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "Child.h"
#include "LoadRuns.h"

namespace pm::bench {

namespace {

std::string readAll(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Mappings of Qt's libraries in the process, counted by /proc/PID/maps.
int qtMappings(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/maps");
    int count = 0;
    for (std::string line; std::getline(in, line);) {
        count += line.find("libQt") != std::string::npos ? 1 : 0;
    }
    return count;
}

struct Measured {
    ProcSample sample;
    int qtMaps = 0;
};

Measured measure(const LoadOptions& o, const std::string& name, bool window) {
    const std::string bin = o.shippedFolder;
    const std::string work = o.workFolder + "/" + name;
    const std::uint16_t simPort = freeUdpPort();
    Child sim(bin + "/paddock-sim",
              {"--port", std::to_string(simPort), "--bind", "127.0.0.1", "--crowd", "8", "--race-every", "3"},
              work + ".sim.stderr", -1, work + ".sim.out");
    const std::string config = work + ".cfg";
    {
        std::ofstream out(config, std::ios::binary);
        out << "[NEW SERVER]\r\nName=Simulated\r\nHost=127.0.0.1\r\nInSim Port=" << simPort
            << "\r\nListen Port=" << freeUdpPort()
            << "\r\nAdmin PW=\r\nConnect=1\r\nLast Race=1\r\nReverse Top=1\r\nReverse Count=3\r\n";
    }
    std::vector<std::string> args{"--config", config};
    if (!window) {
        args.insert(args.begin(), "--headless");
    }
    // The window draws on Qt's offscreen platform; the child inherits it.
    if (window) {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    Child program(bin + "/paddock-marshal", args, work + ".stderr", o.childCpu, work + ".out");
    ::unsetenv("QT_QPA_PLATFORM");
    std::this_thread::sleep_for(std::chrono::seconds(o.shippedSeconds));
    if (!program.running()) {
        throw std::runtime_error(name + ": the program ended early: " + readAll(work + ".stderr"));
    }
    Measured m{program.sample(), qtMappings(program.pid())};
    program.stop();
    sim.stop();
    // Measured connected, with results in its lists, or not at all.
    const std::string transcript = readAll(work + ".sim.out");
    if (transcript.find("IS_REO") == std::string::npos) {
        throw std::runtime_error(name + ": no start order reached the simulator in " +
                                 std::to_string(o.shippedSeconds) + " s");
    }
    return m;
}

std::string mib(std::int64_t kib) {
    std::ostringstream out;
    out.setf(std::ios::fixed);
    out.precision(1);
    out << static_cast<double>(kib) / 1024.0 << " MiB";
    return out.str();
}

} // namespace

void runShippedMemory(Report& report, const LoadOptions& o) {
    if (::access((o.shippedFolder + "/paddock-marshal").c_str(), X_OK) != 0) {
        throw std::runtime_error("no installed programs in " + o.shippedFolder +
                                 " (`make bench` installs them; or pm-bench --shipped BIN-FOLDER)");
    }
    report.heading("3b",
                   "Resident set as shipped (installed, stripped): 1 server, paddock-sim with 8 drivers "
                   "racing, after " +
                       std::to_string(o.shippedSeconds) + " s");
    report.set("shipped.seconds", o.shippedSeconds);
    std::int64_t headlessRss = 0;
    for (const bool window : {false, true}) {
        const std::string key = window ? "window" : "headless";
        std::cerr << "pm-bench: resident set as shipped: " << key << std::endl;
        const Measured m = measure(o, "shipped-" + key, window);
        report.set("shipped." + key + ".rss_kib", m.sample.rssKiB);
        report.set("shipped." + key + ".peak_rss_kib", m.sample.peakRssKiB);
        report.set("shipped." + key + ".qt_mappings", m.qtMaps);
        const std::string label = window ? "window (offscreen)" : "headless (--headless)";
        report.row("3b", label + ": RSS (peak)", mib(m.sample.rssKiB) + " (" + mib(m.sample.peakRssKiB) + ")",
                   window ? "" : "<= 6 MiB", window ? "" : Report::verdict(m.sample.rssKiB <= 6 * 1024));
        report.row("3b", label + ": Qt library mappings", std::to_string(m.qtMaps), window ? "" : "0",
                   window ? "" : Report::verdict(m.qtMaps == 0));
        if (window && headlessRss > 0) {
            report.row("3b", "window / headless RSS",
                       fixed(static_cast<double>(m.sample.rssKiB) / static_cast<double>(headlessRss), 1) +
                           "x");
        } else {
            headlessRss = m.sample.rssKiB;
        }
    }
}

} // namespace pm::bench
