// The server list: adding by hand, the name check, showing, removing, the
// 100-server bound, the status log and the caption.

#include "AppFixture.h"

using namespace pm;
using platform::DialogResult;
using pm::test::AppTest;

namespace {

class ServerPanelTest : public AppTest {
protected:
    std::vector<std::int32_t> listedIndices() const {
        std::vector<std::int32_t> out;
        for (const auto& item : form->lstServers.items()) {
            out.push_back(item.data);
        }
        return out;
    }
};

} // namespace

TEST_F(ServerPanelTest, start_without_a_file_shows_the_template) {
    makeForm();
    EXPECT_EQ(form->Caption.text(), app::frmMain::VersionCaption());
    EXPECT_EQ(form->Caption.text(), "Brenhollow's Paddock Marshal v0.0.1007");
    EXPECT_EQ(form->ShownIndex(), 0);
    EXPECT_EQ(form->txtNewServer.text(), "Custom");
    EXPECT_EQ(form->cmdNewServer.caption(), "Add Server");
    EXPECT_TRUE(form->serverIndices().empty());
    ASSERT_NE(form->server(0), nullptr);
    EXPECT_EQ(form->server(0)->txtReverse.text(), "10");

    app::frmMain fresh(stack.platform(), "/nonexistent");
    EXPECT_EQ(fresh.Caption.text(), "Brenhollow's Paddock Marshal ") << "until start-up ends";
}

TEST_F(ServerPanelTest, indices_are_never_reused_and_each_server_keeps_its_views) {
    for (const char* name : {"S1", "S2", "S3"}) {
        addServer(name);
    }
    EXPECT_EQ(form->ShownIndex(), 3);
    views(2).txtReverse.setText("two");

    dialogs->answers = {DialogResult::No, DialogResult::Yes};
    form->lstServers_DblClick(0);
    EXPECT_EQ(listedIndices(), (std::vector<std::int32_t>{1, 2, 3})) << "No changes nothing";
    form->lstServers_DblClick(0);
    EXPECT_EQ(dialogTexts(), (std::vector<std::string>{"Are you sure you want to remove 'S1'?",
                                                       "Are you sure you want to remove 'S1'?"}));
    EXPECT_EQ(dialogs->shown[0].buttons, platform::DialogButtons::YesNo);
    EXPECT_EQ(form->server(1), nullptr);

    EXPECT_EQ(addServer("S4"), 4);
    EXPECT_EQ(listedIndices(), (std::vector<std::int32_t>{2, 3, 4}));
    EXPECT_EQ(form->LastServerIndex(), 4);

    std::vector<std::int16_t> shown;
    form->shownChanged.connect([&](std::int16_t n) { shown.push_back(n); });
    form->lstServers_Click(0);
    EXPECT_EQ(form->ShownIndex(), 2);
    EXPECT_EQ(form->server(form->ShownIndex())->txtReverse.text(), "two");
    form->lstServers_Click(-1); // a click that selects nothing
    EXPECT_EQ(form->ShownIndex(), 2);

    // Removing the shown server leaves nothing shown.
    dialogs->answers = {DialogResult::Yes};
    form->lstServers_DblClick(0);
    EXPECT_EQ(form->ShownIndex(), app::frmMain::kNothingShown);
    EXPECT_EQ(shown, (std::vector<std::int16_t>{2, app::frmMain::kNothingShown}));
}

TEST_F(ServerPanelTest, name_check_is_exact_and_refuses_empty_and_taken_names) {
    addServer("Alpha");
    const struct {
        std::string name;
        bool accepted;
    } rows[] = {{"alpha", true}, {"Alpha", false}, {"", false}, {"Alpha ", true}};
    for (const auto& row : rows) {
        SCOPED_TRACE("'" + row.name + "'");
        dialogs->shown.clear();
        const int before = form->lstServers.count();
        form->txtNewServer.setText(row.name);
        form->cmdNewServer.clicked();
        EXPECT_EQ(form->lstServers.count(), before + (row.accepted ? 1 : 0));
        if (row.accepted) {
            EXPECT_TRUE(dialogs->shown.empty());
            EXPECT_EQ(form->txtNewServer.text(), "");
        } else {
            EXPECT_EQ(dialogTexts(), std::vector<std::string>{
                                         "This Server Name is not allowed because it is already being used or invalid"});
            EXPECT_EQ(dialogs->shown[0].buttons, platform::DialogButtons::Ok);
            EXPECT_EQ(form->txtNewServer.text(), row.name) << "the name stays in the box";
        }
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
    EXPECT_EQ(dialogTexts(), std::vector<std::string>{app::frmMain::kTooManyServers});
    EXPECT_EQ(form->lstServers.count(), 99);
    EXPECT_EQ(form->LastServerIndex(), 100);
    EXPECT_EQ(form->ShownIndex(), 100);
    EXPECT_EQ(form->txtNewServer.text(), "one more");
}

TEST_F(ServerPanelTest, status_log_is_stamped_and_shown_newest_first) {
    makeForm();
    auto* clock = stack.manualClock();
    clock->setWall(std::chrono::sys_days{std::chrono::year{2026} / 1 / 2} + std::chrono::hours(3));
    std::vector<std::string> signalled;
    form->txtStatus.lineAdded.connect([&](const std::string& line) { signalled.push_back(line); });

    form->AddStatus("first");
    const std::string firstStamp = platform::formatLocalDateTime(clock->wallNow());
    clock->advance(std::chrono::seconds(61));
    form->AddStatus("second");
    const std::string secondStamp = platform::formatLocalDateTime(clock->wallNow());

    const std::vector<std::string> oldestFirst{firstStamp + ": first", secondStamp + ": second"};
    EXPECT_EQ(signalled, oldestFirst);
    EXPECT_EQ(std::vector<std::string>(form->txtStatus.lines().begin(), form->txtStatus.lines().end()),
              oldestFirst);
    EXPECT_EQ(form->txtStatus.newestFirst(), (std::vector<std::string>{oldestFirst[1], oldestFirst[0]}));
    EXPECT_EQ(form->txtStatus.text(), oldestFirst[1] + "\r\n" + oldestFirst[0] + "\r\n");
}

TEST_F(ServerPanelTest, clicking_a_connection_shows_its_player_number) {
    const auto n = addServer();
    connection(n, 4, "racer");
    player(n, 9, 4);
    connection(n, 5, "watcher");
    form->lstConnections_Click(n, 0);
    form->lstConnections_Click(n, 1);
    form->lstConnections_Click(n, 2); // past the end: nothing
    EXPECT_EQ(dialogTexts(), (std::vector<std::string>{"9", "0"}));
}
