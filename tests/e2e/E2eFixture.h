#pragma once
// Paddock Marshal's window logic and a simulated LFS server talking real UDP
// on loopback, on one poll loop with a manual clock: nothing sleeps, and every
// packet either side sends has been handled once the loop is drained.
//
// The program is configured the way an administrator would do it, through a
// start-up file naming the simulated server; the sim's transcript is the
// record of what went over the wire, in arrival order.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "app/frmMain.h"
#include "platform/Platform.h"
#include "sim/SimServer.h"
#include "support/UdpPeer.h"

namespace pm::e2e {

using Names = std::vector<std::string>;
using namespace std::chrono_literals;

inline constexpr const char* kGridText = "^2Your Grid position for the next race is #";
inline constexpr const char* kPoweredBy = "^3Powered by Brenhollow's Paddock Marshal";

// The rule lines of the start-up file: 0 off, 1 on, 2 grey.
struct Rules {
    int lastRace = 0;
    int reverseTop = 0;
    std::string reverseCount = "10";
    std::string inSimVersion = ""; // the tenth line; empty: none, as in files from before it
    std::string transport = "";    // the eleventh line; empty: none
    std::string listenPort = "";   // empty: a free port
};

class MarshalAndSim : public ::testing::Test {
protected:
    static constexpr const char* kPassword = "pitlane";

    MarshalAndSim() : stack(std::make_unique<platform::ManualClock>()) {}

    ~MarshalAndSim() override {
        // The program goes first, saying goodbye to a sim that still listens.
        form.reset();
        stack.loop().drain();
        sim.reset();
        if (!cfgPath.empty()) {
            std::filesystem::remove(cfgPath);
        }
    }

    void makeSim(sim::SimOptions options = {}) {
        options.bindAddress = "127.0.0.1";
        options.port = 0;
        options.adminPassword = kPassword;
        sim = std::make_unique<sim::SimServer>(stack.loop(), stack.clock(), options);
        ASSERT_TRUE(sim->listening()) << sim->openError();
        sim->transcript().keepLines(true);
    }

    // Writes a start-up file naming the sim, starts the program on it and
    // lets the first handshake try run.
    void startMarshal(const Rules& rules = {}) {
        listenPort = rules.listenPort.empty() ? test::freeUdpPort() : std::stoi(rules.listenPort);
        static int files = 0;
        cfgPath = std::filesystem::temp_directory_path() /
                  ("pm_e2e_" + std::to_string(::getpid()) + "_" + std::to_string(++files) + ".cfg");
        const auto line = [](const std::string& text) { return text + "\r\n"; };
        std::ofstream(cfgPath, std::ios::binary)
            << line("[NEW SERVER]") << line("Name=Sim") << line("Host=127.0.0.1")
            << line("InSim Port=" + std::to_string(sim->port()))
            << line("Listen Port=" + std::to_string(listenPort)) << line(std::string("Admin PW=") + kPassword)
            << line("Connect=1") << line("Last Race=" + std::to_string(rules.lastRace))
            << line("Reverse Top=" + std::to_string(rules.reverseTop))
            << line("Reverse Count=" + rules.reverseCount)
            << (rules.inSimVersion.empty() && rules.transport.empty() ? std::string()
                                                                      : line("InSim Version=" + rules.inSimVersion))
            << (rules.transport.empty() ? std::string() : line("Transport=" + rules.transport));

        form = std::make_unique<app::frmMain>(stack.platform(), cfgPath);
        form->txtStatus.lineAdded.connect([this](const std::string& stamped) {
            const std::string stamp = platform::formatLocalDateTime(stack.clock().wallNow()) + ": ";
            log.push_back(stamped.rfind(stamp, 0) == 0 ? stamped.substr(stamp.size()) : "?" + stamped);
        });
        form->summaryLine.connect([this](std::int16_t, const std::string& text) { summaries.push_back(text); });
        form->Form_Load();
        ASSERT_EQ(form->serverIndices().size(), 1u);
        index = form->serverIndices().front();
        stack.loop().advance(1s);
    }

    void start(const Rules& rules = {}, sim::SimOptions options = {}) {
        makeSim(std::move(options));
        startMarshal(rules);
        ASSERT_TRUE(sim->clientConnected());
        ASSERT_TRUE(client().connected());
    }

    app::ServerViews& views() { return *form->server(index); }
    insim::ucInSim& client() { return views().ucInSim; }
    void settle() { stack.loop().drain(); }

