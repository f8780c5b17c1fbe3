// The InSim client against a loopback peer standing in for the server, with
// a manual clock driving its timers.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "insim/Packets.h"
#include "insim/ucInSim.h"
#include "support/UdpPeer.h"

using namespace pm;
using namespace pm::insim;
using namespace std::chrono_literals;
using pm::test::UdpPeer;

namespace {

struct Recorder : ucInSimEvents {
    std::vector<std::string> events;
    std::function<void()> during; // runs inside the next event, then clears

    void note(std::string line) {
        events.push_back(std::move(line));
        if (during) {
            auto f = std::move(during);
            during = nullptr;
            f();
        }
    }
    void PlayerRaceFinished(std::span<const std::uint8_t> r) override {
        note("PlayerRaceFinished(" + std::to_string(r.size()) + ")");
    }
    void PlayerRaceLeave(const std::string& u, const std::string& p) override {
        note("PlayerRaceLeave(" + u + "," + p + ")");
    }
    void RaceStateChange(std::int16_t a, std::int16_t b) override {
        note("RaceStateChange(" + std::to_string(a) + "," + std::to_string(b) + ")");
    }
    void ButtonClick(std::int16_t id, const std::string& u) override {
        note("ButtonClick(" + std::to_string(id) + "," + u + ")");
    }
    void ButtonShiftClick(std::int16_t id, const std::string& u, std::int16_t b) override {
        note("ButtonShiftClick(" + std::to_string(id) + "," + u + "," + std::to_string(b) + ")");
    }
    void UserRequest(const std::string& u, const std::string& r) override {
        note("UserRequest(" + u + "," + r + ")");
    }
    void AdminRequest(const std::string& u, const std::string& r) override {
        note("AdminRequest(" + u + "," + r + ")");
    }
    void NewConnection(const std::string& u, std::uint8_t id, const std::string& p) override {
        note("NewConnection(" + u + "," + std::to_string(id) + "," + p + ")");
    }
    void EndConnection(const std::string& u) override { note("EndConnection(" + u + ")"); }
    void VoteAction(std::int16_t v) override { note("VoteAction(" + std::to_string(v) + ")"); }
    void Vote(const std::string& u, std::int16_t t) override {
        note("Vote(" + u + "," + std::to_string(t) + ")");
    }
    void RaceOrder(std::span<const std::uint8_t> d) override {
        note("RaceOrder(" + std::to_string(d.size()) + ")");
    }
    void LinkUp() override { note("LinkUp"); }
    void LinkNotice(const std::string& text) override { notices.push_back(text); }
    std::vector<std::string> notices;
};

// What the host sends, framed for a generation.
std::vector<std::uint8_t> verFrom(const char* release, int inSimVer, const WireGeneration& wire) {
    IsVer ver;
    ver.ReqI = 1;
    ver.Version = release;
    ver.Product = "S3";
    ver.InSimVer = static_cast<std::uint16_t>(inSimVer);
    return ver.toBytes(wire);
}


class ClientTest : public ::testing::Test {
protected:
    ClientTest() : stack(std::make_unique<platform::ManualClock>()) {
        stack.trace().enable([this](std::string_view line) { trace.emplace_back(line); });
        client = std::make_unique<ucInSim>(stack.platform(), &owner);
        listenPort = test::freeUdpPort();
        client->setPort(std::to_string(server.port()));
        client->setPortListen(std::to_string(listenPort));
    }

    void tick(std::chrono::milliseconds by) { stack.loop().advance(by); }

    // Drops the link, links again and names release 0.8C in InSim 4: the
    // InSimVer of the IS_ISI that follows, 0 when none does.
    int isiAfterRelinking() {
        client->Disconnect();
        client->Connect();
        tick(1s);
        server.take();
        fromServer(verFrom("0.8C", 4, kWire4));
        const auto moved = server.take();
        return moved.size() >= 2 && moved[1].size() > 8 ? moved[1][8] : 0;
    }

    // A client of its own for a table row, on the given InSim version; what
    // the last one said on its way out is not this row's.
    void renewClient(const std::string& inSimVersion) {
        owner.notices.clear();
        client = std::make_unique<ucInSim>(stack.platform(), &owner);
        client->setPort(std::to_string(server.port()));
        client->setPortListen(std::to_string(listenPort));
        client->setInSimVersion(inSimVersion);
        server.take();
    }

    void fromServer(const std::vector<std::uint8_t>& bytes) {
        server.sendTo(listenPort, bytes);
        stack.loop().drain();
    }

    void connectAndAnswer(const std::string& product = "S2") {
        client->Connect();
        tick(1s);
        server.take();
        IsVer ver;
        ver.Version = "0.7F";
        ver.Product = product;
        ver.InSimVer = 4;
        fromServer(ver.toBytes());
        ASSERT_TRUE(client->connected());
        server.take();
    }

    bool traced(const std::string& text) const {
        return std::any_of(trace.begin(), trace.end(), [&](const std::string& line) {
            return line.size() >= text.size() && line.compare(line.size() - text.size(), text.size(), text) == 0;
        });
    }

    void addConnection(std::uint8_t ucid, const std::string& uname, const std::string& pname, bool admin = false) {
        IsNcn ncn;
        ncn.UCID = ucid;
        ncn.UName = uname;
        ncn.PName = pname;
        ncn.Admin = admin ? 1 : 0;
        client->ReceivePacket(ncn.toBytes());
    }

