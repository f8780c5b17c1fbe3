// The right side of the window: a server's InSim panel, lists and rules,
// written through by the operator and kept current by the network.

#include <QComboBox>
#include <QLabel>
#include <QToolButton>

#include "WindowFixture.h"
#include "insim/Packets.h"
#include "support/UdpPeer.h"

using namespace pm;
using namespace pm::test;

namespace {

class PanelTest : public WindowTest {
protected:
    PanelTest() { n = addServer("S"); }

    // A user joins server n and takes a car, as the server would report it.
    void driverJoins(std::uint8_t ucid, std::uint8_t plid, const std::string& uname) {
        insim::IsNcn ncn;
        ncn.UCID = ucid;
        ncn.UName = uname;
        ncn.PName = "Nick" + uname;
        views(n).ucInSim.ReceivePacket(ncn.toBytes());
        insim::IsNpl npl;
        npl.PLID = plid;
        npl.UCID = ucid;
        views(n).ucInSim.ReceivePacket(npl.toBytes());
    }

    std::int16_t n = 0;
};

} // namespace

TEST_F(PanelTest, picking_a_connection_shows_its_player_number_under_the_list) {
    driverJoins(3, 7, "bob");
    driverJoins(4, 9, "amy");
    insim::IsNcn watcher;
    watcher.UCID = 5;
    watcher.UName = "cid";
    views(n).ucInSim.ReceivePacket(watcher.toBytes());
    QListWidget* conns = list("lstConnections");
    ASSERT_EQ(texts(conns), (V{"bob", "amy", "cid"}));
    auto* shown = find<QLabel>("playerNum");
    EXPECT_TRUE(shown->isVisible());
    EXPECT_EQ(shown->text(), "");

    clickItem(conns, 1);
    EXPECT_EQ(shown->text(), "amy: player 9");
    conns->setFocus();
    conns->setCurrentRow(0);
    QTest::keyClick(conns, Qt::Key_Return);
    EXPECT_EQ(shown->text(), "bob: player 7");
    clickItem(conns, 2);
    EXPECT_EQ(shown->text(), "cid: not in the race");
    EXPECT_TRUE(dialogs->shown.empty()) << "no box to click away";

    // Each server keeps its own answer as the panel moves between them.
    addServer("T");
    EXPECT_EQ(shown->text(), "");
    clickItem(list("lstServers"), 0);
    EXPECT_EQ(shown->text(), "cid: not in the race");
}

TEST_F(PanelTest, the_admin_password_is_hidden_until_shown_on_purpose_and_still_writes_through) {
    QLineEdit* pass = edit("txtPass");
    auto* show = find<QToolButton>("cmdShowPass");
    ASSERT_NE(show, nullptr);
    EXPECT_EQ(pass->echoMode(), QLineEdit::Password);
    typeInto(pass, "secret");
    EXPECT_EQ(views(n).ucInSim.AdminPW(), "secret");
    EXPECT_FALSE(pass->displayText().contains("secret"));

    click(show);
    EXPECT_EQ(pass->displayText(), "secret");
    views(n).ucInSim.setAdminPW("fromfile");
    EXPECT_EQ(pass->displayText(), "fromfile");
    click(show);
    EXPECT_EQ(pass->echoMode(), QLineEdit::Password);
    EXPECT_EQ(views(n).ucInSim.AdminPW(), "fromfile") << "hiding changes nothing but the view";

    // Shown for one server, hidden again for the next one on show.
    click(show);
    addServer("T");
    EXPECT_EQ(pass->echoMode(), QLineEdit::Password);
    EXPECT_FALSE(show->isChecked());
}

TEST_F(PanelTest, rule_boxes_and_count_write_through_and_grey_gives_way_to_a_click) {
    click(check("chkLastRace"));
    EXPECT_EQ(views(n).chkLastRace.value(), 1);
    click(check("chkLastRace"));
    EXPECT_EQ(views(n).chkLastRace.value(), 0);

    check("chkCustom")->setFocus();
    QTest::keyClick(check("chkCustom"), Qt::Key_Space);
    EXPECT_EQ(views(n).chkCustom.value(), 1);

    // Grey (2) comes only from the model, e.g. the start-up file.
    QCheckBox* reverse = check("chkReverse");
    views(n).chkReverse.setValue(2);
    EXPECT_EQ(reverse->checkState(), Qt::PartiallyChecked);
    click(reverse);
    EXPECT_EQ(views(n).chkReverse.value(), 1);
    EXPECT_FALSE(reverse->isTristate()) << "the operator toggles between off and on";
    click(reverse);
    EXPECT_EQ(views(n).chkReverse.value(), 0);

    typeInto(edit("txtReverse"), "5");
    EXPECT_EQ(views(n).txtReverse.text(), "5");
    typeInto(edit("txtPort"), "29999");
    typeInto(edit("txtPortListen"), "30000");
    typeInto(edit("txtPass"), "secret");
    EXPECT_EQ(views(n).ucInSim.Port(), "29999");
    EXPECT_EQ(views(n).ucInSim.PortListen(), "30000");
    EXPECT_EQ(views(n).ucInSim.AdminPW(), "secret");
}

