// What the window shows of each server's status: the link badges, the
// panel's link line, the live next grid and arranging it by hand.

#include <QImage>
#include <QLabel>
#include <QPalette>
#include <chrono>

#include "WindowFixture.h"
#include "insim/Packets.h"
#include "support/UdpPeer.h"
#include "ui/GridView.h"
#include "ui/StatusLook.h"

using namespace pm;
using namespace pm::test;
using namespace std::chrono_literals;

namespace {

class StatusView : public WindowTest {
protected:
    StatusView() { n = addServer("Club"); }

    QListWidgetItem* serverRow(std::int16_t index) {
        QListWidget* servers = list("lstServers");
        for (int row = 0; row < servers->count(); ++row) {
            if (servers->item(row)->data(Qt::UserRole).toInt() == index) {
                return servers->item(row);
            }
        }
        ADD_FAILURE() << "no row for server " << index;
        return nullptr;
    }
    std::string badge(std::int16_t index) {
        return serverRow(index)->data(ui::kBadgeTextRole).toString().toStdString();
    }
    QColor badgeColour(std::int16_t index) {
        return serverRow(index)->data(ui::kBadgeColourRole).value<QColor>();
    }
    std::string linkLine() { return find<QLabel>("linkState")->text().toStdString(); }

    void feed(const std::vector<std::uint8_t>& packet) { views(n).ucInSim.ReceivePacket(packet); }
    void driverJoins(std::uint8_t id, const std::string& user) {
        insim::IsNcn ncn;
        ncn.UCID = id;
        ncn.UName = user;
        ncn.PName = "Nick " + user;
        feed(ncn.toBytes());
        insim::IsNpl npl;
        npl.PLID = id;
        npl.UCID = id;
        feed(npl.toBytes());
    }
    void finishes(const std::string& user, int position) {
        insim::IsRes res;
        res.UName = user;
        res.PName = "Nick " + user;
        res.ResultNum = static_cast<std::uint8_t>(position);
        res.TTime = 60000 + 1000 * static_cast<std::uint32_t>(position);
        feed(res.toBytes());
    }
    // a, b, c and d on the track, finished in that order; Last Race on.
    void raceOfFour() {
        driverJoins(1, "a");
        driverJoins(2, "b");
        driverJoins(3, "c");
        driverJoins(4, "d");
        for (const char* user : {"a", "b", "c", "d"}) {
            views(n).lstFinish.addItem(std::string("0") + std::to_string(views(n).lstFinish.count() + 1) +
                                       " " + user);
        }
        click(check("chkLastRace"));
        settle();
    }

    QListWidget* grid() { return list("lstGrid"); }
    V gridUsers() {
        V out;
        for (int i = 0; i < grid()->count(); ++i) {
            out.push_back(grid()->item(i)->data(ui::kGridUserRole).toString().toStdString());
        }
        return out;
    }
    std::string header() { return find<QLabel>("gridRule")->text().toStdString(); }
    std::string gridError() { return find<QLabel>("gridError")->text().toStdString(); }
    void selectPlace(int row) { clickItem(grid(), row); }

    std::int16_t n = 0;
};

} // namespace

