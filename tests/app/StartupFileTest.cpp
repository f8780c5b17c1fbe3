// The start-up file: positional lines, the value rules, and the single
// failure trap that keeps whatever was applied before it.

#include "AppFixture.h"
#include "app/Numbers.h"

using namespace pm;
using pm::test::AppTest;

namespace {

struct Block {
    std::string name = "A", host = "10.0.0.1", port = "29999", listen = "30000", pw = "pw";
    std::string connect = "0", last = "1", reverse = "0", count = "7";

    std::string text(const std::string& eol = "\r\n") const {
        return "[NEW SERVER] comment" + eol + "Name=" + name + eol + "Host=" + host + eol + "Port=" + port +
               eol + "Listen=" + listen + eol + "Password=" + pw + eol + "Connect=" + connect + eol +
               "LastRace=" + last + eol + "Reverse=" + reverse + eol + "Count=" + count + eol;
    }
};

Block named(const std::string& name) {
    Block b;
    b.name = name;
    return b;
}

// name|host|port|listen|pw|lastRace|reverse|count
std::string describeServer(app::ServerViews& v, const std::string& name) {
    auto& c = v.ucInSim;
    return name + "|" + c.Host() + "|" + c.Port() + "|" + c.PortListen() + "|" + c.AdminPW() + "|" +
           std::to_string(v.chkLastRace.value()) + "|" + std::to_string(v.chkReverse.value()) + "|" +
           v.txtReverse.text();
}

class StartupFileTest : public AppTest {
protected:
    std::vector<std::string> servers() {
        std::vector<std::string> out;
        for (int i = 0; i < form->lstServers.count(); ++i) {
            out.push_back(describeServer(views(static_cast<std::int16_t>(form->lstServers.itemData(i))),
                                   form->lstServers.text(i)));
        }
        return out;
    }
};

const std::string kA = "A|10.0.0.1|29999|30000|pw|1|0|7";

} // namespace

