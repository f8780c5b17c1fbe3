// The headless log as an operator reads it, on a terminal or in the journal:
// every server's line names the server, the start order's dumps are debug,
// and a vote's grid is one line in plain words.

#include "app/HeadlessLog.h"

#include "AppFixture.h"

using namespace pm;
using namespace pm::test;
using Level = app::HeadlessLog::Level;

namespace {

class HeadlessLogTest : public AppTest {
protected:
    void startWith(bool journal) {
        makeForm();
        log = std::make_unique<app::HeadlessLog>(
            *form, stack.clock(), [this](std::string_view line) { written.emplace_back(line); }, journal);
        n = addServer("Club");
        wire(n);
    }
    ~HeadlessLogTest() override { log.reset(); }

    std::unique_ptr<app::HeadlessLog> log;
    V written;
    std::int16_t n = 0;
};

} // namespace

TEST_F(HeadlessLogTest, a_vote_reads_as_one_grid_line_at_info_with_its_dump_at_debug) {
    startWith(true);
    connection(n, 11, "ann");
    player(n, 11, 11);
    insim::IsNcn ncn;
    ncn.UCID = 12;
    ncn.UName = "bob";
    ncn.PName = "^1Red^7 Bob";
    views(n).ucInSim.ReceivePacket(ncn.toBytes());
    player(n, 12, 12);
    auto& v = views(n);
    v.chkLastRace.setValue(1);
    v.chkReverse.setValue(1);
    v.txtReverse.setText("2");
    for (const char* name : {"ann", "bob"}) {
        insim::IsRes res;
        res.UName = name;
        res.ResultNum = static_cast<std::uint8_t>(name[0] == 'a' ? 0 : 1);
        v.ucInSim.ReceivePacket(res.toBytes());
    }
    written.clear();
    insim::IsSmall vta;
    vta.SubT = insim::SMALL_VTA;
    vta.UVal = insim::VOTE_RESTART;
    v.ucInSim.ReceivePacket(vta.toBytes());
    EXPECT_EQ(written, (V{"<7>Club: BH RACE ORDER", "<7>Club: 1=12", "<7>Club: 2=11",
                          "<6>Club: grid sent (Reverse Top 2): 1 Red Bob, 2 Nickann"}));
}

TEST_F(HeadlessLogTest, every_server_line_names_its_server_once_and_is_stamped_off_the_journal) {
    startWith(false);
    const std::string stamp = platform::formatLocalDateTime(stack.clock().wallNow()) + ": ";
    connection(n, 11, "ann");
    player(n, 11, 11);
    insim::IsRes res;
    res.UName = "ann";
    views(n).ucInSim.ReceivePacket(res.toBytes());
    form->LinkNotice(n, "the host answers again"); // names its server itself
    log->note(Level::Info, "start-up file 'x.cfg': 1 server");
    EXPECT_EQ(written, (V{stamp + "Club: ann has finished the race", stamp + "Club: the host answers again",
                          stamp + "start-up file 'x.cfg': 1 server"}));
    EXPECT_EQ(form->txtStatus.lines().front(), stamp + "ann has finished the race") << "the window keeps its lines";
}

TEST_F(HeadlessLogTest, a_server_name_that_reads_like_trouble_leaves_its_lines_at_their_own_level) {
    makeForm();
    log = std::make_unique<app::HeadlessLog>(
        *form, stack.clock(), [this](std::string_view line) { written.emplace_back(line); }, true);
    n = addServer("closed track");
    views(n).ucInSim.setInSimVersion("auto");
    wire(n);
    written.clear();
    insim::IsVer ver;
    ver.Version = "0.5Z";
    views(n).ucInSim.ReceivePacket(ver.toBytes()); // the client names its server itself
    EXPECT_EQ(written, (V{"<6>closed track: speaks InSim 4 (LFS 0.5Z)",
                          "<6>closed track: connected, InSim 4 over UDP, LFS 0.5Z"}));
}

TEST(HeadlessLogLevels, troubles_are_warnings_dumps_debug_the_rest_info) {
    const struct {
        const char* text;
        Level level;
    } rows[] = {
        {"12=7", Level::Debug},
        {"SERVER RACE ORDER", Level::Debug},
        {"Club: grid differs at place 2: the host starts b there, not a", Level::Warning},
        {"Club: 127.0.0.1:29999 refused the InSim connection over TCP", Level::Warning},
        {"Club: the listen port '99999' is not a port number (0 to 65535); not connecting", Level::Warning},
        {"cannotstop has finished the race", Level::Debug},
        {"Club: grid confirmed, 12 drivers", Level::Info},
        {"grid sent (Last Race): 1 lost, 2 cannot, 3 Bob", Level::Info},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(app::HeadlessLog::levelOf(row.text), row.level) << row.text;
    }
}

TEST_F(HeadlessLogTest, a_line_break_in_a_name_from_the_host_cannot_forge_a_journal_line) {
    startWith(true);
    connection(n, 11, "ann\n<3>Club: link lost");
    player(n, 11, 11);
    insim::IsRes res;
    res.UName = "ann\n<3>Club: link lost";
    views(n).ucInSim.ReceivePacket(res.toBytes());
    EXPECT_EQ(written, (V{"<7>Club: ann?<3>Club: link lost has finished the race"}));
}

TEST_F(HeadlessLogTest, lines_outside_a_servers_events_take_their_level_from_the_words_after_a_name) {
    makeForm();
    log = std::make_unique<app::HeadlessLog>(
        *form, stack.clock(), [this](std::string_view line) { written.emplace_back(line); }, true);
    n = addServer("closed circuit");
    // The end of an event sets off writes that are about no one server.
    form->eventHandled.connect([this](std::int16_t) { form->AddStatus("State file x cannot be used"); });
    form->AddStatus("closed circuit: restored 3 finishers");
    connection(n, 11, "ann");
    EXPECT_EQ(written, (V{"<6>closed circuit: restored 3 finishers", "<4>State file x cannot be used"}));
}

TEST_F(HeadlessLogTest, code_page_bytes_with_no_letter_do_not_turn_a_journal_line_into_a_blob) {
    startWith(true);
    insim::IsNcn ncn;
    ncn.UCID = 11;
    ncn.UName = "\x81@\x9dT"; // Shift-JIS text read as Windows-1252
    views(n).ucInSim.ReceivePacket(ncn.toBytes());
    form->AddStatus(views(n).lstConnections.text(0));
    EXPECT_EQ(written.back(), "<6>?@?T");
}