    void addPlayer(std::uint8_t plid, std::uint8_t ucid, const std::string& pname) {
        IsNpl npl;
        npl.PLID = plid;
        npl.UCID = ucid;
        npl.PName = pname;
        client->ReceivePacket(npl.toBytes());
    }

    platform::PlatformStack stack;
    UdpPeer server;
    Recorder owner;
    std::vector<std::string> trace;
    std::uint16_t listenPort = 0;
    std::unique_ptr<ucInSim> client;
};

const std::vector<std::string> kHandshake = {"1", "TINY/1", "TINY/7", "TINY/13", "TINY/10", "TINY/14"};

} // namespace

TEST_F(ClientTest, handshake_waits_for_the_first_tick_then_sends_isi_and_five_requests) {
    client->Connect();
    stack.loop().drain();
    EXPECT_TRUE(server.take().empty());
    EXPECT_EQ(client->state(), LinkState::Handshake);
    EXPECT_FALSE(client->cmdConnect.enabled());

    tick(1s);
    auto packets = server.take();
    ASSERT_EQ(packets.size(), 6u);
    const auto& isi = packets[0];
    ASSERT_EQ(isi.size(), 44u);
    EXPECT_EQ(isi[4] | (isi[5] << 8), listenPort); // the listen port, never the server's
    EXPECT_EQ(isi[9], '*');
    for (std::size_t i = 1; i < packets.size(); ++i) {
        EXPECT_EQ(packets[i][2], 1) << "every TINY the client sends carries ReqI 1";
    }
    EXPECT_TRUE(traced("(1/3 tries)"));
}

TEST_F(ClientTest, unanswered_handshake_tries_three_times_gives_up_and_retries_five_seconds_later) {
    client->Connect();
    tick(1s);
    EXPECT_EQ(server.takeKinds(), kHandshake);
    tick(9s);
    EXPECT_TRUE(server.take().empty());
    tick(1s);
    EXPECT_EQ(server.takeKinds(), kHandshake);
    EXPECT_TRUE(traced("(2/3 tries)"));
    tick(10s);
    EXPECT_EQ(server.takeKinds(), kHandshake);
    EXPECT_TRUE(traced("(3/3 tries)"));
    tick(10s);
    EXPECT_TRUE(traced("no response in 3 tries.. InSim running?"));
    EXPECT_TRUE(server.take().empty()) << "nothing to close: the server never answered";
    EXPECT_EQ(client->state(), LinkState::RetryPending);
    EXPECT_TRUE(client->cmdConnect.enabled());

    tick(5s);
    EXPECT_EQ(client->state(), LinkState::Handshake);
    tick(1s);
    EXPECT_EQ(server.takeKinds(), kHandshake);
}

TEST_F(ClientTest, first_datagram_connects_and_turns_the_button_into_disconnect) {
    connectAndAnswer();
    EXPECT_EQ(client->state(), LinkState::Connected);
    EXPECT_EQ(client->cmdConnect.caption(), "Disconnect");
    EXPECT_TRUE(client->cmdConnect.enabled());
    EXPECT_EQ(client->Product(), "S2");
    EXPECT_EQ(client->Version(), "0.7F");
    EXPECT_EQ(client->InSimVer(), "4");
    EXPECT_EQ(client->ticks(), 1);
}

TEST_F(ClientTest, connected_client_asks_for_state_every_30_ticks_and_never_drops_while_answered) {
    connectAndAnswer();
    for (int round = 0; round < 10; ++round) {
        tick(30s);
        auto kinds = server.takeKinds();
        ASSERT_EQ(kinds, std::vector<std::string>{"TINY/7"}) << "round " << round;
        IsSta sta;
        fromServer(sta.toBytes());
    }
    EXPECT_EQ(client->state(), LinkState::Connected);
}

TEST_F(ClientTest, silent_server_is_dropped_after_120_ticks_then_retried) {
    connectAndAnswer();
    tick(119s);
    EXPECT_EQ(client->state(), LinkState::Connected);
    server.take();
    tick(2s);
    EXPECT_TRUE(traced("no response in 2 minutes.. InSim running?"));
    // The last state request goes out at tick 120, the drop comes at 121.
    EXPECT_EQ(server.takeKinds(), (std::vector<std::string>{"TINY/7", "TINY/2"}));
    EXPECT_EQ(client->state(), LinkState::RetryPending);
    tick(5s);
    EXPECT_EQ(client->state(), LinkState::Handshake);
}

TEST_F(ClientTest, disconnect_sends_close_only_when_connected) {
    client->Connect();
    tick(1s);
    server.take();
    client->Disconnect();
    stack.loop().drain();
    EXPECT_TRUE(server.take().empty());

    connectAndAnswer();
    client->Disconnect();
    EXPECT_EQ(server.takeKinds(), std::vector<std::string>{"TINY/2"});
    EXPECT_TRUE(traced("Socket Disconnected"));
}

TEST_F(ClientTest, clicking_disconnect_stops_for_good) {
    connectAndAnswer();
    client->cmdConnect_Click();
    EXPECT_TRUE(traced("already connected? Now disconecting"));
    EXPECT_FALSE(client->autoReconnect());
    tick(60s);
    EXPECT_EQ(client->state(), LinkState::Idle);
    EXPECT_EQ(server.takeKinds(), std::vector<std::string>{"TINY/2"});
}

