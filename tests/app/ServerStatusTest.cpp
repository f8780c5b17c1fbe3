// The status model an operator's views read: the link as a phase, the grid a
// vote would send, the last grid and how the host took it, the counters,
// and arranging the grid by hand.

#include <algorithm>

#include "AppFixture.h"

using namespace pm;
using namespace pm::test;
using namespace std::chrono_literals;

namespace {

class ServerStatusTest : public AppTest {
protected:
    ~ServerStatusTest() override { form.reset(); } // before the members its signals write to
    void SetUp() override { n = addServer("Club"); }
    app::ServerStatus status() { return *form->Status(n); }
    V planned() {
        V out;
        for (const auto& place : form->PlanGrid(n).places) {
            out.push_back(place.user);
        }
        return out;
    }
    void finishers(const V& names) {
        V finish;
        for (std::size_t i = 0; i < names.size(); ++i) {
            finish.push_back((i < 9 ? "0" : "") + std::to_string(i + 1) + " " + names[i]);
        }
        setItems(views(n).lstFinish, finish);
    }
    void hostStarts(const std::vector<std::uint8_t>& plids) {
        insim::IsReo reo;
        reo.NumP = static_cast<std::uint8_t>(plids.size());
        std::copy(plids.begin(), plids.end(), reo.PLID.begin());
        views(n).ucInSim.ReceivePacket(reo.toBytes());
    }
    void keepAlive() {
        insim::IsTiny tiny;
        tiny.SubT = insim::TINY_NONE;
        views(n).ucInSim.ReceivePacket(tiny.toBytes());
    }
    std::int16_t n = 0;
    // Members, not locals: the form still signals while the fixture tears
    // it down, after a test's own locals are gone.
    V summaries;
    int signals = 0;
};

} // namespace

