#include "sim/CommandLine.h"

#include <charconv>
#include <cmath>
#include <functional>
#include <map>

namespace pm::sim {

namespace {

bool wholeNumber(const std::string& s, long long low, long long high, long long& out) {
    long long v = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end != s.data() + s.size() || v < low || v > high) {
        return false;
    }
    out = v;
    return true;
}

bool decimal(const std::string& s, double low, double high, double& out) {
    double v = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end != s.data() + s.size() || !std::isfinite(v) || v < low || v > high) {
        return false;
    }
    out = v;
    return true;
}

} // namespace

std::string usageText() {
    return "usage: paddock-sim [options]\n"
           "  A simulated Live for Speed server with InSim on TCP and UDP on the same\n"
           "  port, as \"/insim 29999\" opens both. A TCP client gets everything on its\n"
           "  stream; one client at a time, the newest IS_ISI wins.\n"
           "  --port N          InSim port, TCP and UDP (default 29999; 0 picks a free\n"
           "                    one). The first line on stdout is always \"port N\".\n"
           "  --bind ADDR       local address (default 0.0.0.0)\n"
           "  --script FILE     run a scenario, then exit (\"-\" reads standard input)\n"
           "  --console         read scenario commands from standard input while serving\n"
           "  --lfs RELEASE     the LFS release the host plays: 0.5Z (InSim 4), 0.7F\n"
           "                    (InSim 4 or 9) or 0.8C (InSim 4, 9 or 10; no IS_REO for\n"
           "                    clients below 10); default 0.8C. Each client is answered\n"
           "                    in the generation its IS_ISI asks for.\n"
           "  --crowd N         N drivers race; a restart vote after each race. At most\n"
           "                    32 cars on 0.5Z, 40 on 0.7F, 48 on 0.8C\n"
           "  --race-every K    seconds between the crowd's races (default 20)\n"
           "  --product TEXT    product in IS_VER (default S2; DEMO possible)\n"
           "  --password TEXT   admin password an IS_ISI must carry (default: any)\n"
           "  --loss P          percent of sent datagrams lost (UDP)\n"
           "  --dup P           percent of sent datagrams duplicated (UDP)\n"
           "  --reorder P       percent of sent datagrams delivered late (UDP)\n"
           "  --split P         percent of packets sent on a TCP stream cut in two at a\n"
           "                    random byte: the first piece leaves at once, the rest\n"
           "                    in one write with the next packet (or alone 5 ms on)\n"
           "  --seed N          seed for faults and the crowd (default 1)\n"
           "  --quiet           no transcript\n"
           "  --help            this text\n"
           "Exit codes: 0 the script ran to its end and every expect held; 1 an expect\n"
           "failed; 2 bad arguments or a bad script line; 130 interrupted during a script.\n";
}

ParsedCommandLine parseCommandLine(std::span<const std::string> args) {
    ParsedCommandLine out;
    SimCommandLine& o = out.options;
    o.server.port = 29999;
    o.server.lfs = LfsRelease::V08C;
    std::optional<long long> raceEvery;
    std::optional<long long> crowd;

    using Handler = std::function<bool(const std::string&)>;
    std::string error;
    auto percent = [&](double& field) {
        return [&field](const std::string& v) { return decimal(v, 0, 100, field); };
    };
    const std::map<std::string, Handler> withValue = {
        {"--port",
         [&](const std::string& v) {
             long long n = 0;
             return wholeNumber(v, 0, 65535, n) && (o.server.port = static_cast<std::uint16_t>(n), true);
         }},
        {"--bind", [&](const std::string& v) { return !v.empty() && (o.server.bindAddress = v, true); }},
        {"--lfs",
         [&](const std::string& v) {
             const auto release = releaseNamed(v);
             return release && (o.server.lfs = *release, true);
         }},
        {"--script", [&](const std::string& v) { return !v.empty() && (o.script = v, true); }},
        {"--crowd",
         [&](const std::string& v) {
             long long n = 0;
             return wholeNumber(v, 1, 200, n) && (crowd = n, true);
         }},
        {"--race-every",
         [&](const std::string& v) {
             long long n = 0;
             return wholeNumber(v, 1, 24 * 3600, n) && (raceEvery = n, true);
         }},
        {"--product", [&](const std::string& v) { return !v.empty() && (o.server.product = v, true); }},
        {"--password", [&](const std::string& v) { return (o.server.adminPassword = v, true); }},
        {"--loss", percent(o.server.faults.dropPercent)},
        {"--dup", percent(o.server.faults.duplicatePercent)},
        {"--reorder", percent(o.server.faults.reorderPercent)},
        {"--split", percent(o.server.faults.splitPercent)},
        {"--seed",
         [&](const std::string& v) {
             long long n = 0;
             return wholeNumber(v, 0, 4294967295LL, n) &&
                    (o.server.seed = static_cast<std::uint32_t>(n), true);
         }},
    };
    const std::map<std::string, bool*> flags = {
        {"--quiet", &o.quiet}, {"--console", &o.console}, {"--help", &o.help}, {"-h", &o.help}};

    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        std::optional<std::string> value;
        if (auto eq = arg.find('='); arg.starts_with("--") && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg.resize(eq);
        }
        if (auto f = flags.find(arg); f != flags.end()) {
            if (value) {
                out.error = arg + " takes no value";
                return out;
            }
            *f->second = true;
            continue;
        }
        auto h = withValue.find(arg);
        if (h == withValue.end()) {
            out.error = "unknown option '" + arg + "'";
            return out;
        }
        if (!value) {
            if (i + 1 >= args.size()) {
                out.error = arg + " needs a value";
                return out;
            }
            value = args[++i];
        }
        if (!h->second(*value)) {
            out.error = "bad value for " + arg + ": '" + *value + "'";
            if (arg == "--lfs") {
                out.error += " (" + releaseChoices() + ")";
            }
            return out;
        }
    }
    if (raceEvery && !crowd) {
        out.error = "--race-every needs --crowd";
        return out;
    }
    if (o.console && o.script) {
        // A script ends the run; a console keeps it going: one or the other.
        out.error = "--console and --script do not go together";
        return out;
    }
    if (const auto& facts = factsOf(o.server.lfs); crowd && *crowd > facts.maxCars) {
        out.error = "--crowd " + std::to_string(*crowd) + ": LFS " + std::string(facts.name) +
                    " races at most " + std::to_string(facts.maxCars) + " cars";
        return out;
    }
    if (crowd) {
        CrowdOptions c;
        c.drivers = static_cast<int>(*crowd);
        c.raceEvery = std::chrono::seconds(raceEvery.value_or(20));
        c.seed = o.server.seed;
        o.crowd = c;
    }
    return out;
}

} // namespace pm::sim