TEST_F(ClientTest, connect_during_a_pending_retry_does_not_connect_twice) {
    connectAndAnswer();
    tick(121s); // dropped, retry armed
    ASSERT_EQ(client->state(), LinkState::RetryPending);
    client->cmdConnect_Click(); // the operator does not wait for the retry
    tick(1s);
    server.take();
    tick(10s); // past the retry's time: the handshake must still be the operator's one
    EXPECT_EQ(client->state(), LinkState::Handshake);
    EXPECT_FALSE(traced("could not create server socket!"));
}

TEST_F(ClientTest, port_texts_that_are_not_numbers_leave_the_client_idle) {
    for (const char* bad : {"abc", "", "56x", "70000", "-1"}) {
        client->setPortListen(bad);
        client->Connect();
        tick(2s);
        EXPECT_EQ(client->state(), LinkState::Idle) << bad;
        EXPECT_TRUE(client->cmdConnect.enabled()) << bad;
        EXPECT_TRUE(traced("Listen Port is not a port number: '" + std::string(bad) + "'")) << bad;
    }
    EXPECT_TRUE(server.take().empty());
}

TEST_F(ClientTest, listen_port_in_use_is_reported_once_and_retried_until_free) {
    auto squatter = std::make_unique<UdpPeer>("0.0.0.0", listenPort);
    client->Connect();
    EXPECT_TRUE(traced("could not create server socket!"));
    EXPECT_EQ(client->state(), LinkState::RetryPending);
    tick(20s);
    EXPECT_EQ(owner.notices, std::vector<std::string>{"cannot listen on UDP port " + std::to_string(listenPort) +
                                                      " (in use by another program?); retrying every 5 s"});
    squatter.reset();
    tick(6s);
    EXPECT_EQ(client->state(), LinkState::Handshake);
    // This host had never answered: it answers now, not "again".
    server.take();
    IsVer ver;
    ver.Version = "0.7F";
    ver.Product = "S2";
    ver.InSimVer = 4;
    fromServer(ver.toBytes());
    EXPECT_EQ(owner.notices.back(), "the host answers");
}

TEST_F(ClientTest, an_unresolvable_host_is_reported_once_and_retried) {
    client->setHost("no-such-host.invalid");
    client->Connect();
    tick(16s);
    EXPECT_EQ(client->state(), LinkState::RetryPending);
    EXPECT_EQ(owner.notices,
              std::vector<std::string>{"cannot find host 'no-such-host.invalid'; retrying every 5 s"});
    EXPECT_EQ(stack.sockets().openCount(), 0u);
}

TEST_F(ClientTest, keep_alive_is_answered_with_reqi_one) {
    connectAndAnswer();
    IsTiny keepAlive;
    keepAlive.ReqI = 0;
    keepAlive.SubT = TINY_NONE;
    fromServer(keepAlive.toBytes());
    auto packets = server.take();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0], (std::vector<std::uint8_t>{4, 3, 1, 0}));
    EXPECT_TRUE(traced("Received Keep Alive"));
    EXPECT_TRUE(traced("Sent reply"));
}

TEST_F(ClientTest, datagrams_from_a_stranger_are_ignored) {
    client->setHost("127.0.0.2"); // the server; the peer below sends from 127.0.0.1
    client->Connect();
    IsVer ver;
    ver.Product = "S2";
    fromServer(ver.toBytes());
    EXPECT_FALSE(client->connected());
    EXPECT_TRUE(traced("Ignored datagram from 127.0.0.1: not the server"));
    fromServer(ver.toBytes());
    EXPECT_EQ(owner.notices, std::vector<std::string>{"ignored datagrams from 127.0.0.1:" +
                                                      std::to_string(server.port()) +
                                                      ", expecting the server at 127.0.0.2:" +
                                                      std::to_string(server.port())});
    client->Disconnect(); // and the retries after it stay quiet
    client->Connect();
    fromServer(ver.toBytes());
    EXPECT_EQ(owner.notices.size(), 1u);
}

TEST_F(ClientTest, datagrams_from_the_servers_address_but_another_port_are_ignored) {
    connectAndAnswer();
    owner.events.clear();
    UdpPeer forger; // another process on the host's machine
    forger.sendTo(listenPort, IsSmall{0, SMALL_VTA, VOTE_RESTART}.toBytes());
    forger.sendTo(listenPort, IsSmall{0, SMALL_VTA, VOTE_RESTART}.toBytes());
    UdpPeer another;
    another.sendTo(listenPort, IsSmall{0, SMALL_VTA, VOTE_RESTART}.toBytes());
    stack.loop().drain();
    EXPECT_TRUE(owner.events.empty());
    // One line until the host is heard again: a NAT that changes the host's
    // port must not look like a host that never answers, nor flood the log.
    EXPECT_EQ(owner.notices, std::vector<std::string>{"ignored datagrams from 127.0.0.1:" +
                                                      std::to_string(forger.port()) +
                                                      ", expecting the server at 127.0.0.1:" +
                                                      std::to_string(server.port())});
}