TEST_F(StatusView, each_servers_badge_and_the_link_line_follow_the_link) {
    const std::int16_t other = addServer("Other");
    clickItem(list("lstServers"), 0);
    auto& client = views(n).ucInSim;

    struct Seen {
        std::string badge;
        app::LinkPhase colourOf;
        std::string lineStart;
    };
    const auto expect = [&](const char* when, const Seen& seen) {
        SCOPED_TRACE(when);
        EXPECT_EQ(badge(n), seen.badge);
        EXPECT_EQ(badgeColour(n), ui::badgeColour(seen.colourOf));
        EXPECT_EQ(linkLine().rfind(seen.lineStart, 0), 0u) << linkLine();
        EXPECT_EQ(badge(other), "not connected") << "one server's link is no other's";
    };

    expect("added", {"not connected", app::LinkPhase::Idle, "Not connected"});
    EXPECT_EQ(ui::badgeColour(app::LinkPhase::Idle), QColor(0x9e, 0x9e, 0x9e));

    client.setPort("99999");
    click(button("cmdConnect"));
    settle();
    expect("refused before it started",
           {"stopped", app::LinkPhase::Stopped, "Not connected: the InSim port '99999'"});
    EXPECT_NE(serverRow(n)->toolTip().toStdString().find("'99999' is not a port number"), std::string::npos)
        << "the reason is in the badge's tool tip";

    UdpPeer host; // never answers on its own
    client.setTransport("udp");
    client.setInSimVersion("4");
    client.setPort(std::to_string(host.port()));
    client.setPortListen(std::to_string(freeUdpPort()));
    click(button("cmdConnect"));
    settle();
    expect("handshake", {"connecting 1/3", app::LinkPhase::Connecting, "Connecting (try 1 of 3)"});

    insim::IsVer version; // an InSim host says its version first
    version.Version = "0.6B";
    version.Product = "S2";
    version.InSimVer = 4;
    feed(version.toBytes());
    settle();
    expect("answered", {"connected", app::LinkPhase::Connected, "Connected, InSim 4 over UDP"});

    // Time alone moves these on, with no change to report: the window's
    // second's tick draws them, here called by hand.
    stack.loop().advance(40s);
    window->refreshStatus();
    expect("quiet host", {"silent 40 s", app::LinkPhase::Silent, "Silent for 40 s"});
    EXPECT_EQ(linkLine().find("Connected"), std::string::npos) << "a silent host is not called connected";

    stack.loop().advance(82s); // dropped two minutes after its last word, and tried again in 5 s
    window->refreshStatus();
    EXPECT_EQ(badge(n).rfind("retrying in ", 0), 0u) << badge(n);
    EXPECT_EQ(badgeColour(n), ui::badgeColour(app::LinkPhase::Connecting)) << "amber, as a try in progress";
    EXPECT_NE(serverRow(n)->toolTip().toStdString().find("no packet from"), std::string::npos);
    EXPECT_EQ(linkLine().rfind("Retrying in ", 0), 0u) << linkLine();
}

TEST_F(StatusView, the_grid_shows_what_a_vote_would_send_as_rules_results_and_drivers_change) {
    raceOfFour();
    EXPECT_EQ(header(), "Next grid: Last Race");
    EXPECT_EQ(gridUsers(), (V{"a", "b", "c", "d"}));
    EXPECT_EQ(grid()->item(0)->text().toStdString(), "1. Nick a (a)");

    const struct {
        const char* what;
        std::function<void()> change;
        std::string header;
        V users;
    } steps[] = {
        {"Reverse Top ticked",
         [&] { click(check("chkReverse")); },
         "Next grid: Reverse Top 10",
         {"d", "c", "b", "a"}},
        {"its count typed",
         [&] { typeInto(edit("txtReverse"), "2"); },
         "Next grid: Reverse Top 2",
         {"b", "a", "c", "d"}},
        {"a count that is no number",
         [&] { typeInto(edit("txtReverse"), "x"); },
         "Next grid: Last Race (the Reverse Top count 'x' is not a number: the plain finishing order is "
         "used)",
         {"a", "b", "c", "d"}},
        {"count back",
         [&] { typeInto(edit("txtReverse"), "3"); },
         "Next grid: Reverse Top 3",
         {"c", "b", "a", "d"}},
        {"a new race's winner",
         [&] {
             finishes("d", 0);
             finishes("a", 1);
         },
         "Next grid: Reverse Top 3",
         {"a", "d"}},
        {"the rest finish",
         [&] {
             finishes("c", 2);
             finishes("b", 3);
         },
         "Next grid: Reverse Top 3",
         {"c", "a", "d", "b"}},
        {"a driver leaves",
         [&] {
             insim::IsCnl cnl;
             cnl.UCID = 1;
             feed(cnl.toBytes());
         },
         "Next grid: Reverse Top 3",
         {"c", "d", "b"}},
        {"Last Race off", [&] { click(check("chkLastRace")); }, "Next grid: none: a vote sends no grid", {}},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        step.change();
        settle();
        EXPECT_EQ(header(), step.header);
        EXPECT_EQ(gridUsers(), step.users);
        V planned;
        for (const auto& place : form->PlanGrid(n).places) {
            planned.push_back(place.user);
        }
        EXPECT_EQ(gridUsers(), planned) << "the same grid the vote sends";
    }
}

