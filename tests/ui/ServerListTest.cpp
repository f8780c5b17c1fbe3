// The left side of the window: adding servers by name, the name check,
// showing a server by click or keyboard, removing one.

#include "WindowFixture.h"

using namespace pm;
using namespace pm::test;
using platform::DialogButtons;
using platform::DialogResult;

TEST_F(WindowTest, start_up_shows_caption_name_box_and_the_template_set) {
    EXPECT_EQ(window->windowTitle().toStdString(), app::frmMain::VersionCaption());
    EXPECT_EQ(text(edit("txtNewServer")), "Custom");
    EXPECT_EQ(button("cmdNewServer")->text(), "&Add Server");
    EXPECT_EQ(list("lstServers")->count(), 0);
    EXPECT_EQ(list("lstServers")->currentRow(), -1);

    // The template set is on show and usable, with the client's defaults.
    EXPECT_TRUE(window->panel().isEnabled());
    EXPECT_EQ(window->panel().views(), form->server(app::frmMain::kTemplateIndex));
    EXPECT_EQ(text(edit("txtHost")), "127.0.0.1");
    EXPECT_EQ(text(edit("txtPort")), "55");
    EXPECT_EQ(text(edit("txtPortListen")), "56");
    EXPECT_EQ(text(edit("txtPass")), "pitboard");
    EXPECT_EQ(edit("txtPass")->echoMode(), QLineEdit::Password);
    EXPECT_EQ(edit("txtPort")->toolTip(), "The Server's InSim Port");
    EXPECT_EQ(edit("txtPortListen")->toolTip(), "The Post to which the server replies (Listen Port)");
    EXPECT_EQ(text(edit("txtReverse")), "10");
}

TEST_F(WindowTest, typing_a_name_and_adding_lists_and_shows_the_new_server) {
    QLineEdit* name = edit("txtNewServer");
    typeInto(name, "Alpha");
    EXPECT_EQ(form->txtNewServer.text(), "Alpha") << "each keystroke reaches the model";

    click(button("cmdNewServer"));
    EXPECT_EQ(texts(list("lstServers")), V{"Alpha"});
    EXPECT_EQ(form->ShownIndex(), 1);
    EXPECT_EQ(list("lstServers")->currentRow(), 0) << "the shown server is the selected one";
    EXPECT_EQ(window->panel().views(), &views(1));
    EXPECT_EQ(text(name), "") << "the box empties once the server is added";

    // Enter in the name box adds too.
    typeInto(name, "Beta");
    QTest::keyClick(name, Qt::Key_Return);
    EXPECT_EQ(texts(list("lstServers")), (V{"Alpha", "Beta"}));
    EXPECT_EQ(form->ShownIndex(), 2);
    EXPECT_EQ(list("lstServers")->currentRow(), 1);
    EXPECT_TRUE(dialogs->shown.empty());
}

TEST_F(WindowTest, a_taken_or_empty_name_is_refused_and_stays_in_the_box) {
    addServer("Alpha");
    addServer("Alpha");
    addServer("");
    ASSERT_EQ(dialogTexts(), V(2, app::frmMain::kNameRefused));
    EXPECT_EQ(dialogs->shown[0].buttons, DialogButtons::Ok);
    EXPECT_EQ(texts(list("lstServers")), V{"Alpha"});
    EXPECT_EQ(form->ShownIndex(), 1);

    typeInto(edit("txtNewServer"), "Alpha");
    QTest::keyClick(edit("txtNewServer"), Qt::Key_Return);
    EXPECT_EQ(dialogs->shown.size(), 3u);
    EXPECT_EQ(text(edit("txtNewServer")), "Alpha") << "the refused name is kept for correcting";

    addServer("alpha"); // letter case makes a different name
    EXPECT_EQ(texts(list("lstServers")), (V{"Alpha", "alpha"}));
}

TEST_F(WindowTest, clicking_or_arrowing_through_the_list_shows_each_servers_own_panel) {
    addServer("A");
    addServer("B");
    typeInto(edit("txtHost"), "10.0.0.2"); // B is on show
    views(2).lstConnections.addItem("bob");

    QListWidget* servers = list("lstServers");
    clickItem(servers, 0);
    EXPECT_EQ(form->ShownIndex(), 1);
    EXPECT_EQ(text(edit("txtHost")), "127.0.0.1");
    EXPECT_EQ(list("lstConnections")->count(), 0);
    typeInto(edit("txtHost"), "10.0.0.1");
    EXPECT_EQ(views(1).ucInSim.Host(), "10.0.0.1");
    EXPECT_EQ(views(2).ucInSim.Host(), "10.0.0.2") << "edits go to the shown server only";

    // A change to a server that is not on show stays out of the panel.
    views(2).chkCustom.setValue(1);
    EXPECT_EQ(check("chkCustom")->checkState(), Qt::Unchecked);

    servers->setFocus();
    QTest::keyClick(servers, Qt::Key_Down);
    EXPECT_EQ(form->ShownIndex(), 2);
    EXPECT_EQ(text(edit("txtHost")), "10.0.0.2");
    EXPECT_EQ(texts(list("lstConnections")), V{"bob"});
    EXPECT_EQ(check("chkCustom")->checkState(), Qt::Checked);
}