TEST_F(ClientTest, a_new_link_empties_the_tables_a_restarted_host_numbers_afresh) {
    connectAndAnswer();
    addConnection(5, "alice", "Alice");
    addPlayer(20, 5, "Alice");
    client->Disconnect(); // the link is gone; the retry will make a new one
    connectAndAnswer();
    EXPECT_EQ(client->GetPlayerNum("alice"), 0) << "the old link's player must not be found";
    EXPECT_EQ(client->GetPlayers(), "");
    addConnection(1, "alice", "Alice");
    addPlayer(3, 1, "Alice");
    EXPECT_EQ(client->GetPlayerNum("alice"), 3);
    EXPECT_EQ(client->GetConnectionId("alice"), 1);
    EXPECT_EQ(std::count(owner.events.begin(), owner.events.end(), "LinkUp"), 1);
}

// ------------------------------------------------------------------ events

TEST_F(ClientTest, connections_and_players_fill_the_tables_and_raise_events) {
    addConnection(3, "racer", "^1Racer", true);
    EXPECT_EQ(owner.events, std::vector<std::string>{"NewConnection(racer,3,Racer)"});
    EXPECT_EQ(client->conn(3).Admin, 1);

    connectAndAnswer();
    addPlayer(7, 3, "Racer");
    EXPECT_EQ(server.takeKinds(), std::vector<std::string>{"TINY/7"});
    EXPECT_EQ(client->GetPlayerNum("racer"), 7);
    EXPECT_EQ(client->GetConnFromPLID("7"), "racer");

    owner.events.clear();
    owner.during = [&] { EXPECT_EQ(client->player(7).PName, "Racer") << "still present during the event"; };
    client->ReceivePacket(IsPll{0, 7}.toBytes());
    EXPECT_EQ(owner.events, std::vector<std::string>{"PlayerRaceLeave(racer,Racer)"});
    EXPECT_EQ(client->player(7).PLID, 0);
}

TEST_F(ClientTest, leaving_connection_takes_its_players_with_it) {
    addConnection(3, "racer", "Racer");
    addConnection(4, "other", "Other");
    addPlayer(9, 3, "Racer");
    addPlayer(3, 4, "Other"); // a PLID equal to the leaving UCID belongs to someone else
    owner.events.clear();
    owner.during = [&] { EXPECT_EQ(client->GetPlayerId("racer"), 3); };
    IsCnl cnl;
    cnl.UCID = 3;
    client->ReceivePacket(cnl.toBytes());
    EXPECT_EQ(owner.events, std::vector<std::string>{"EndConnection(racer)"});
    EXPECT_EQ(client->conn(3).UName, "");
    EXPECT_EQ(client->player(9).PLID, 0);
    EXPECT_EQ(client->player(3).PName, "Other");
    EXPECT_EQ(client->GetPlayerNum("other"), 3);
}

TEST_F(ClientTest, demo_server_uses_nicknames_as_user_names) {
    connectAndAnswer(" demo ");
    addConnection(2, "", "Guest");
    EXPECT_EQ(owner.events.back(), "NewConnection(Guest,2,Guest)");
    EXPECT_EQ(client->GetPlayerId("Guest"), 2);
}

TEST_F(ClientTest, chat_commands_are_split_trimmed_lowered_and_routed_by_admin_flag) {
    addConnection(1, "boss", "Boss", true);
    addConnection(2, "fan", "Fan", false);
    // The typed text starts at TextStart; only a user's own lines count.
    struct Row {
        std::uint8_t ucid;
        std::uint8_t userType;
        std::uint8_t textStart;
        const char* text;
        const char* expected; // empty: no event
    };
    const Row rows[] = {
        {1, MSO_PREFIX, 7, "Boss : *Reverse 5", "AdminRequest(boss,*reverse 5)"},
        {2, MSO_PREFIX, 6, "Fan : *custom 1", "UserRequest(fan,*custom 1)"},
        {1, MSO_PREFIX, 5, "Boss:*a:b", "AdminRequest(boss,*a)"},
        {1, MSO_USER, 7, "Boss :  *reorder  ", "AdminRequest(boss,*reorder)"},
        {1, MSO_USER, 0, "no colon *reorder", ""},
        {1, MSO_USER, 7, "Boss : hello *reorder", ""},
        {1, MSO_USER, 6, "Boss :", ""},
        {9, MSO_PREFIX, 8, "Ghost : *lastrace", "UserRequest(,*lastrace)"},
        // A nickname is anyone's choice: a system line about it is no command.
        {1, MSO_SYSTEM, 0, "Mal^c*lastrace 0 joined", ""},
        {1, MSO_SYSTEM, 7, "Boss : *lastrace 0", ""},
        {1, MSO_O, 7, "Boss : *lastrace 0", ""},
        {1, MSO_USER, 40, "Boss : *lastrace 0", ""}, // TextStart past the text
        // The name before TextStart may hold colons and asterisks.
        {1, MSO_USER, 11, "B:*oss^c : *custom 1", "AdminRequest(boss,*custom 1)"},
    };
    for (const auto& row : rows) {
        owner.events.clear();
        IsMso mso;
        mso.UCID = row.ucid;
        mso.UserType = row.userType;
        mso.TextStart = row.textStart;
        mso.Msg = row.text;
        client->ReceivePacket(mso.toBytes());
        if (std::string(row.expected).empty()) {
            EXPECT_TRUE(owner.events.empty()) << row.text;
        } else {
            EXPECT_EQ(owner.events, std::vector<std::string>{row.expected}) << row.text;
        }
    }
}