TEST_F(StatusView, a_vote_redraws_the_grid_once_and_a_place_without_a_car_says_so) {
    raceOfFour();
    int redraws = 0;
    const auto counting =
        QObject::connect(grid()->model(), &QAbstractItemModel::modelReset, grid(), [&] { ++redraws; });
    form->VoteAction(n, insim::VOTE_RESTART);
    EXPECT_EQ(views(n).lstOrder.texts(), (V{"a", "b", "c", "d"}));
    settle();
    QObject::disconnect(counting);
    EXPECT_EQ(redraws, 1) << "the vote's list changes are drawn together";

    // Custom, with a driver who has no car now: the place goes out empty.
    views(n).chkCustom.setValue(1);
    views(n).lstOrder.addItem("ghost", 1);
    settle();
    EXPECT_EQ(header(), "Next grid: Custom");
    ASSERT_EQ(gridUsers(), (V{"a", "ghost", "b", "c", "d"}));
    EXPECT_EQ(grid()->item(1)->text().toStdString(), "2. ghost, not on the track");
    EXPECT_EQ(grid()->item(2)->data(ui::kGridNoteRole).toString().toStdString(), "");
}

TEST_F(StatusView, arranging_in_the_window_edits_the_in_game_list_and_ticks_custom) {
    raceOfFour();
    QCheckBox* custom = check("chkCustom");
    ASSERT_EQ(custom->checkState(), Qt::Unchecked);
    QPushButton* up = button("cmdGridUp");
    QPushButton* down = button("cmdGridDown");
    QPushButton* remove = button("cmdGridRemove");
    QPushButton* add = button("cmdGridAdd");
    EXPECT_FALSE(up->isEnabled() || down->isEnabled() || remove->isEnabled() || add->isEnabled())
        << "nothing picked, nothing to act on";
    EXPECT_EQ(find<QLabel>("gridHint")->text(), "A start order goes to the host at the next restart vote.");

    const struct {
        const char* what;
        std::function<void()> edit;
        V order;
    } edits[] = {
        {"up",
         [&] {
             selectPlace(2);
             click(up);
         },
         {"a", "c", "b", "d"}},
        {"up again: the same driver stays picked", [&] { click(up); }, {"c", "a", "b", "d"}},
        {"down",
         [&] {
             selectPlace(1);
             click(down);
         },
         {"c", "b", "a", "d"}},
        {"remove",
         [&] {
             selectPlace(0);
             click(remove);
         },
         {"b", "a", "d"}},
        {"add the picked connection at the end",
         [&] {
             clickItem(list("lstConnections"), 2);
             click(add);
         },
         {"b", "a", "d", "c"}},
        {"Ctrl+Up",
         [&] {
             selectPlace(3);
             QTest::keyClick(grid(), Qt::Key_Up, Qt::ControlModifier);
         },
         {"b", "a", "c", "d"}},
        {"Delete",
         [&] {
             selectPlace(0);
             QTest::keyClick(grid(), Qt::Key_Delete);
         },
         {"a", "c", "d"}},
        // What Qt does with the rows when a driver is dropped below the last.
        {"drag the first to the end",
         [&] { grid()->model()->moveRow(QModelIndex(), 0, QModelIndex(), grid()->count()); },
         {"c", "d", "a"}},
    };
    for (const auto& step : edits) {
        SCOPED_TRACE(step.what);
        step.edit();
        settle();
        EXPECT_EQ(views(n).lstOrder.texts(), step.order);
        EXPECT_EQ(views(n).chkCustom.value(), 1);
        EXPECT_EQ(custom->checkState(), Qt::Checked);
        EXPECT_EQ(gridUsers(), step.order) << "the grid shows the list it edited";
        EXPECT_EQ(gridError(), "");
    }
    EXPECT_EQ(header(), "Next grid: Custom");

    // One who is on it already: said beside the grid, no box to click away.
    clickItem(list("lstConnections"), 0);
    click(add);
    EXPECT_EQ(gridError(), "Not changed: 'a' is on the grid already");
    EXPECT_TRUE(dialogs->shown.empty());
    EXPECT_EQ(views(n).lstOrder.texts(), (V{"c", "d", "a"}));
    selectPlace(0);
    EXPECT_FALSE(up->isEnabled()) << "the first place has no place above";
    click(down);
    EXPECT_EQ(gridError(), "") << "a change that worked clears the last refusal";
    EXPECT_EQ(views(n).lstOrder.texts(), (V{"d", "c", "a"}));
}

