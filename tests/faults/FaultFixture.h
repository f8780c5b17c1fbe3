#pragma once
// The real window logic with one server, wired to a simulated host on
// loopback, both on one poll loop driven by a manual clock: network trouble
// and host failures are injected on the sim's side and time is moved by the
// test, so a two-minute silence takes no real time.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/frmMain.h"
#include "platform/Platform.h"
#include "sim/SimServer.h"
#include "support/UdpPeer.h"

namespace pm::test {

using namespace std::chrono_literals;

class FaultTest : public ::testing::Test {
protected:
    FaultTest() : stack(std::make_unique<platform::ManualClock>()) {
        stack.trace().enable([this](std::string_view line) { trace.emplace_back(line); });
    }
    ~FaultTest() override {
        if (HasFailure()) {
            dumpTail();
        }
        form.reset(); // says goodbye while the sim still listens
        stack.loop().drain();
        sim.reset();
    }

    // A sim with the given options on a free loopback port and a window
    // with one server set to connect to it (Last Race on), not yet connected.
    void SetUpLink(sim::SimOptions options = {}) {
        options.bindAddress = "127.0.0.1";
        sim = std::make_unique<sim::SimServer>(stack.loop(), stack.clock(), options);
        sim->transcript().keepLines(true);
        ASSERT_TRUE(sim->listening()) << sim->openError();
        form = std::make_unique<app::frmMain>(stack.platform(), "/nonexistent/autostart.cfg");
        form->Form_Load();
        form->txtNewServer.setText("Sim");
        index = form->AddServer();
        views().chkLastRace.setValue(1);
        client().setHost("127.0.0.1");
        client().setPort(std::to_string(sim->port()));
        listenPort = freeUdpPort();
        client().setPortListen(std::to_string(listenPort));
    }

    app::ServerViews& views() { return *form->server(index); }
    insim::ucInSim& client() { return views().ucInSim; }

    // Moves the clock a second at a time until the condition holds; false
    // when it still does not after `limit`.
    bool advanceUntil(const std::function<bool()>& condition, std::chrono::seconds limit) {
        for (std::chrono::seconds t{0}; t < limit; t += 1s) {
            if (condition()) {
                return true;
            }
            stack.loop().advance(1s);
        }
        return condition();
    }
    bool linkUp() { return client().connected() && sim->clientConnected(); }
    void connect() {
        client().Connect();
        ASSERT_TRUE(advanceUntil([this] { return linkUp(); }, 60s)) << "no handshake";
    }
    void joinDrivers(const std::vector<std::string>& names) {
        for (std::size_t k = 0; k < names.size(); ++k) {
            ASSERT_TRUE(sim->join(names[k], "Nick " + names[k], k == 0));
        }
        stack.loop().drain();
    }

    // Everyone the host has, with the IDs the host gave them, is known to
    // the client and listed once in the window.
    ::testing::AssertionResult tablesMatchHost() {
        for (const auto& [ucid, c] : sim->world().connections()) {
            if (ucid == sim::World::kHostUcid) {
                continue;
            }
            if (client().GetConnectionId(c.name) != ucid) {
                return ::testing::AssertionFailure() << c.name << " has connection ID "
                                                     << client().GetConnectionId(c.name) << ", not "
                                                     << int{ucid};
            }
            const auto& items = views().lstConnections.items();
            const auto listed = std::count_if(items.begin(), items.end(),
                                              [&](const platform::ListItem& i) { return i.text == c.name; });
            if (listed != 1) {
                return ::testing::AssertionFailure() << c.name << " is listed " << listed << " times";
            }
            if (const sim::Player* p = sim->world().playerOf(c.name);
                p != nullptr && client().GetPlayerNum(c.name) != p->plid) {
                return ::testing::AssertionFailure() << c.name << " has player ID "
                                                     << client().GetPlayerNum(c.name) << ", not "
                                                     << int{p->plid};
            }
        }
        return ::testing::AssertionSuccess();
    }

    // What both sides said last, to read a failure by.
    void dumpTail() const {
        const auto tail = [](const std::vector<std::string>& lines, const char* title) {
            std::printf("---- %s (last %zu lines)\n", title, std::min<std::size_t>(lines.size(), 80));
            for (std::size_t k = lines.size() > 80 ? lines.size() - 80 : 0; k < lines.size(); ++k) {
                std::printf("%s\n", lines[k].c_str());
            }
        };
        if (sim) {
            tail(sim->transcript().lines(), "host transcript");
        }
        tail(trace, "client trace");
    }

    int traced(const std::string& text) const {
        return static_cast<int>(std::count_if(trace.begin(), trace.end(), [&](const std::string& line) {
            return line.find(text) != std::string::npos;
        }));
    }

    std::vector<std::string> trace; // before the stack, whose trace writes here
    platform::PlatformStack stack;
    std::unique_ptr<sim::SimServer> sim;
    std::unique_ptr<app::frmMain> form;
    std::int16_t index = 0;
    std::uint16_t listenPort = 0;
};

} // namespace pm::test
