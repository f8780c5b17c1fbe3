// The start-up file: positional lines, the value rules, and the single
// failure trap that keeps whatever was applied before it.

#include "AppFixture.h"
#include "app/Numbers.h"

using namespace pm;
using namespace pm::test;

namespace {

// Lines 1..9: name, host, port, listen port, password, connect, last race,
// reverse, count.
std::string block(std::vector<std::string> values, const std::string& eol = "\r\n") {
    const V defaults{"A", "10.0.0.1", "29999", "30000", "pw", "0", "1", "0", "7"};
    std::string out = "[NEW SERVER] comment" + eol;
    for (std::size_t k = 0; k < defaults.size(); ++k) {
        const std::string& v = k < values.size() && values[k] != "*" ? values[k] : defaults[k];
        out += "L" + std::to_string(k + 1) + "=" + v + eol;
    }
    return out;
}

class StartupFileTest : public AppTest {
protected:
    // name|host|port|listen|pw|last race|reverse|count, per listed server
    V servers() {
        V out;
        for (const auto& item : form->lstServers.items()) {
            auto& v = views(static_cast<std::int16_t>(item.data));
            auto& c = v.ucInSim;
            out.push_back(item.text + "|" + c.Host() + "|" + c.Port() + "|" + c.PortListen() + "|" +
                          c.AdminPW() + "|" + std::to_string(v.chkLastRace.value()) + "|" +
                          std::to_string(v.chkReverse.value()) + "|" + v.txtReverse.text());
        }
        return out;
    }
};

const std::string kA = "A|10.0.0.1|29999|30000|pw|1|0|7";

} // namespace