TEST_F(ClientTest, button_clicks_are_routed_by_their_flags) {
    addConnection(5, "boss", "Boss", true);
    const std::pair<std::uint8_t, const char*> rows[] = {
        {1, "ButtonClick(12,boss)"},
        {9, "ButtonShiftClick(12,boss,1)"},
        {10, "ButtonShiftClick(12,boss,2)"},
        {2, ""},
        {5, ""},
        {13, ""},
    };
    for (const auto& [flags, expected] : rows) {
        owner.events.clear();
        IsBtc btc;
        btc.UCID = 5;
        btc.ClickID = 12;
        btc.CFlags = flags;
        client->ReceivePacket(btc.toBytes());
        if (std::string(expected).empty()) {
            EXPECT_TRUE(owner.events.empty()) << int(flags);
        } else {
            EXPECT_EQ(owner.events, std::vector<std::string>{expected}) << int(flags);
        }
    }
}

TEST_F(ClientTest, votes_race_state_results_and_race_orders_reach_the_owner) {
    addConnection(4, "voter", "Voter");
    owner.events.clear();
    IsSmall vta;
    vta.SubT = SMALL_VTA;
    vta.UVal = VOTE_RESTART;
    client->ReceivePacket(vta.toBytes());
    IsSmall other;
    other.SubT = 1;
    client->ReceivePacket(other.toBytes());

    IsSta sta;
    sta.RaceInProg = 1;
    owner.during = [&] { EXPECT_EQ(client->RaceMode(), 1) << "the new state shows during the event"; };
    client->ReceivePacket(sta.toBytes());
    client->ReceivePacket(sta.toBytes()); // same state: nothing
    sta.RaceInProg = 2;
    client->ReceivePacket(sta.toBytes());

    IsVtn vtn;
    vtn.UCID = 4;
    vtn.Action = VOTE_END;
    client->ReceivePacket(vtn.toBytes());
    IsRes res;
    client->ReceivePacket(res.toBytes());
    IsReo reo;
    reo.NumP = 2;
    reo.PLID[0] = 4;
    reo.PLID[1] = 5;
    client->ReceivePacket(reo.toBytes());

    EXPECT_EQ(owner.events, (std::vector<std::string>{"VoteAction(2)", "RaceStateChange(-1,1)",
                                                      "RaceStateChange(1,2)", "Vote(voter,1)",
                                                      "PlayerRaceFinished(84)", "RaceOrder(36)"}));
    EXPECT_EQ(client->lastState(), 2);
}

TEST_F(ClientTest, wrong_size_bytes_are_refused_with_their_text_and_nothing_else) {
    struct Row {
        std::vector<std::uint8_t> packet;
        const char* text;
    };
    std::vector<Row> rows;
    auto resized = [](std::vector<std::uint8_t> bytes, int sizeByte) {
        bytes[0] = static_cast<std::uint8_t>(sizeByte);
        return bytes;
    };
    rows.push_back({resized(IsVer{}.toBytes(), 21), "Wrong Packet size for ISP_VER"});
    rows.push_back({resized(IsSmall{0, SMALL_VTA, 2}.toBytes(), 9), "Wrong Packet size for ISP_SMALL"});
    rows.push_back({resized(IsSta{}.toBytes(), 27), "Wrong Packet size for ISP_STA"});
    rows.push_back({resized(IsIsm{}.toBytes(), 41), "Wrong Packet size for ISP_ISM"});
    rows.push_back({resized(IsMso{}.toBytes(), 135), "Wrong Packet size for ISP_MSO"});
    rows.push_back({resized(IsRst{}.toBytes(), 29), "Wrong Packet size for ISP_RST"});
    IsNcn ncn;
    ncn.UCID = 6;
    ncn.UName = "late";
    rows.push_back({resized(ncn.toBytes(), 55), "Wrong Packet size for ISP_NCN"});
    rows.push_back({resized(ncn.toBytes(), 57), "Wrong Packet size for ISP_NCN"});
    rows.push_back({resized(IsCnl{}.toBytes(), 7), "Wrong Packet size for ISP_CNL"});
    rows.push_back({resized(IsNpl{}.toBytes(), 75), "Wrong Packet size for ISP_NPL"});
    rows.push_back({resized(IsLap{}.toBytes(), 19), "Wrong Packet size for ISP_LAP"});
    rows.push_back({resized(IsRes{}.toBytes(), 83), "Wrong Packet size for ISP_RES"});
    for (const auto& row : rows) {
        trace.clear();
        owner.events.clear();
        client->ReceivePacket(row.packet);
        EXPECT_TRUE(traced(row.text)) << row.text;
        EXPECT_TRUE(owner.events.empty()) << row.text;
        EXPECT_EQ(client->ticks(), 1) << "the silence count is reset all the same";
    }
    EXPECT_EQ(client->conn(6).UName, "");
    EXPECT_EQ(client->lastState(), -1);
}

TEST_F(ClientTest, wrong_sized_player_still_triggers_a_state_request) {
    connectAndAnswer();
    auto npl = IsNpl{}.toBytes();
    npl[0] = 75;
    fromServer(npl);
    EXPECT_EQ(server.takeKinds(), std::vector<std::string>{"TINY/7"});
    EXPECT_TRUE(traced("Wrong Packet size for ISP_NPL"));
}

