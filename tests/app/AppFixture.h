#pragma once
// The window's logic on a manual clock with scripted message boxes. A server
// can be wired to a loopback peer standing in for the LFS server; the
// clients' tables are filled by feeding them packets, so their events reach
// the window the real way.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/frmMain.h"
#include "insim/Packets.h"
#include "support/UdpPeer.h"

namespace pm::test {

using V = std::vector<std::string>;

class AppTest : public ::testing::Test {
protected:
    AppTest() : stack(std::make_unique<platform::ManualClock>()) {
        dialogs = dynamic_cast<platform::ScriptedDialogs*>(&stack.dialogs());
    }
    ~AppTest() override {
        form.reset(); // before the platform and the peers go
        std::filesystem::remove(cfgPath);
    }

    // Writes the start-up file and runs the start-up sequence on it.
    void loadWith(const std::string& fileBytes) {
        cfgPath = std::filesystem::temp_directory_path() / ("pm_app_" + std::to_string(::getpid()) + ".cfg");
        std::ofstream(cfgPath, std::ios::binary) << fileBytes;
        makeForm(cfgPath);
    }
    void makeForm(const std::filesystem::path& path = "/nonexistent/autostart.cfg") {
        form = std::make_unique<app::frmMain>(stack.platform(), path);
        form->Form_Load();
    }
    std::int16_t addServer(const std::string& name = "S") {
        if (!form) {
            makeForm();
        }
        form->txtNewServer.setText(name);
        return form->AddServer();
    }
    app::ServerViews& views(std::int16_t n) { return *form->server(n); }

    // Points server n's client at a fresh peer and opens its sockets. No
    // timer runs on the manual clock, so the peer sees only what the tests
    // make the program send.
    UdpPeer& wire(std::int16_t n) {
        auto& peer = peers[n];
        peer = std::make_unique<UdpPeer>();
        auto& client = views(n).ucInSim;
        client.setPort(std::to_string(peer->port()));
        client.setPortListen(std::to_string(freeUdpPort()));
        client.Connect();
        return *peer;
    }
    V sent(std::int16_t n) { return describe(peers.at(n)->take()); }

    void connection(std::int16_t n, std::uint8_t ucid, const std::string& uname) {
        insim::IsNcn ncn;
        ncn.UCID = ucid;
        ncn.UName = uname;
        ncn.PName = "Nick" + uname;
        views(n).ucInSim.ReceivePacket(ncn.toBytes());
    }
    void player(std::int16_t n, std::uint8_t plid, std::uint8_t ucid) {
        insim::IsNpl npl;
        npl.PLID = plid;
        npl.UCID = ucid;
        views(n).ucInSim.ReceivePacket(npl.toBytes());
    }
    // A connected user with a player in the race (UCID = PLID = id).
    void driver(std::int16_t n, std::uint8_t id, const std::string& uname) {
        connection(n, id, uname);
        player(n, id, id);
    }
    static void setItems(platform::ListBox& list, const V& texts) {
        list.clear();
        for (const auto& t : texts) {
            list.addItem(t);
        }
    }
    // The log's texts without their "<date and time>: " stamp.
    V statusTexts() {
        V out;
        const std::string stamp = platform::formatLocalDateTime(stack.clock().wallNow()) + ": ";
        for (const auto& line : form->txtStatus.lines()) {
            out.push_back(line.rfind(stamp, 0) == 0 ? line.substr(stamp.size()) : "?" + line);
        }
        return out;
    }
    V dialogTexts() const {
        V out;
        for (const auto& d : dialogs->shown) {
            out.push_back(d.text);
        }
        return out;
    }

    // One line per datagram the program sent, texts as they went out (caret
    // codes and all); the client's own TINYs are left out.
    static V describe(const std::vector<std::vector<std::uint8_t>>& datagrams) {
        const auto text = [](const std::vector<std::uint8_t>& d, std::size_t from) {
            std::string out;
            for (std::size_t i = from; i < d.size() && d[i] != 0; ++i) {
                out.push_back(static_cast<char>(d[i]));
            }
            return out;
        };
        const auto num = [](int v) { return std::to_string(v); };
        V out;
        for (const auto& d : datagrams) {
            if (d.size() < 8 || d[1] == insim::ISP_TINY) {
                continue;
            }
            if (d[1] == insim::ISP_MTC && d.size() == 72) {
                out.push_back("MTC " + num(d[4]) + "/" + num(d[5]) + " " + text(d, 8));
            } else if (d[1] == insim::ISP_REO && d.size() == 36) {
                std::string line = "REO " + num(d[3]) + ":";
                for (std::size_t k = 4; k < 36 && (k < 4u + d[3] || d[k] != 0); ++k) {
                    line += " " + num(d[k]);
                }
                out.push_back(line);
            } else if (d[1] == insim::ISP_BTN && d.size() == 252) {
                out.push_back("BTN " + num(d[4]) + " c" + num(d[3]) + " s" + num(d[6]) + " " + num(d[8]) +
                              "," + num(d[9]) + "," + num(d[10]) + "," + num(d[11]) + " " + text(d, 12));
            } else if (d[1] == insim::ISP_BFN && d.size() == 8) {
                out.push_back("BFN " + num(d[3]) + " c" + num(d[4]));
            } else {
                out.push_back("type " + num(d[1]) + " size " + num(static_cast<int>(d.size())));
            }
        }
        return out;
    }

    platform::PlatformStack stack;
    platform::ScriptedDialogs* dialogs = nullptr;
    std::unique_ptr<app::frmMain> form;
    std::map<std::int16_t, std::unique_ptr<UdpPeer>> peers;
    std::filesystem::path cfgPath;
};

} // namespace pm::test