    // Runs a sim operation and lets the program answer it.
    void act(const sim::Outcome& outcome) {
        ASSERT_TRUE(outcome) << outcome.error;
        settle();
    }

    std::size_t mark() const { return sim->transcript().lines().size(); }
    bool transcriptHas(const std::string& text, std::size_t from = 0) const {
        const auto& lines = sim->transcript().lines();
        return std::any_of(lines.begin() + static_cast<long>(from), lines.end(),
                           [&](const std::string& l) { return l.find(text) != std::string::npos; });
    }

    // What the program sent to the sim since `from`, in arrival order, its
    // own TINY requests and replies left out: a private message reads
    // "<user>: <text>", a start order "REO <user> <user> ...", buttons
    // "BTN <clickid> <text>", a clear "BFN".
    Names wireSince(std::size_t from) const {
        static const std::regex plid(R"(plid=(\d+))");
        static const std::regex plids(R"(plids=\[([\d,]*)\])");
        static const std::regex clickid(R"(clickid=(\d+))");
        Names out;
        const auto& lines = sim->transcript().lines();
        for (std::size_t i = from; i < lines.size(); ++i) {
            const std::string& l = lines[i];
            const auto at = l.find(" <- ");
            if (at == std::string::npos) {
                continue;
            }
            const std::string packet = l.substr(at + 4);
            std::smatch m;
            if (packet.starts_with("IS_MTC") && std::regex_search(packet, m, plid)) {
                out.push_back(playerName(std::stoi(m[1])) + ": " + quotedText(packet));
            } else if (packet.starts_with("IS_REO") && std::regex_search(packet, m, plids)) {
                std::string reo = "REO";
                std::string list = m[1];
                for (std::size_t p = 0; p < list.size();) {
                    const auto comma = std::min(list.find(',', p), list.size());
                    reo += " " + playerName(std::stoi(list.substr(p, comma - p)));
                    p = comma + 1;
                }
                out.push_back(reo);
            } else if (packet.starts_with("IS_BTN") && std::regex_search(packet, m, clickid)) {
                out.push_back("BTN " + std::string(m[1]) + " " + quotedText(packet));
            } else if (packet.starts_with("IS_BFN")) {
                out.push_back("BFN");
            } else if (!packet.starts_with("IS_TINY")) {
                out.push_back(packet);
            }
        }
        return out;
    }

    // The two messages every driver gets, in start-order position order,
    // followed by the start order itself.
    static Names announcedGrid(const Names& order) {
        Names out;
        for (std::size_t k = 0; k < order.size(); ++k) {
            out.push_back(order[k] + ": " + kGridText + std::to_string(k + 1));
            out.push_back(order[k] + ": " + kPoweredBy);
        }
        std::string reo = "REO";
        for (const auto& n : order) {
            reo += " " + n;
        }
        out.push_back(reo);
        return out;
    }

    Names logSince(std::size_t from) const { return Names(log.begin() + static_cast<long>(from), log.end()); }

    int plidOf(const std::string& name) const {
        const sim::Player* p = sim->world().playerOf(name);
        return p ? p->plid : 0;
    }
    // "<position>=<plid>" status lines of a start order.
    Names positionLines(const Names& order) const {
        Names out;
        for (std::size_t k = 0; k < order.size(); ++k) {
            out.push_back(std::to_string(k + 1) + "=" + std::to_string(plidOf(order[k])));
        }
        return out;
    }

    Names messagesFor(const std::string& name) const { return sim->messagesFor(name); }
    std::size_t totalMessages() const {
        std::size_t n = 0;
        for (const auto& [name, messages] : sim->world().allMessages()) {
            n += messages.size();
        }
        return n;
    }

    platform::PlatformStack stack;
    std::unique_ptr<sim::SimServer> sim;
    std::unique_ptr<app::frmMain> form;
    std::int16_t index = 0;
    std::uint16_t listenPort = 0;
    std::filesystem::path cfgPath;
    Names log; // status lines without their time stamp, oldest first
    Names summaries; // the headless log's plain-words lines, oldest first

private:
    std::string playerName(int plid) const {
        const std::string n = sim->world().nameOfPlayer(static_cast<std::uint8_t>(plid));
        return n.empty() ? "plid" + std::to_string(plid) : n;
    }
    static std::string quotedText(const std::string& packet) {
        const auto b = packet.find('"');
        const auto e = packet.rfind('"');
        return b == std::string::npos || e == b ? std::string() : packet.substr(b + 1, e - b - 1);
    }
};

} // namespace pm::e2e