TEST_F(ClientTest, truncated_datagrams_and_id_255_are_dropped_before_touching_tables) {
    IsNcn ncn;
    ncn.UCID = 8;
    ncn.UName = "cut";
    auto cut = ncn.toBytes();
    cut.resize(30); // Size byte still claims 56
    client->ReceivePacket(cut);
    EXPECT_EQ(client->conn(8).UName, "");
    EXPECT_TRUE(traced("Dropped short datagram for ISP_NCN: 30 of 56 bytes"));

    ncn.UCID = 255;
    client->ReceivePacket(ncn.toBytes());
    EXPECT_TRUE(traced("Dropped ISP_NCN naming UCID 255"));

    client->ReceivePacket(std::vector<std::uint8_t>{8, 46, 0, 1, 2}); // IS_BTC cut short
    client->ReceivePacket(std::vector<std::uint8_t>{36, 36, 0, 32, 1, 2}); // NumP 32, two PLIDs
    client->ReceivePacket(std::vector<std::uint8_t>{1, 2});
    IsPll pll;
    pll.PLID = 255;
    client->ReceivePacket(pll.toBytes());
    EXPECT_TRUE(owner.events.empty());
}

TEST_F(ClientTest, unknown_types_and_tiny_codes_are_only_traced) {
    client->ReceivePacket(std::vector<std::uint8_t>{4, 99, 0, 0});
    client->ReceivePacket(std::vector<std::uint8_t>{4, 3, 0, 77});
    EXPECT_TRUE(traced("Unknown ISP_ Received"));
    EXPECT_TRUE(traced("Unknown TINY_ Received"));
}

// ------------------------------------------------------------------ lookups

TEST_F(ClientTest, lookups_take_the_last_match_and_never_match_empty_entries) {
    addConnection(2, "twin", "First");
    addConnection(9, "twin", "Second");
    EXPECT_EQ(client->GetPlayerId("twin"), 9);
    EXPECT_EQ(client->GetConnectionId("twin"), 9);
    EXPECT_EQ(client->GetPlayerName("twin"), "Second");
    EXPECT_EQ(client->GetPlayerId("Twin"), 0) << "names match case-sensitively";

    EXPECT_EQ(client->GetPlayerId(""), 0);
    EXPECT_EQ(client->GetPlayerNum(""), 0);
    addConnection(0, "host", "Host");
    EXPECT_EQ(client->GetPlayerNum("host"), 0) << "empty player entries belong to nobody";
    EXPECT_EQ(client->GetConnFromPLID("0"), "");
    EXPECT_EQ(client->GetConnFromPLID("seven"), "");
    EXPECT_EQ(client->GetPlayers(), "host,twin") << "a name announced again leaves no second entry";
}

// ------------------------------------------------------------------ sending

TEST_F(ClientTest, sends_go_to_the_server_and_bad_byte_arguments_are_refused) {
    connectAndAnswer();
    client->ISS_MTC("hello", 3, 7);
    client->ISS_BTN("Close", 29, 3, 100, 15, 15, 8, 2);
    client->ISS_BFN(3);
    client->ISS_MST("/restart");
    auto packets = server.take();
    ASSERT_EQ(packets.size(), 4u);
    EXPECT_EQ(packets[0].size(), 72u);
    EXPECT_EQ(packets[0][4], 3);
    EXPECT_EQ(packets[0][5], 7);
    EXPECT_EQ(packets[1].size(), 252u);
    EXPECT_EQ(packets[2], (std::vector<std::uint8_t>{8, 42, 0, 1, 3, 0, 0, 0}));
    EXPECT_EQ(packets[3].size(), 68u);

    client->ISS_MTC("x", 256, 0);
    client->ISS_BTN("x", 29, 3, 100, 300, 15, 8, 2);
    client->ISS_BFN(-1);
    client->ISS_TINY(999);
    EXPECT_TRUE(server.take().empty());
    EXPECT_TRUE(traced("ISS_MTC refused: UCID 256 is outside 0..255"));
    EXPECT_TRUE(traced("ISS_BTN refused: T 300 is outside 0..255"));
}

TEST_F(ClientTest, trace_off_records_nothing) {
    stack.trace().disable();
    trace.clear();
    client->ReceivePacket(std::vector<std::uint8_t>{4, 99, 0, 0});
    EXPECT_TRUE(trace.empty());
}

// ------------------------------------------------------------------ generations