TEST_F(WindowTest, removing_asks_first_and_only_yes_removes) {
    addServer("A");
    addServer("B");
    QListWidget* servers = list("lstServers");
    clickItem(servers, 0);

    dialogs->answers = {DialogResult::No};
    doubleClickItem(servers, 0);
    ASSERT_EQ(dialogTexts(), V{"Are you sure you want to remove 'A'?"});
    EXPECT_EQ(dialogs->shown[0].buttons, DialogButtons::YesNo);
    EXPECT_EQ(texts(servers), (V{"A", "B"}));
    EXPECT_EQ(form->ShownIndex(), 1);

    // The Delete key asks the same question.
    dialogs->answers = {DialogResult::Yes};
    servers->setFocus();
    QTest::keyClick(servers, Qt::Key_Delete);
    EXPECT_EQ(dialogTexts().back(), "Are you sure you want to remove 'A'?");
    EXPECT_EQ(texts(servers), V{"B"});
    EXPECT_EQ(form->server(1), nullptr);

    // The removed server was on show: nothing is, until the operator picks.
    EXPECT_EQ(form->ShownIndex(), app::frmMain::kNothingShown);
    EXPECT_EQ(window->panel().views(), nullptr);
    EXPECT_FALSE(window->panel().isEnabled());
    EXPECT_EQ(text(edit("txtHost")), "");
    EXPECT_EQ(servers->currentRow(), -1);

    clickItem(servers, 0);
    EXPECT_EQ(form->ShownIndex(), 2);
    EXPECT_TRUE(window->panel().isEnabled());
    EXPECT_EQ(text(edit("txtHost")), "127.0.0.1");
}

TEST_F(WindowTest, removing_a_server_that_is_not_on_show_leaves_the_panel_alone) {
    addServer("A");
    addServer("B");
    addServer("C");
    clickItem(list("lstServers"), 1);
    views(2).lstOrder.addItem("carl");

    dialogs->answers = {DialogResult::Yes};
    form->lstServers_DblClick(2); // C, not on show
    EXPECT_EQ(texts(list("lstServers")), (V{"A", "B"}));
    EXPECT_EQ(form->ShownIndex(), 2);
    EXPECT_EQ(list("lstServers")->currentRow(), 1);
    EXPECT_TRUE(window->panel().isEnabled());
    EXPECT_EQ(texts(list("lstOrder")), V{"carl"});
}

TEST_F(WindowTest, the_remove_button_asks_as_a_double_click_does_and_needs_a_selected_server) {
    QListWidget* servers = list("lstServers");
    QPushButton* remove = button("cmdRemoveServer");
    EXPECT_FALSE(remove->isEnabled()) << "the template set is on show, not a server";
    EXPECT_TRUE(servers->toolTip().contains("double-click")) << "the list says how else to remove";

    addServer("A");
    addServer("B");
    EXPECT_TRUE(remove->isEnabled()) << "the added server is selected";
    dialogs->answers = {DialogResult::No};
    click(remove);
    ASSERT_EQ(dialogTexts(), V{"Are you sure you want to remove 'B'?"});
    EXPECT_EQ(dialogs->shown[0].buttons, DialogButtons::YesNo);
    EXPECT_EQ(texts(servers), (V{"A", "B"}));

    clickItem(servers, 0);
    dialogs->answers = {DialogResult::Yes};
    click(remove);
    EXPECT_EQ(dialogTexts().back(), "Are you sure you want to remove 'A'?");
    EXPECT_EQ(texts(servers), V{"B"});
    EXPECT_EQ(form->server(1), nullptr);
    EXPECT_EQ(window->panel().views(), nullptr);
    EXPECT_FALSE(remove->isEnabled()) << "the removed server was on show: nothing is selected";

    clickItem(servers, 0);
    EXPECT_TRUE(remove->isEnabled());
    // Deselected by the operator: the button has nothing to act on.
    QTest::mouseClick(servers->viewport(), Qt::LeftButton, Qt::ControlModifier,
                      servers->visualItemRect(servers->item(0)).center());
    ASSERT_TRUE(servers->selectedItems().isEmpty());
    EXPECT_FALSE(remove->isEnabled());
}