TEST_F(ServerStatusTest, the_planned_grid_is_the_one_the_vote_sends) {
    const struct {
        const char* what;
        int custom, last, reverse;
        std::string count;
        std::string rule;
        bool hasNote = false;
    } rows[] = {
        {"last race", 0, 1, 0, "3", "Last Race"},
        {"reverse top 3", 0, 1, 1, "3", "Reverse Top 3"},
        {"reverse top above the field", 0, 1, 1, "40", "Reverse Top 40"},
        {"a count named as applied", 0, 1, 1, " 2.5", "Reverse Top 3"},
        {"minus zero reverses nothing", 0, 1, 1, "-0", "Reverse Top 0"},
        {"a count that is no number", 0, 1, 1, "all", "Last Race", true},
        {"custom", 1, 1, 1, "3", "Custom"},
        {"nothing on", 0, 0, 1, "3", "none"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        auto& v = views(n);
        wire(n);
        for (std::uint8_t id = 1; id <= 5; ++id) {
            driver(n, id, std::string(1, static_cast<char>('A' + id - 1)));
        }
        finishers({"A", "B", "Gone", "C", "D", "E"});
        setItems(v.lstOrder, {"E", "A"});
        v.chkCustom.setValue(row.custom);
        v.chkLastRace.setValue(row.last);
        v.chkReverse.setValue(row.reverse);
        v.txtReverse.setText(row.count);

        const app::NextGrid plan = form->PlanGrid(n);
        EXPECT_EQ(plan.ruleName, row.rule);
        EXPECT_EQ(!plan.ruleNote.empty(), row.hasNote);
        EXPECT_EQ(plan.slots, 32);
        const V before = planned();
        const auto sentBefore = status().counters.gridsSent;
        form->VoteAction(n, insim::VOTE_RESTART);
        if (row.rule == "none") {
            EXPECT_TRUE(before.empty());
            EXPECT_EQ(status().counters.gridsSent, sentBefore);
            continue;
        }
        EXPECT_EQ(before, v.lstOrder.texts());
        ASSERT_TRUE(status().lastGrid);
        EXPECT_EQ(status().lastGrid->ruleName, row.rule);
        ASSERT_FALSE(plan.places.empty());
        EXPECT_EQ(plan.places[0].place, 1);
        EXPECT_EQ(plan.places[0].nickname, "Nick" + plan.places[0].user);
        EXPECT_NE(plan.places[0].player, 0);
    }
}

TEST_F(ServerStatusTest, the_planned_grid_keeps_nickname_colours_for_drawing) {
    insim::IsNcn ncn;
    ncn.UCID = 4;
    ncn.UName = "bob";
    ncn.PName = "^1Red^7 Bob^v";
    views(n).ucInSim.ReceivePacket(ncn.toBytes());
    views(n).chkCustom.setValue(1);
    setItems(views(n).lstOrder, {"bob"});
    ASSERT_EQ(form->PlanGrid(n).places.size(), 1u);
    EXPECT_EQ(form->PlanGrid(n).places[0].nickname, "^1Red^7 Bob|");
    EXPECT_EQ(views(n).ucInSim.GetPlayerName("bob"), "Red Bob|") << "the log's names stay plain";
}

TEST_F(ServerStatusTest, the_link_goes_through_its_phases_with_a_reason_when_down) {
    EXPECT_EQ(status().link.phase, app::LinkPhase::Idle);
    EXPECT_EQ(status().link.badge(), "not connected");
    views(n).ucInSim.setPort("99999");
    views(n).ucInSim.Connect();
    EXPECT_EQ(status().link.phase, app::LinkPhase::Stopped);
    EXPECT_EQ(status().link.line().rfind("stopped (the InSim port '99999' is not a port number", 0), 0u)
        << status().link.line();

    views(n).ucInSim.setInSimVersion("auto");
    wire(n);
    EXPECT_EQ(status().link.line(), "connecting (try 1 of 3)");
    stack.loop().advance(10s);
    EXPECT_EQ(status().link.line(), "connecting (try 2 of 3)");
    stack.loop().advance(25s); // three tries unanswered
    const app::LinkStatus unanswered = status().link;
    EXPECT_EQ(unanswered.phase, app::LinkPhase::Retrying);
    EXPECT_NE(unanswered.reason.find("no answer from 127.0.0.1:"), std::string::npos);
    EXPECT_EQ(status().lastError, unanswered.reason);

    views(n).ucInSim.cmdConnect_Click(); // the operator's own try: no reason stands
    EXPECT_EQ(status().lastError, "");
    keepAlive();
    EXPECT_EQ(status().link.phase, app::LinkPhase::Connecting) << "no InSim host until it says its version";
    insim::IsVer ver;
    ver.Version = "0.6B";
    ver.Product = "S2";
    ver.InSimVer = 4;
    views(n).ucInSim.ReceivePacket(ver.toBytes());
    EXPECT_EQ(status().link.phase, app::LinkPhase::Connected);
    EXPECT_EQ(status().link.line().rfind("connected, InSim 4 over UDP", 0), 0u) << status().link.line();
    EXPECT_EQ(status().lastError, "");

    stack.loop().advance(20s);
    EXPECT_EQ(status().link.phase, app::LinkPhase::Connected);
    stack.loop().advance(20s); // the state asked at 30 s is not answered either
    EXPECT_EQ(status().link.phase, app::LinkPhase::Silent);
    EXPECT_EQ(status().link.badge(), "silent 40 s");
    keepAlive();
    EXPECT_EQ(status().link.phase, app::LinkPhase::Connected);

    stack.loop().advance(122s); // dropped after two silent minutes, and retried
    const app::LinkStatus retrying = status().link;
    EXPECT_EQ(retrying.phase, app::LinkPhase::Retrying);
    EXPECT_GE(retrying.retryInSeconds, 1);
    EXPECT_LE(retrying.retryInSeconds, 5);
    EXPECT_NE(retrying.line().find("no packet from 127.0.0.1:"), std::string::npos) << retrying.line();
}

TEST_F(ServerStatusTest, a_sent_grid_is_counted_and_settled_by_the_hosts_start) {
    wire(n);
    driver(n, 11, "a");
    driver(n, 12, "b");
    auto& v = views(n);
    v.chkLastRace.setValue(1);
    finishers({"a", "b"});

    form->summaryLine.connect([&](std::int16_t, const std::string& text) { summaries.push_back(text); });
    const auto raceStarts = [&] { form->RaceStart(n); };

    form->HostVote(n, insim::VOTE_RESTART);
    form->HostVote(n, insim::VOTE_RESTART); // the network's copy of the same vote
    ASSERT_TRUE(status().lastGrid);
    EXPECT_EQ(status().lastGrid->outcome, app::GridOutcome::Awaited);
    EXPECT_EQ(status().lastGrid->places.size(), 2u);
    hostStarts({11, 12});
    raceStarts();
    EXPECT_EQ(status().lastGrid->outcome, app::GridOutcome::Confirmed);
    EXPECT_EQ(status().lastGrid->outcomeText, "grid confirmed, 2 drivers");

    form->HostVote(n, insim::VOTE_RESTART); // a new race: a new vote
    hostStarts({12, 11});
    EXPECT_EQ(status().lastGrid->outcome, app::GridOutcome::Differed);
    raceStarts();

    stack.loop().advance(3s);
    form->HostVote(n, insim::VOTE_RESTART);
    raceStarts(); // no IS_REO before the start: nothing can check it
    EXPECT_EQ(status().lastGrid->outcome, app::GridOutcome::Unconfirmed);
    hostStarts({11, 12}); // a later order cannot settle it again
    EXPECT_EQ(status().lastGrid->outcome, app::GridOutcome::Unconfirmed);

    form->AdminRequest(n, "admin", "*reorder"); // a grid, but no vote of the host's
    form->LinkUp(n);
    EXPECT_EQ(status().lastGrid->outcome, app::GridOutcome::Unconfirmed);

    const app::ServerCounters c = status().counters;
    EXPECT_EQ(c.votesAnswered, 3u);
    EXPECT_EQ(c.gridsSent, 5u) << "the copy is answered too: the host ignores it";
    EXPECT_EQ(c.gridsConfirmed, 1u);
    EXPECT_EQ(c.gridsDiffered, 1u);
    EXPECT_EQ(std::count(summaries.begin(), summaries.end(),
                         "grid not confirmed: the host started without saying its grid"), 1);
    EXPECT_EQ(std::count(summaries.begin(), summaries.end(),
                         "grid not confirmed: the link was made again before the race started"), 1);
}

TEST_F(ServerStatusTest, arranging_the_grid_starts_from_the_preview_and_switches_to_custom) {
    auto& v = views(n);
    setItems(v.lstConnections, {"A", "B", "C", "D"});
    finishers({"A", "B", "C"});
    v.chkLastRace.setValue(1);
    setItems(v.lstOrder, {"stale"});

    EXPECT_EQ(form->MoveInGrid(n, 0, 2), "");
    EXPECT_EQ(v.chkCustom.value(), 1);
    EXPECT_EQ(v.lstOrder.texts(), (V{"B", "C", "A"}));
    EXPECT_EQ(form->AddToGrid(n, "D", 0), "");
    EXPECT_EQ(form->RemoveFromGrid(n, 2), "");
    EXPECT_EQ(planned(), (V{"D", "B", "A"}));

    const struct {
        const char* what;
        std::string error;
        std::function<std::string()> edit;
    } refused[] = {
        {"a move from past the end", "no such place on the grid", [&] { return form->MoveInGrid(n, 3, 0); }},
        {"a move to before the start", "no such place on the grid", [&] { return form->MoveInGrid(n, 1, -1); }},
        {"removing past the end", "no such place on the grid", [&] { return form->RemoveFromGrid(n, 3); }},
        {"adding one who is on it", "'B' is on the grid already", [&] { return form->AddToGrid(n, "B"); }},
        {"a driver twice", "'A' is on the grid twice; a driver starts once",
         [&] { return form->ArrangeGrid(n, {"A", "C", "A"}); }},
        {"an empty name", "place 2 has no user name", [&] { return form->ArrangeGrid(n, {"A", ""}); }},
        {"a name with a NUL", "place 1 is no user name (at most 23 letters, no control characters)",
         [&] { return form->ArrangeGrid(n, {std::string("F\0G", 3)}); }},
        {"a name longer than LFS allows", "place 1 is no user name (at most 23 letters, no control characters)",
         [&] { return form->ArrangeGrid(n, {std::string(24, 'x')}); }},
        {"no such server", "no server has index 77", [&] { return form->ArrangeGrid(77, {"A"}); }},
    };
    for (const auto& row : refused) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(row.edit(), row.error);
        EXPECT_EQ(v.lstOrder.texts(), (V{"D", "B", "A"}));
    }
    EXPECT_EQ(form->ArrangeGrid(n, {}), "");
    EXPECT_TRUE(planned().empty());
}