TEST_F(ClientTest, auto_moves_up_to_the_generation_of_the_hosts_release_within_one_try) {
    const struct {
        const char* release;
        int settled;
    } rows[] = {{"0.8C", 10}, {"0.7F", 9}, {"0.5Z", 4}};
    for (const auto& row : rows) {
        renewClient("auto");
        client->Connect();
        tick(1s);
        auto first = server.take();
        ASSERT_FALSE(first.empty());
        EXPECT_EQ(first[0][0], 44) << "auto opens as InSim 4";
        EXPECT_EQ(first[0][8], 0);

        fromServer(verFrom(row.release, 4, kWire4));
        const WireGeneration& wire = *wireForVersion(row.settled);
        auto moved = server.take();
        if (row.settled == 4) {
            EXPECT_TRUE(moved.empty()) << row.release;
        } else {
            // TINY_CLOSE in the old framing, then the new IS_ISI and its requests.
            ASSERT_GE(moved.size(), 2u) << row.release;
            EXPECT_EQ(moved[0], (std::vector<std::uint8_t>{4, 3, 1, TINY_CLOSE})) << row.release;
            EXPECT_EQ(moved[1][0], 11) << row.release;
            EXPECT_EQ(moved[1][8], row.settled) << row.release;
            EXPECT_EQ(moved.back(), (std::vector<std::uint8_t>{1, 3, 1, TINY_NPL})) << row.release;
            EXPECT_FALSE(client->connected());
            fromServer(verFrom(row.release, row.settled, wire));
        }
        EXPECT_TRUE(client->connected()) << row.release;
        EXPECT_EQ(client->wire(), wire) << row.release;
        EXPECT_EQ(owner.notices, std::vector<std::string>{"speaks InSim " + std::to_string(row.settled) + " (LFS " +
                                                          row.release + ")"});
    }
}

TEST_F(ClientTest, auto_that_is_not_answered_higher_stays_on_four_at_the_next_try) {
    client->setInSimVersion("auto");
    client->Connect();
    tick(1s);
    fromServer(verFrom("0.8C", 4, kWire4));
    tick(40s); // three tries in InSim 10, all unanswered
    EXPECT_EQ(owner.notices, std::vector<std::string>{"did not answer InSim 10; staying on InSim 4"});
    tick(10s);
    server.take();
    fromServer(verFrom("0.8C", 4, kWire4));
    EXPECT_TRUE(client->connected());
    EXPECT_EQ(client->wire(), kWire4);
    EXPECT_TRUE(server.take().empty()) << "no second climb";
}

TEST_F(ClientTest, generation_notices_name_what_the_operator_should_change) {
    const struct {
        const char* setting;
        const char* release;
        int answered;
        const char* notice; // empty: none
    } rows[] = {
        {"10", "0.7F", 9, "asked for InSim 10, the host answers InSim 9 (LFS 0.7F); set its InSim version to auto"},
        {"10", "0.8C", 10, ""},
        {"4", "0.8C", 4, ""}, // a server on 4 keeps its log as it always was
        {"auto", "LFS?", 4, "cannot read the host's version 'LFS?'; staying on InSim 4"},
    };
    for (const auto& row : rows) {
        renewClient(row.setting);
        client->Connect();
        tick(1s);
        server.take();
        fromServer(verFrom(row.release, row.answered, client->wire()));
        EXPECT_TRUE(client->connected()) << row.setting;
        EXPECT_EQ(owner.notices, std::string(row.notice).empty() ? std::vector<std::string>{}
                                                                 : std::vector<std::string>{row.notice})
            << row.setting;
    }
}

TEST_F(ClientTest, in_fours_a_datagram_not_as_long_as_its_size_byte_is_dropped_before_anything) {
    client->setInSimVersion("10");
    client->Connect();
    tick(1s);
    server.take();
    const std::vector<std::uint8_t> rows[] = {
        {0, 3, 0, 0},                         // Size 0: never a length, never a loop
        {1, 3, 0, 0, 0, 0, 0, 0},             // longer than it says
        IsSmall{0, SMALL_VTA, 2}.toBytes(),   // InSim 4 framing: Size 8 is 32 bytes here
        {2, 4, 0},                            // no header
    };
    for (const auto& d : rows) {
        fromServer(d);
    }
    EXPECT_FALSE(client->connected()) << "none of them is the host speaking InSim 10";
    EXPECT_TRUE(owner.events.empty());
    EXPECT_TRUE(traced("Dropped datagram of 4 bytes: Size byte 0 in InSim 10"));

    fromServer(verFrom("0.8C", 10, kWire10));
    client->ReceivePacket(IsNcn{.UCID = 1, .UName = "boss", .PName = "Boss", .Admin = 1}.toBytes(kWire10));
    owner.events.clear();
    IsMso mso{.UCID = 1, .UserType = MSO_USER, .TextStart = 7, .Msg = "Boss : *Reverse 3"};
    client->ReceivePacket(mso.toBytes(kWire10));
    auto past = mso.toBytes(kWire10);
    past[7] = 30; // TextStart past the text
    client->ReceivePacket(past);
    EXPECT_EQ(owner.events, std::vector<std::string>{"AdminRequest(boss,*reverse 3)"});
    EXPECT_TRUE(traced("Dropped IS_MSO: TextStart 30 past its text"));
}

// Losses and leftovers on the way up: auto must still get there.
TEST_F(ClientTest, auto_settles_despite_lost_answers_and_dropped_links) {
    client->setInSimVersion("auto");
    client->Connect();
    tick(1s);
    server.take();
    // The InSim 4 answer names 0.8C; the InSim 10 answer is lost, but other
    // packets of the new link arrive, so the link is up unsettled.
    fromServer(verFrom("0.8C", 4, kWire4));
    server.take();
    fromServer(IsSta{}.toBytes(kWire10));
    ASSERT_TRUE(client->connected());
    tick(6s);
    EXPECT_TRUE(std::ranges::count(server.take(), std::vector<std::uint8_t>{1, 3, 1, TINY_VER}) > 0)
        << "the version is asked again until it comes";

    // The link drops before the answer; the next link climbs afresh.
    EXPECT_EQ(isiAfterRelinking(), 10) << "no leftover of the unfinished move";
    // The host answers the new generation with an InSim 4 version: the link
    // keeps the framing it was opened in.
    fromServer(verFrom("0.8C", 4, kWire10));
    EXPECT_EQ(client->wire(), kWire10);
}