TEST_F(StartupFileTest, reading_rules_and_the_failure_trap) {
    const std::string listen = std::to_string(freeUdpPort());
    const std::string full = block({"B"});
    std::string noEquals = block({"N"});
    noEquals.replace(noEquals.find("L3="), 3, "L3 ");
    const struct {
        const char* what;
        std::string file;
        V expected;
    } rows[] = {
        {"empty file", "", {}},
        {"free text before the first marker", "x\r\n" + block({}), {kA}},
        {"LF-only lines: the block has one line", block({}, "\n"), {}},
        {"last line without CR LF",
         block({}) + full.substr(0, full.size() - 2),
         {kA, "B|10.0.0.1|29999|30000|pw|1|0|7"}},
        {"two '=' give the text between", block({"C", "h=x"}), {"C|h|29999|30000|pw|1|0|7"}},
        {"a leading '=' gives the rest",
         "[NEW SERVER]\r\n=F\r\n=h\r\n=1\r\n=2\r\n=\r\n=\r\n=\r\n=\r\n=3",
         {"F|h|1|2||0|0|3"}},
        {"duplicate names", block({}) + block({}), {kA, kA}},
        {"line 7/8 round half to even",
         block({"E", "*", "*", "*", "*", "*", "2.5", "0.5"}),
         {"E|10.0.0.1|29999|30000|pw|2|0|7"}},
        {"bad line 7 in block 3 keeps 1-2 whole and 3 in part",
         block({}) + full + block({"C", "*", "*", listen, "*", "1", "yes", "1"}) + block({"D"}),
         {kA, "B|10.0.0.1|29999|30000|pw|1|0|7", "C|10.0.0.1|29999|" + listen + "|pw|0|0|10"}},
        {"a line without '=' stops", noEquals + full, {"N|10.0.0.1|55|56|pitboard|0|0|10"}},
        {"a block that ends early",
         "[NEW SERVER]\r\nL=S\r\nL=h\r\nL=1\r\nL=2\r\nL=x\r\n" + full,
         {"S|h|1|2|x|0|0|10"}},
        {"line 8 not 0..2",
         block({"R", "*", "*", "*", "*", "*", "*", "3"}),
         {"R|10.0.0.1|29999|30000|pw|1|0|10"}},
        {"line 6 not a number",
         block({"W", "*", "*", "*", "*", "one"}),
         {"W|10.0.0.1|29999|30000|pw|0|0|10"}},
        {"Windows-1252", block({"Caf\xE9 \x80"}), {"Caf\u00e9 \u20ac|10.0.0.1|29999|30000|pw|1|0|7"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        loadWith(row.file);
        EXPECT_EQ(servers(), row.expected);
        EXPECT_EQ(form->txtNewServer.text(), row.expected.empty() ? "Custom" : "");
        EXPECT_EQ(form->ShownIndex(), static_cast<std::int16_t>(row.expected.size()));
        EXPECT_TRUE(dialogs->shown.empty()) << "the reading fails silently";
        EXPECT_TRUE(form->txtStatus.empty());
    }
    // Block 3 above had its connect decision applied before line 7 failed.
    loadWith(rows[8].file);
    EXPECT_EQ(views(3).ucInSim.state(), insim::LinkState::Handshake);
    EXPECT_EQ(views(1).ucInSim.state(), insim::LinkState::Idle);
}

TEST_F(StartupFileTest, connects_when_line_6_is_numerically_one) {
    for (const std::string value : {"1", "1.0", "0", "", "2"}) {
        SCOPED_TRACE("'" + value + "'");
        loadWith(block({"A", "*", "*", std::to_string(freeUdpPort()), "*", value}));
        EXPECT_EQ(views(1).ucInSim.state() == insim::LinkState::Handshake, value == "1" || value == "1.0");
        EXPECT_EQ(views(1).chkLastRace.value(), 1) << "reading goes on after line 6";
    }
}

TEST(StartupFile, line_values_and_numbers) {
    const std::pair<std::string, std::optional<std::string>> values[] = {
        {"", ""},       {"k=", ""},       {"=rest", "rest"},
        {"a=b=c", "b"}, {"k= v ", " v "}, {"no equals", std::nullopt}};
    for (const auto& [line, value] : values) {
        EXPECT_EQ(app::frmMain::GetLineValue(line), value) << "'" << line << "'";
    }
    const std::pair<std::string, std::optional<double>> numbers[] = {{" -2 ", -2},
                                                                     {"0.5", 0.5},
                                                                     {"1.0", 1},
                                                                     {"+3", 3},
                                                                     {"", std::nullopt},
                                                                     {"5x", std::nullopt},
                                                                     {"inf", std::nullopt},
                                                                     {"+-1", std::nullopt},
                                                                     {"1e400", std::nullopt}};
    for (const auto& [text, value] : numbers) {
        EXPECT_EQ(app::parseNumber(text), value) << "'" << text << "'";
    }
    const std::pair<double, std::optional<std::int16_t>> rounded[] = {
        {1.5, 2}, {2.5, 2}, {-0.5, 0}, {32767.4, 32767}, {32767.5, std::nullopt}, {-32769, std::nullopt}};
    for (const auto& [value, result] : rounded) {
        EXPECT_EQ(app::roundToInt16(value), result) << value;
    }
}

// The tenth line of a block names the InSim version; files without it mean
// 4, and a value we do not speak still adds the server, on 4, with a word.
TEST_F(StartupFileTest, the_tenth_line_sets_the_insim_version) {
    const struct {
        const char* tenth; // nullptr: no tenth line
        const char* version;
        const char* status; // empty: no status line
    } rows[] = {
        {nullptr, "4", ""},
        {"InSim Version=", "4", ""},
        {"InSim Version=10", "10", ""},
        {"Generation= 9 ", "9", ""},
        {"InSim Version=AUTO", "auto", ""},
        {"InSim Version=4", "4", ""},
        {"InSim Version=7", "4", "A: InSim version '7' is none of 4, 9, 10 or auto; using 4"},
        {"just words", "4", "A: InSim version 'just words' is none of 4, 9, 10 or auto; using 4"},
    };
    for (const auto& row : rows) {
        std::string file = block({});
        if (row.tenth != nullptr) {
            file += std::string(row.tenth) + "\r\n";
        }
        file += block({"B"}); // the next block reads on either way
        loadWith(file);
        ASSERT_EQ(form->lstServers.count(), 2) << (row.tenth ? row.tenth : "none");
        EXPECT_EQ(views(static_cast<std::int16_t>(form->lstServers.itemData(0))).ucInSim.InSimVersion(), row.version)
            << (row.tenth ? row.tenth : "none");
        EXPECT_EQ(views(static_cast<std::int16_t>(form->lstServers.itemData(1))).ucInSim.InSimVersion(), "4");
        EXPECT_EQ(statusTexts(), std::string(row.status).empty() ? V{} : V{row.status})
            << (row.tenth ? row.tenth : "none");
    }
}

TEST_F(StartupFileTest, a_port_that_cannot_be_a_port_is_said_once_per_connect) {
    loadWith(block({"A", "*", "4200l", "*", "*", "1"}) + block({"B", "*", "*", "99999", "*", "1"}) +
             block({"C", "*", "*", "99999", "*", "0"}));
    EXPECT_EQ(statusTexts(), (V{"A: the InSim port '4200l' is not a port number (1 to 65535); not connecting",
                                "B: the listen port '99999' is not a port number (0 to 65535); not connecting"}))
        << "a server that waits for the operator says it when asked";
    EXPECT_EQ(views(1).ucInSim.state(), insim::LinkState::Idle);
    EXPECT_EQ(views(1).ucInSim.txtLinkError.text(), "the InSim port '4200l' is not a port number (1 to 65535)");
}

// Names and passwords typed in an editor that saves UTF-8 reach the host
// as the letters they are; every other file keeps its Windows-1252 reading.
TEST_F(StartupFileTest, a_utf8_file_is_read_as_utf8_and_its_texts_go_out_in_the_code_page) {
    const std::string utf8 = block({"Caf\xc3\xa9", "127.0.0.1", "*", "*", "p\xc3\xa4ss"});
    const struct {
        const char* what;
        std::string file;
        std::string name;
    } rows[] = {
        {"UTF-8 with a byte-order mark", "\xef\xbb\xbf" + utf8, "Caf\xc3\xa9"},
        {"UTF-8 without one", utf8, "Caf\xc3\xa9"},
        {"Windows-1252", block({"Caf\xe9", "*", "*", "*", "p\xe4ss"}), "Caf\xc3\xa9"},
        // Bytes that are UTF-8 only by chance: "\xc2\x80" is Windows-1252's "\xc3\x82\xe2\x82\xac".
        {"Windows-1252 that happens to be well-formed UTF-8", block({"\xc2\x80"}), "\xc3\x82\xe2\x82\xac"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        loadWith(row.file);
        ASSERT_EQ(form->lstServers.count(), 1);
        EXPECT_EQ(form->lstServers.text(0), row.name);
    }

    loadWith("\xef\xbb\xbf" + utf8);
    auto& peer = wire(1);
    stack.loop().advance(std::chrono::seconds(1)); // the first handshake try
    const auto datagrams = peer.take();
    ASSERT_FALSE(datagrams.empty());
    const auto& isi = datagrams.front();
    ASSERT_EQ(isi.at(1), insim::ISP_ISI);
    EXPECT_EQ(std::string(isi.begin() + 12, isi.begin() + 16), "p\xe4ss") << "the host's code page, not UTF-8";
}

TEST_F(StartupFileTest, the_eleventh_line_sets_the_transport) {
    const struct {
        const char* eleventh; // nullptr: no eleventh line
        const char* transport;
        const char* status; // empty: no status line
    } rows[] = {
        {nullptr, "udp", ""},
        {"Transport=", "udp", ""},
        {"Transport= TCP ", "tcp", ""},
        {"Transport=udp", "udp", ""},
        {"Transport=quic", "udp", "A: transport 'quic' is neither tcp nor udp; using udp"},
    };
    for (const auto& row : rows) {
        const std::string what = row.eleventh ? row.eleventh : "none";
        std::string file = block({}) + "InSim Version=10\r\n";
        if (row.eleventh != nullptr) {
            file += std::string(row.eleventh) + "\r\n";
        }
        loadWith(file + block({"B"}));
        ASSERT_EQ(form->lstServers.count(), 2) << what;
        EXPECT_EQ(views(1).ucInSim.Transport(), row.transport) << what;
        EXPECT_EQ(views(1).ucInSim.InSimVersion(), "10") << what;
        EXPECT_EQ(views(2).ucInSim.Transport(), "udp") << what;
        EXPECT_EQ(statusTexts(), std::string(row.status).empty() ? V{} : V{row.status}) << what;
    }
}