TEST_F(ServerStatusTest, every_change_to_what_is_shown_is_signalled) {
    form->statusChanged.connect([&](std::int16_t index) { signals += index == n ? 1 : 100; });
    auto& v = views(n);
    v.chkReverse.setValue(1);
    v.txtReverse.setText("4");
    setItems(v.lstFinish, {"01 A"});
    connection(n, 3, "A");
    EXPECT_GE(signals, 4);
    EXPECT_LT(signals, 100); // none for another server
}

TEST_F(ServerStatusTest, recent_lines_are_kept_only_when_asked_and_leave_out_the_per_place_lines) {
    wire(n);
    driver(n, 11, "a");
    views(n).chkCustom.setValue(1);
    setItems(views(n).lstOrder, {"a"});
    form->AdminRequest(n, "admin", "*reorder");
    EXPECT_TRUE(status().recentLines.empty());

    form->KeepRecentLines(2);
    form->AdminRequest(n, "admin", "*reorder");
    insim::IsReo reo;
    reo.NumP = 1;
    reo.PLID[0] = 11;
    views(n).ucInSim.ReceivePacket(reo.toBytes());
    const std::vector<std::string> lines = status().recentLines;
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find(": grid sent (Custom): 1 Nicka"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find(": Club: grid confirmed, 1 driver"), std::string::npos) << lines[1];
}

TEST_F(ServerStatusTest, the_grid_line_says_who_has_no_car_on_the_track) {
    wire(n);
    driver(n, 11, "a");
    connection(n, 12, "spectator");
    views(n).chkCustom.setValue(1);
    setItems(views(n).lstOrder, {"spectator", "a"});
    form->summaryLine.connect([&](std::int16_t, const std::string& text) { summaries.push_back(text); });
    form->HostVote(n, insim::VOTE_RESTART);
    EXPECT_EQ(summaries, V{"grid sent (Custom): 1 Nickspectator (not on the track), 2 Nicka"});
    EXPECT_EQ(form->PlanGrid(n).places[0].player, 0);
}