TEST_F(ClientTest, auto_tries_the_higher_generation_again_after_one_try_on_four) {
    client->setInSimVersion("auto");
    client->Connect();
    tick(1s);
    fromServer(verFrom("0.8C", 4, kWire4));
    tick(40s); // InSim 10 unanswered: the next try stays on 4
    server.take();
    fromServer(verFrom("0.8C", 4, kWire4));
    EXPECT_EQ(client->wire(), kWire4);
    EXPECT_EQ(isiAfterRelinking(), 10); // a later link, after a drop
}

TEST_F(ClientTest, generation_lines_are_said_once_and_hold_no_control_characters) {
    const struct {
        const char* setting;
        const char* release;
        int answered;
        std::vector<std::string> notices;
    } rows[] = {
        {"auto", "0.8", 4, {"cannot read the host's version '0.8'; staying on InSim 4"}},
        {"auto", "0.8\nX: Y", 4, {"cannot read the host's version '0.8?X: Y'; staying on InSim 4"}},
        {"10", "0.8C", 0, {"asked for InSim 10, the host answers InSim 0 (LFS 0.8C); set its InSim version to auto"}},
    };
    for (const auto& row : rows) {
        renewClient(row.setting);
        client->Connect();
        tick(1s);
        server.take();
        for (int again = 0; again < 3; ++again) { // the answers to IS_ISI and TINY_VER, and one more
            fromServer(verFrom(row.release, row.answered, client->wire()));
        }
        EXPECT_EQ(owner.notices, row.notices) << row.setting << " " << row.release;
    }
}

TEST_F(ClientTest, a_host_that_speaks_first_still_gets_the_handshake) {
    client->Connect();
    fromServer(IsTiny{.ReqI = 0, .SubT = TINY_NONE}.toBytes()); // before the first tick
    server.take();
    tick(1s);
    const auto kinds = server.takeKinds();
    EXPECT_NE(std::find(kinds.begin(), kinds.end(), "1"), kinds.end()) << "IS_ISI";
}

TEST_F(ClientTest, a_silent_host_is_named_once_unless_the_server_is_on_four) {
    for (const char* setting : {"10", "auto", "4"}) {
        renewClient(setting);
        client->Connect();
        tick(100s); // three tries, a retry, three more
        EXPECT_EQ(owner.notices.size(), std::string(setting) == "4" ? 0u : 1u) << setting;
    }
}

// The fuzz program reuses one client for every input: whatever an input
// left must not reach the next, or a finding would not replay from its own
// input.
TEST_F(ClientTest, a_client_reset_for_fuzzing_starts_as_a_new_one) {
    connectAndAnswer("DEMO");
    IsIsm ism;
    ism.Host = 1;
    ism.HName = "Old host";
    fromServer(ism.toBytes());
    IsSta sta;
    sta.RaceInProg = 2;
    fromServer(sta.toBytes());
    fromServer(IsNcn{.UCID = 3, .UName = "ann", .PName = "Ann"}.toBytes());
    ASSERT_EQ(client->ServerName(), "Old host");
    const auto listening = client->listenSocket();
    const auto sending = client->clientSocket();

    owner.events.clear();
    client->setInSimVersion("10");
    client->resetForFuzzing();
    EXPECT_TRUE(owner.events.empty());
    EXPECT_FALSE(client->connected());
    EXPECT_EQ(client->state(), LinkState::Handshake);
    EXPECT_EQ(client->ticks(), 0);
    EXPECT_EQ(client->Product(), "");
    EXPECT_EQ(client->ServerName(), "");
    EXPECT_EQ(client->RaceMode(), 0);
    EXPECT_EQ(client->lastState(), -1);
    EXPECT_EQ(client->conn(3).UName, "");
    EXPECT_EQ(client->GetPlayerId("ann"), 0);
    EXPECT_EQ(client->wire().version, 10);
    // The sockets were open for these settings: kept.
    EXPECT_EQ(client->listenSocket(), listening);
    EXPECT_EQ(client->clientSocket(), sending);

    // The handshake starts over, in the generation now set.
    server.take();
    tick(1s);
    const auto sent = server.take();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent[0][1], ISP_ISI);
    EXPECT_EQ(sent[0][0], 11);
    EXPECT_EQ(sent[0][8], 10);
    // As for a new client, the first link is no relink: no LinkUp.
    fromServer(verFrom("0.8C", 10, kWire10));
    EXPECT_TRUE(client->connected());
    EXPECT_EQ(std::count(owner.events.begin(), owner.events.end(), "LinkUp"), 0);

    // A link whose sockets are gone is made afresh.
    client->Disconnect();
    client->resetForFuzzing();
    EXPECT_EQ(client->state(), LinkState::Handshake);
    EXPECT_NE(client->clientSocket(), 0);
    EXPECT_NE(client->clientSocket(), sending);
    EXPECT_TRUE(stack.sockets().isOpen(static_cast<platform::SOCKET>(client->clientSocket())));
    EXPECT_EQ(stack.sockets().openCount(), 2u);
}