TEST_F(StartupFileTest, file_rules) {
    Block lastLineOpen = named("B");
    Block twoEquals = named("C");
    twoEquals.host = "h=ignored";
    Block rounding = named("E");
    rounding.last = "2.5"; // halves go to the even neighbour: 2 (grey)
    rounding.reverse = "0.5";

    const struct {
        const char* what;
        std::string file;
        std::vector<std::string> expected;
    } rows[] = {
        {"empty file", "", {}},
        {"preamble is free text", "anything at all\r\n" + named("A").text(), {kA}},
        {"LF-only lines: the first block has one line", named("A").text("\n"), {}},
        {"last setting line without CR LF",
         named("A").text() + lastLineOpen.text().substr(0, lastLineOpen.text().size() - 2),
         {kA, "B|10.0.0.1|29999|30000|pw|1|0|7"}},
        {"two '=' give the text between them", twoEquals.text(), {"C|h|29999|30000|pw|1|0|7"}},
        {"leading '=' gives the rest",
         "[NEW SERVER]\r\n=F\r\n=host\r\n=1\r\n=2\r\n=\r\n=\r\n=\r\n=\r\n=3\r\n", {"F|host|1|2||0|0|3"}},
        {"duplicate names are both added", named("A").text() + named("A").text(), {kA, kA}},
        {"line 7/8 round to 0..2", rounding.text(), {"E|10.0.0.1|29999|30000|pw|2|0|7"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        loadWith(row.file);
        EXPECT_EQ(servers(), row.expected);
        EXPECT_EQ(form->txtNewServer.text(), row.expected.empty() ? "Custom" : "");
        EXPECT_EQ(form->ShownIndex(), static_cast<std::int16_t>(row.expected.size()));
        EXPECT_TRUE(dialogs->shown.empty());
    }
}

TEST_F(StartupFileTest, first_failure_ends_reading_and_keeps_what_was_applied) {
    Block third = named("C");
    third.connect = "1";
    third.listen = std::to_string(test::freeUdpPort());
    third.last = "yes"; // a word where a number belongs
    third.reverse = "1";
    const std::string trailer = named("D").text();

    std::string noEquals = named("N").text();
    noEquals.replace(noEquals.find("Port=29999"), 10, "Port 29999");

    const std::string shortText = "[NEW SERVER]\r\nName=S\r\nHost=h\r\nPort=1\r\nListen=2\r\nPassword=x";

    Block outOfRange = named("R");
    outOfRange.reverse = "3";
    Block connectWord = named("W");
    connectWord.connect = "one";

    const struct {
        const char* what;
        std::string file;
        std::vector<std::string> expected;
    } rows[] = {
        {"bad line 7 in block 3",
         named("A").text() + named("B").text() + third.text() + trailer,
         {kA, "B|10.0.0.1|29999|30000|pw|1|0|7", "C|10.0.0.1|29999|" + third.listen + "|pw|0|0|10"}},
        {"non-empty line without '='", noEquals + trailer, {"N|10.0.0.1|55|56|pitboard|0|0|10"}},
        {"block ends early", shortText + "\r\n" + trailer, {"S|h|1|2|x|0|0|10"}},
        {"line 8 does not round to 0..2", outOfRange.text(), {"R|10.0.0.1|29999|30000|pw|1|0|10"}},
        {"line 6 not a number", connectWord.text(), {"W|10.0.0.1|29999|30000|pw|0|0|10"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        loadWith(row.file);
        EXPECT_EQ(servers(), row.expected);
        EXPECT_TRUE(dialogs->shown.empty()) << "the reading fails silently";
        EXPECT_TRUE(form->txtStatus.empty());
    }
    // Row 1's third server had its connect decision applied before line 7 failed.
    loadWith(rows[0].file);
    EXPECT_EQ(views(3).ucInSim.state(), insim::LinkState::Handshake);
    EXPECT_EQ(views(1).ucInSim.state(), insim::LinkState::Idle);
}

TEST_F(StartupFileTest, connect_now_when_line_6_is_numerically_one) {
    for (const std::string value : {"1", "1.0", " 1 ", "0", "", "2"}) {
        SCOPED_TRACE("'" + value + "'");
        Block b;
        b.connect = value;
        b.listen = std::to_string(test::freeUdpPort());
        loadWith(b.text());
        ASSERT_EQ(form->lstServers.count(), 1);
        const bool expectConnect = value == "1" || value == "1.0" || value == " 1 ";
        EXPECT_EQ(views(1).ucInSim.state() == insim::LinkState::Handshake, expectConnect);
        EXPECT_EQ(views(1).chkLastRace.value(), 1) << "the reading goes on after line 6";
    }
}

TEST_F(StartupFileTest, file_is_windows_1252) {
    loadWith(named("Caf\xE9 \x80").text());
    ASSERT_EQ(form->lstServers.count(), 1);
    EXPECT_EQ(form->lstServers.text(0), "Caf\u00e9 \u20ac");
}

TEST(StartupLineValue, value_rules) {
    const struct {
        std::string line;
        std::optional<std::string> value;
    } rows[] = {
        {"", ""},          {"Name=A", "A"},       {"Name=", ""},      {"=rest", "rest"},
        {"a=b=c", "b"},    {"k= v ", " v "},     {"no equals", std::nullopt}, {" ", std::nullopt},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(app::frmMain::GetLineValue(row.line), row.value) << "'" << row.line << "'";
    }
}

TEST(Numbers, parse_and_round) {
    const struct {
        std::string text;
        std::optional<double> value;
    } parsed[] = {{"5", 5},          {" -2 ", -2},        {"0.5", 0.5},         {"1.0", 1},
                  {"+3", 3},         {"1e2", 100},        {"", std::nullopt},   {"abc", std::nullopt},
                  {"5x", std::nullopt}, {"inf", std::nullopt}, {"nan", std::nullopt}, {"+-1", std::nullopt},
                  {"1e400", std::nullopt}, {"0x10", std::nullopt}};
    for (const auto& row : parsed) {
        EXPECT_EQ(app::parseNumber(row.text), row.value) << "'" << row.text << "'";
    }
    const struct {
        double value;
        std::optional<std::int16_t> rounded;
    } rounded[] = {{1.5, 2}, {2.5, 2}, {-0.5, 0}, {-1.5, -2}, {9, 9}, {32767.4, 32767}, {32767.5, std::nullopt},
                   {-32768.5, -32768}, {-32769, std::nullopt}};
    for (const auto& row : rounded) {
        EXPECT_EQ(app::roundToInt16(row.value), row.rounded) << row.value;
    }
}