TEST_F(WindowTest, the_template_set_has_no_link_and_no_grid_to_arrange) {
    settle();
    EXPECT_EQ(list("lstGrid")->count(), 0);
    EXPECT_EQ(find<QLabel>("gridRule")->text(), "");
    EXPECT_FALSE(button("cmdGridAdd")->isEnabled());
    EXPECT_EQ(find<QLabel>("linkState")->text(), "Add a server to connect");
}

TEST(GridLook, nicknames_are_drawn_in_their_colours_and_places_past_the_slots_are_marked) {
    qtApp();
    const auto runs = ui::nicknameRuns("^1Red^7White^9Plain^8");
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs[0].text, "Red");
    EXPECT_EQ(runs[0].code, 1);
    EXPECT_EQ(runs[1].code, 7);
    EXPECT_EQ(runs[2].code, -1) << "^9 is the list's own colour";
    EXPECT_EQ(ui::nicknameRuns("50^% ^").front().text, "50^% ^") << "a caret that starts no code is text";

    ui::GridList grid;
    QPalette light = grid.palette();
    light.setColor(QPalette::Base, Qt::white);
    light.setColor(QPalette::AlternateBase, Qt::white);
    light.setColor(QPalette::Text, Qt::black);
    grid.setPalette(light);
    grid.resize(400, 200);
    app::NextGrid next;
    next.slots = 2;
    next.places = {{1, "r", "^1RRRRRRRR^7WWWWWWWW", 5}, {2, "p", "plain", 6}, {3, "late", "Late", 7}};
    grid.showGrid(next);
    ASSERT_EQ(grid.count(), 3);
    EXPECT_EQ(grid.item(0)->text(), "1. RRRRRRRRWWWWWWWW (r)");
    EXPECT_EQ(grid.item(2)->text(), "3. Late (late), not sent: the host takes 2");
    EXPECT_TRUE(grid.item(2)->data(ui::kGridNotSentRole).toBool());

    grid.show();
    const QImage picture = grid.grab(grid.visualItemRect(grid.item(0))).toImage();
    int red = 0;
    int backing = 0;
    for (int y = 0; y < picture.height(); ++y) {
        for (int x = 0; x < picture.width(); ++x) {
            const QColor c = picture.pixelColor(x, y);
            red += c.red() > 200 && c.green() < 80 && c.blue() < 80;
            backing += c == QColor(0x30, 0x30, 0x30);
        }
    }
    EXPECT_GT(red, 10) << "^1 is drawn red";
    EXPECT_GT(backing, 10) << "^7 white gets a dark backing on a white list";
}

TEST(GridLook, every_lfs_colour_and_every_badge_text_stands_out) {
    for (const auto phase : {app::LinkPhase::Idle, app::LinkPhase::Connecting, app::LinkPhase::Connected,
                             app::LinkPhase::Silent, app::LinkPhase::Retrying, app::LinkPhase::Stopped}) {
        const QColor fill = ui::badgeColour(phase);
        EXPECT_GE(ui::contrast(fill, ui::textOn(fill)), 4.5) << app::linkPhaseWord(phase);
    }
    const QColor bases[] = {Qt::white, QColor(0xf7, 0xf7, 0xf7), QColor(0x1e, 0x1e, 0x1e), Qt::black};
    for (const QColor& base : bases) {
        for (int code = 0; code <= 7; ++code) {
            const ui::RunLook look = ui::runLook(code, base, Qt::gray);
            EXPECT_GE(ui::contrast(look.text, look.backing.value_or(base)), 3.0)
                << "^" << code << " on " << base.name().toStdString();
        }
    }
    EXPECT_FALSE(ui::runLook(0, Qt::white, Qt::gray).backing) << "black on white needs nothing behind it";
    EXPECT_EQ(ui::runLook(-1, Qt::white, Qt::darkBlue).text, QColor(Qt::darkBlue));
}
