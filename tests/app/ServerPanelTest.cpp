// The server list: adding by hand, the name check, showing, removing, the
// 100-server bound, the status log and the caption.

#include "AppFixture.h"

using namespace pm;
using namespace pm::test;
using platform::DialogResult;

namespace {

class ServerPanelTest : public AppTest {
protected:
    std::vector<std::int32_t> listed() const {
        std::vector<std::int32_t> out;
        for (const auto& item : form->lstServers.items()) {
            out.push_back(item.data);
        }
        return out;
    }
};

} // namespace

TEST_F(ServerPanelTest, caption_is_set_when_start_up_ends) {
    app::frmMain fresh(stack.platform(), "/nonexistent");
    EXPECT_EQ(fresh.Caption.text(), "Brenhollow's Paddock Marshal ");
    fresh.Form_Load();
    EXPECT_EQ(fresh.Caption.text(), "Brenhollow's Paddock Marshal v0.0.1007");
    EXPECT_EQ(fresh.ShownIndex(), 0);
}

TEST_F(ServerPanelTest, indices_are_never_reused_and_each_server_keeps_its_views) {
    for (const char* name : {"S1", "S2", "S3"}) {
        addServer(name);
    }
    views(2).txtReverse.setText("two");
    auto& peer = wire(1);
    views(1).ucInSim.ReceivePacket(insim::IsVer{}.toBytes()); // the server answered

    dialogs->answers = {DialogResult::No, DialogResult::Yes};
    form->lstServers_DblClick(0);
    EXPECT_EQ(listed(), (std::vector<std::int32_t>{1, 2, 3})) << "No changes nothing";
    form->lstServers_DblClick(0);
    EXPECT_EQ(dialogTexts(), V(2, "Are you sure you want to remove 'S1'?"));
    EXPECT_EQ(form->server(1), nullptr);
    EXPECT_EQ(peer.takeKinds(), V{"TINY/2"}) << "a removed server is told goodbye";

    EXPECT_EQ(addServer("S4"), 4);
    EXPECT_EQ(listed(), (std::vector<std::int32_t>{2, 3, 4}));

    std::vector<std::int16_t> shown;
    form->shownChanged.connect([&](std::int16_t n) { shown.push_back(n); });
    form->lstServers_Click(0);
    form->lstServers_Click(-1); // a click that selects nothing
    EXPECT_EQ(form->server(form->ShownIndex())->txtReverse.text(), "two");

    dialogs->answers = {DialogResult::Yes};
    form->lstServers_DblClick(0); // the shown server
    EXPECT_EQ(shown, (std::vector<std::int16_t>{2, app::frmMain::kNothingShown}));
}

TEST_F(ServerPanelTest, name_check_is_exact_and_refuses_empty_and_taken_names) {
    addServer("Alpha");
    const std::pair<std::string, bool> rows[] = {{"alpha", true}, {"Alpha", false}, {"", false}};
    for (const auto& [name, accepted] : rows) {
        SCOPED_TRACE(name);
        dialogs->shown.clear();
        const int before = form->lstServers.count();
        form->txtNewServer.setText(name);
        form->cmdNewServer.clicked();
        EXPECT_EQ(form->lstServers.count(), before + (accepted ? 1 : 0));
        EXPECT_EQ(dialogTexts(),
                  accepted
                      ? V{}
                      : V{"This Server Name is not allowed because it is already being used or invalid"});
        EXPECT_EQ(form->txtNewServer.text(), accepted ? std::string() : name)
            << "a refused name stays in the box";
    }
}

TEST_F(ServerPanelTest, a_run_hands_out_at_most_100_indices) {
    for (int i = 1; i <= 100; ++i) {
        ASSERT_EQ(addServer("S" + std::to_string(i)), i);
    }
    dialogs->answers = {DialogResult::Yes};
    form->lstServers_DblClick(0);
    dialogs->shown.clear();

    form->txtNewServer.setText("one more");
    form->cmdNewServer_Click();
    EXPECT_EQ(dialogTexts(), V{app::frmMain::kTooManyServers});
    EXPECT_EQ(form->lstServers.count(), 99);
    EXPECT_EQ(form->ShownIndex(), 100);
    EXPECT_EQ(form->txtNewServer.text(), "one more");
}

TEST_F(ServerPanelTest, status_log_is_stamped_and_shown_newest_first) {
    makeForm();
    V signalled;
    form->txtStatus.lineAdded.connect([&](const std::string& line) { signalled.push_back(line); });
    form->AddStatus("first");
    const std::string first = platform::formatLocalDateTime(stack.clock().wallNow()) + ": first";
    stack.manualClock()->advance(std::chrono::seconds(61));
    form->AddStatus("second");
    const std::string second = platform::formatLocalDateTime(stack.clock().wallNow()) + ": second";

    EXPECT_EQ(signalled, (V{first, second}));
    EXPECT_EQ(form->txtStatus.newestFirst(), (V{second, first}));
    EXPECT_EQ(form->txtStatus.text(), second + "\r\n" + first + "\r\n");
}

TEST_F(ServerPanelTest, a_retained_log_keeps_the_newest_lines_and_still_signals_every_one) {
    makeForm();
    form->txtStatus.setRetention(2);
    int signalled = 0;
    form->txtStatus.lineAdded.connect([&](const std::string&) { ++signalled; });
    for (const char* text : {"a", "b", "c"}) {
        form->AddStatus(text);
    }
    EXPECT_EQ(signalled, 3);
    ASSERT_EQ(form->txtStatus.size(), 2u);
    EXPECT_TRUE(form->txtStatus.newest().ends_with(": c"));
    EXPECT_TRUE(form->txtStatus.lines().front().ends_with(": b"));
}

TEST_F(ServerPanelTest, clicking_a_connection_shows_its_player_number_without_a_box) {
    const auto n = addServer();
    const auto other = addServer("T");
    connection(n, 4, "racer");
    player(n, 9, 4);
    connection(n, 5, "watcher");
    auto& shown = views(n).txtPlayerNum;

    form->lstConnections_Click(n, 0);
    EXPECT_EQ(shown.text(), "racer: player 9");
    form->lstConnections_Click(n, 1);
    EXPECT_EQ(shown.text(), "watcher: not in the race");
    form->lstConnections_Click(n, 2); // past the end: the last answer stands
    form->lstConnections_Click(n, -1);
    EXPECT_EQ(shown.text(), "watcher: not in the race");
    EXPECT_TRUE(dialogs->shown.empty());
    EXPECT_EQ(views(other).txtPlayerNum.text(), "") << "each server answers in its own views";
}

TEST_F(ServerPanelTest, a_picked_number_goes_when_its_user_leaves_or_the_link_starts_afresh) {
    const auto n = addServer();
    connection(n, 4, "racer");
    player(n, 9, 4);
    connection(n, 5, "watcher");
    auto& shown = views(n).txtPlayerNum;
    form->lstConnections_Click(n, 0);

    insim::IsCnl cnl;
    cnl.UCID = 5; // someone else leaves
    views(n).ucInSim.ReceivePacket(cnl.toBytes());
    EXPECT_EQ(shown.text(), "racer: player 9");
    cnl.UCID = 4;
    views(n).ucInSim.ReceivePacket(cnl.toBytes());
    EXPECT_EQ(shown.text(), "") << "a departed user's number would read as current";

    // The connections of a new link are heard afresh: the pick is not carried over.
    connection(n, 6, "again");
    form->lstConnections_Click(n, 0);
    ASSERT_EQ(shown.text(), "again: not in the race");
    form->LinkUp(n);
    EXPECT_EQ(shown.text(), "");
}
