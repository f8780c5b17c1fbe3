#pragma once
// The window's logic on a manual clock with scripted message boxes. Servers
// can be wired to a loopback peer that stands in for the LFS server and
// collects what the program sends; the clients' tables are filled by feeding
// them packets, so their events reach the window the real way.

#include <gtest/gtest.h>

#include <chrono>
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

class AppTest : public ::testing::Test {
protected:
    AppTest()
        : stack(std::make_unique<platform::ManualClock>(), std::make_unique<platform::ScriptedDialogs>()) {
        dialogs = dynamic_cast<platform::ScriptedDialogs*>(&stack.dialogs());
    }
    ~AppTest() override {
        form.reset(); // before the platform goes
        if (!cfgPath.empty()) {
            std::filesystem::remove(cfgPath);
        }
    }

    // Writes the bytes as the start-up file and runs the start-up sequence.
    void loadWith(const std::string& fileBytes) {
        cfgPath = std::filesystem::temp_directory_path() /
                  ("pm_app_" + std::to_string(::getpid()) + "_" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".cfg");
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

    // Points server n's client at a fresh peer and opens its sockets; no
    // timer runs on the manual clock, so the peer only sees what the tests
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
    std::vector<std::string> sent(std::int16_t n) { return describe(peers.at(n)->take()); }

    void connection(std::int16_t n, std::uint8_t ucid, const std::string& uname, const std::string& pname = "") {
        insim::IsNcn ncn;
        ncn.UCID = ucid;
        ncn.UName = uname;
        ncn.PName = pname.empty() ? "Nick" + uname : pname;
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
    void finish(std::int16_t n, const std::string& uname, int resultNum) {
        insim::IsRes res;
        res.UName = uname;
        res.PName = "nick_" + uname;
        res.ResultNum = static_cast<std::uint8_t>(resultNum);
        const auto bytes = res.toBytes();
        form->PlayerRaceFinished(n, bytes);
    }
    void finishOrder(std::int16_t n, const std::vector<std::string>& names) {
        for (std::size_t k = 0; k < names.size(); ++k) {
            finish(n, names[k], static_cast<int>(k));
        }
    }
    static void setItems(platform::ListBox& list, const std::vector<std::string>& texts) {
        list.clear();
        for (const auto& t : texts) {
            list.addItem(t);
        }
    }
    std::vector<std::string> statusTexts() {
        // The text after the date and time: "<stamp>: <text>".
        std::vector<std::string> out;
        const std::string stamp = platform::formatLocalDateTime(stack.clock().wallNow()) + ": ";
        for (const auto& line : form->txtStatus.lines()) {
            out.push_back(line.rfind(stamp, 0) == 0 ? line.substr(stamp.size()) : "?" + line);
        }
        return out;
    }
    std::vector<std::string> dialogTexts() const {
        std::vector<std::string> out;
        for (const auto& d : dialogs->shown) {
            out.push_back(d.text);
        }
        return out;
    }

    // One readable line per datagram the program sent; handshake and
    // keep-alive TINYs are left out.
    static std::vector<std::string> describe(const std::vector<std::vector<std::uint8_t>>& datagrams) {
        std::vector<std::string> out;
        for (const auto& d : datagrams) {
            if (d.size() < 4 || d[1] == insim::ISP_TINY) {
                continue;
            }
            if (d[1] == insim::ISP_MTC && d.size() == 72) {
                out.push_back("MTC " + std::to_string(d[4]) + "/" + std::to_string(d[5]) + " " + rawText(d, 8));
            } else if (auto r = insim::IsReo::fromBytes(d); d[1] == insim::ISP_REO && r) {
                std::string line = "REO " + std::to_string(r->NumP) + ":";
                for (auto plid : r->PLID) {
                    line += " " + std::to_string(plid);
                }
                out.push_back(d.size() == 36 ? line : line + " (size " + std::to_string(d.size()) + ")");
            } else if (auto b = insim::IsBtn::fromBytes(d); d[1] == insim::ISP_BTN && b) {
                out.push_back("BTN " + std::to_string(b->ClickID) + " c" + std::to_string(b->UCID) + " s" +
                              std::to_string(b->BStyle) + " " + std::to_string(b->L) + "," +
                              std::to_string(b->T) + "," + std::to_string(b->W) + "," +
                              std::to_string(b->H) + " " + rawText(d, 12));
            } else if (auto f = insim::IsBfn::fromBytes(d); d[1] == insim::ISP_BFN && f) {
                out.push_back("BFN " + std::to_string(f->SubT) + " c" + std::to_string(f->UCID));
            } else {
                out.push_back("type " + std::to_string(d[1]));
            }
        }
        return out;
    }

    // A packet's text as it went out, caret codes and all (ASCII in tests).
    static std::string rawText(const std::vector<std::uint8_t>& d, std::size_t from) {
        std::string out;
        for (std::size_t i = from; i < d.size() && d[i] != 0; ++i) {
            out.push_back(static_cast<char>(d[i]));
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