TEST_F(PanelTest, model_changes_show_at_once) {
    auto& v = views(n);
    v.lstConnections.addItem("carl");
    v.lstFinish.addItem("01 carl");
    v.lstOrder.addItem("carl");
    v.lstOrder.addItem("dora", 0);
    EXPECT_EQ(texts(list("lstConnections")), V{"carl"});
    EXPECT_EQ(texts(list("lstFinish")), V{"01 carl"});
    EXPECT_EQ(texts(list("lstOrder")), (V{"dora", "carl"}));
    v.lstOrder.clear();
    EXPECT_EQ(list("lstOrder")->count(), 0);

    v.chkCustom.setValue(1); // "*custom 1" from the game
    v.chkLastRace.setValue(2);
    EXPECT_EQ(check("chkCustom")->checkState(), Qt::Checked);
    EXPECT_EQ(check("chkLastRace")->checkState(), Qt::PartiallyChecked);
    v.chkLastRace.setValue(0);
    EXPECT_EQ(check("chkLastRace")->checkState(), Qt::Unchecked);
    v.txtReverse.setText("3"); // "*reverse 3"
    EXPECT_EQ(text(edit("txtReverse")), "3");

    // The button follows the client through its states.
    auto& cmd = v.ucInSim.cmdConnect;
    QPushButton* connect = button("cmdConnect");
    cmd.setEnabled(false);
    EXPECT_FALSE(connect->isEnabled());
    cmd.setCaption("Disconnect");
    cmd.setEnabled(true);
    EXPECT_EQ(connect->text(), "&Disconnect");
    EXPECT_TRUE(connect->isEnabled());
}

TEST_F(PanelTest, the_selected_connection_stays_on_its_user_as_others_come_and_go) {
    driverJoins(1, 1, "amy");
    driverJoins(2, 2, "bob");
    driverJoins(3, 3, "cid");
    QListWidget* conns = list("lstConnections");
    conns->setCurrentRow(1);
    views(n).lstConnections.removeItem(0); // amy left
    EXPECT_EQ(conns->currentItem()->text(), "bob");
    views(n).lstConnections.removeItem(0); // and bob
    EXPECT_EQ(conns->currentItem(), nullptr);
    EXPECT_TRUE(dialogs->shown.empty()) << "a list change is no click";
}

TEST_F(PanelTest, operator_edits_do_not_echo_and_keep_the_cursor) {
    int changes = 0;
    views(n).txtReverse.changed.connect([&] { ++changes; });
    QLineEdit* count = edit("txtReverse");
    count->setFocus();
    count->setCursorPosition(1); // "1|0"
    QTest::keyClicks(count, "25");
    EXPECT_EQ(views(n).txtReverse.text(), "1250");
    EXPECT_EQ(changes, 2) << "one model change per keystroke";
    EXPECT_EQ(count->cursorPosition(), 3);

    // A change from the network while the operator's cursor sits in the box.
    views(n).ucInSim.setHost("192.168.1.20");
    QLineEdit* host = edit("txtHost");
    host->setCursorPosition(3);
    views(n).ucInSim.setHost("192.168.1.21");
    EXPECT_EQ(text(host), "192.168.1.21");
    EXPECT_EQ(host->cursorPosition(), 3);
}

TEST_F(PanelTest, connect_button_starts_the_client) {
    views(n).ucInSim.setTransport("udp"); // the listen port counts only there
    typeInto(edit("txtPortListen"), "0x"); // not a port: the client stays idle, and the panel says why
    click(button("cmdConnect"));
    settle();
    EXPECT_EQ(views(n).ucInSim.state(), insim::LinkState::Idle);
    EXPECT_TRUE(button("cmdConnect")->isEnabled());
    EXPECT_EQ(find<QLabel>("linkState")->text(),
              "Not connected: the listen port '0x' is not a port number (0 to 65535)");

    UdpPeer server; // never answers
    typeInto(edit("txtPortListen"), QString::number(freeUdpPort()));
    typeInto(edit("txtPort"), QString::number(server.port()));
    click(button("cmdConnect"));
    EXPECT_EQ(views(n).ucInSim.state(), insim::LinkState::Handshake);
    EXPECT_FALSE(button("cmdConnect")->isEnabled());
    settle();
    EXPECT_EQ(find<QLabel>("linkState")->text(), "Connecting (try 1 of 3)");
}

TEST_F(PanelTest, the_insim_version_choice_starts_on_auto_and_writes_through) {
    auto* combo = find<QComboBox>("cboInSimVer");
    ASSERT_NE(combo, nullptr);
    EXPECT_EQ(combo->currentText(), "auto") << "a server added by hand finds its host's version";
    EXPECT_EQ(views(n).ucInSim.InSimVersion(), "auto");
    combo->setFocus();
    QTest::keyClick(combo, Qt::Key_Down); // auto, 10, 9, 4
    QTest::keyClick(combo, Qt::Key_Down);
    EXPECT_EQ(views(n).ucInSim.InSimVersion(), "9");
    views(n).ucInSim.setInSimVersion("10"); // from the start-up file, say
    EXPECT_EQ(combo->currentText(), "10");
}

TEST_F(PanelTest, the_transport_starts_on_tcp_and_the_last_grid_check_shows) {
    auto* combo = find<QComboBox>("cboTransport");
    ASSERT_NE(combo, nullptr);
    EXPECT_EQ(combo->currentText(), "tcp") << "a server added by hand crosses routers";
    EXPECT_EQ(views(n).ucInSim.Transport(), "tcp");
    combo->setFocus();
    QTest::keyClick(combo, Qt::Key_Down);
    EXPECT_EQ(views(n).ucInSim.Transport(), "udp");

    EXPECT_EQ(find<QLabel>("gridCheck")->text(), "");
    views(n).txtGridCheck.setText("grid differs at place 2: the host starts b there, not a");
    EXPECT_EQ(find<QLabel>("gridCheck")->text(), "Last grid: grid differs at place 2: the host starts b there, not a");
}
