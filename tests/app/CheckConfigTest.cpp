// Where the start-up file's reading stops, told the way an administrator
// finds it in an editor, and --check-config built on the same reading.

#include "app/CheckConfig.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "AppFixture.h"
#include "app/StartupFile.h"

using namespace pm;
using namespace pm::test;

namespace {

// A whole block; values "*" keep the defaults (name, host, port, listen,
// password, connect, last race, reverse, count).
std::string block(std::vector<std::string> values, const std::string& head = "[NEW SERVER]") {
    const V defaults{"A", "h", "29999", "30000", "s3cret", "0", "1", "0", "7"};
    std::string out = head + "\r\n";
    for (std::size_t k = 0; k < defaults.size(); ++k) {
        const std::string& v = k < values.size() && values[k] != "*" ? values[k] : defaults[k];
        out += "L" + std::to_string(k + 1) + "=" + v + "\r\n";
    }
    return out;
}

} // namespace

TEST(StartupReader, a_stop_names_the_editor_line_its_text_and_why) {
    std::string noEquals = block({"N"});
    noEquals.replace(noEquals.find("L3="), 3, "L3 ");
    const struct {
        const char* what;
        std::string file;
        std::size_t servers; // added, the last one possibly cut short
        int line;
        std::string text, reason;
    } rows[] = {
        {"LF line ends", "notes\n" + std::string("[NEW SERVER]\nL1=A\nL2=h\n"), 0, 2, "[NEW SERVER]",
         "LF alone"},
        {"a block cut short by the end of the file", block({}) + "x[NEW SERVER] two\r\nL1=B\r\nL2=h", 2, 11,
         "x[NEW SERVER] two",
         "ends after 2 of its 9 setting lines: line 3 of the block (InSim port) is missing"},
        {"no '='", noEquals, 1, 4, "L3 29999", "needs '=' between its label and its value"},
        {"Connect not a number", block({"*", "*", "*", "*", "*", "one"}), 1, 7, "L6=one",
         "the Connect value 'one' is not a number"},
        {"Last Race in the second block", block({}) + block({"*", "*", "*", "*", "*", "*", "yes"}), 2, 18,
         "L7=yes", "the Last Race value 'yes' is not a number"},
        {"Reverse Top out of range", block({"*", "*", "*", "*", "*", "*", "*", "3"}), 1, 9, "L8=3",
         "the Reverse Top value '3' is not 0, 1 or 2"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const app::StartupFileContent content = app::ReadStartupText(row.file);
        EXPECT_EQ(content.servers.size(), row.servers);
        ASSERT_TRUE(content.stop.has_value());
        EXPECT_EQ(content.stop->line, row.line);
        EXPECT_EQ(content.stop->text, row.text);
        EXPECT_NE(content.stop->reason.find(row.reason), std::string::npos) << content.stop->reason;
    }
}

TEST(StartupReader, a_whole_file_numbers_its_servers_by_their_marker_lines) {
    const auto content = app::ReadStartupText("free\r\ntext\r\n" + block({"A"}) + "\r\n" +
                                              block({"B", "*", "*", "*", "", "1"}));
    EXPECT_FALSE(content.stop.has_value());
    ASSERT_EQ(content.servers.size(), 2u);
    EXPECT_EQ(content.servers[0].line, 3);
    EXPECT_EQ(content.servers[1].line, 14);
    EXPECT_EQ(content.servers[1].adminPW, "");
    EXPECT_EQ(content.servers[1].connectNow, true);
    EXPECT_EQ(content.servers[1].reverseCount, "7");
}

class StartupStopTest : public AppTest {};

TEST_F(StartupStopTest, the_program_keeps_the_stop_and_stays_silent) {
    loadWith(block({}) + block({"B", "*", "*", "*", "*", "maybe"}));
    ASSERT_TRUE(form->StartupStopped().has_value());
    EXPECT_EQ(form->StartupStopped()->line, 17);
    EXPECT_EQ(form->serverIndices().size(), 2u);
    EXPECT_TRUE(form->txtStatus.empty());
    EXPECT_TRUE(dialogs->shown.empty());

    loadWith(block({}));
    EXPECT_FALSE(form->StartupStopped().has_value());
    makeForm("/nonexistent/autostart.cfg");
    EXPECT_FALSE(form->StartupStopped().has_value()) << "a missing file is no stop";
}

TEST(CheckConfig, prints_what_a_run_would_add_and_exits_by_the_outcome) {
    const auto dir = std::filesystem::temp_directory_path() / ("pm_check_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::string many;
    for (int i = 0; i < 101; ++i) {
        many += block({"S" + std::to_string(i + 1)});
    }
    const struct {
        const char* what;
        std::optional<std::string> file; // nullopt: the path is a folder
        int code;
        std::vector<std::string> out, err;
    } rows[] = {
        {"whole",
         block({"A"}) + block({"B ", "*", "*", "*", "", "1", "2"}),
         0,
         {"Server 1 (line 1): A\n", "  connect         no, waits for the operator\n",
          "Server 2 (line 11): 'B '", "  admin password  (empty)\n", "  connect         at start\n",
          "  Last Race       grey (counts as off)\n", "Every block reads whole: 2 servers.\n"},
         {}},
        {"empty", "", 0, {"No [NEW SERVER] block"}, {}},
        {"saved as UTF-16", [] {
             std::string wide = "\xff\xfe";
             for (const char c : block({"A"})) {
                 wide += std::string{c, '\0'};
             }
             return wide;
         }(), 1, {"No [NEW SERVER] block", "it is not plain text: saved as UTF-16", "Save it as UTF-8 or ANSI"}, {}},
        {"NUL bytes after a whole block, as a crash while saving leaves them",
         block({"A"}) + std::string(6, '\0'),
         1,
         {"Server 1 (line 1): A\n", "it is not plain text"},
         {}},
        {"stops in the second block",
         block({"A"}) + "[NEW SERVER]\r\nL1=B\r\nL2=h\r\nL3=1\r\nL4=2\r\nL5",
         1,
         {"Server 2 (line 11): B\n", "  InSim port      1\n",
          "  not read, left as a new server has them: admin password, Connect, Last Race",
          "The reading stops at line 16: L5\n", "Servers 1 to 2 are added as shown above"},
         {}},
        {"more servers than a run holds",
         many,
         1,
         {"Server 100 (line 991): S100\n", "The reading stops at line 1001, the [NEW SERVER] of block 101"},
         {}},
        {"ports that no Connect can use",
         block({"A", "*", "4200l"}) + block({"B", "*", "*", "99999"}),
         1,
         {"  line 4: the InSim port '4200l' is not a port number (1 to 65535); this server cannot connect\n",
          "  line 15: the listen port '99999' is not a port number (0 to 65535); this server cannot connect\n",
          "Every block reads whole: 2 servers, but 2 port values above cannot be used.\n"},
         {}},
        {"a line left out: its label says so before the value that stops the reading",
         "[NEW SERVER]\r\nName=A\r\nHost=h\r\nInSim Port=29999\r\nAdmin PW=pw\r\nConnect=0\r\n"
         "Last Race=1\r\nReverse Top=10\r\n",
         1,
         {"  warning: line 5 is read as the listen port (line 4 of the block), but its label 'Admin PW' names the "
          "admin password; a line may be missing above it\n",
          "The reading stops at line 8: Reverse Top=10\n"},
         {}},
        {"over TCP the listen port is not used; over UDP 0 is one socket both ways",
         block({"A", "*", "*", "not used"}) + "InSim Version=\r\nTransport=tcp\r\n" + block({"B", "*", "*", "0"}),
         0,
         {"  transport       tcp\n", "  transport       udp\n", "Every block reads whole: 2 servers.\n"},
         {}},
        {"encoding: UTF-8 told by its bytes", block({"Caf\xc3\xa9"}), 0, {", read as UTF-8\n", "): Caf\xc3\xa9\n"}, {}},
        {"encoding: Windows-1252", block({"Caf\xe9"}), 0, {", read as Windows-1252 (ANSI)\n", "): Caf\xc3\xa9\n"}, {}},
        {"encoding: a byte-order mark", "\xef\xbb\xbf" + block({"A"}), 0,
         {", read as UTF-8 (it starts with a byte-order mark)\n"}, {}},
        {"encoding: a byte-order mark holds against a Windows-1252 byte pasted in below",
         "\xef\xbb\xbf" + block({"Z\xc3\xbcrich"}) + block({"Caf\xe9"}), 0,
         {", read as UTF-8 (it starts with a byte-order mark)\n", "): Z\xc3\xbcrich\n", "): Caf\xc3\xa9\n"}, {}},
        {"missing",
         std::nullopt,
         2,
         {},
         {"pm: cannot read the start-up file '", "': it is a folder, not a file"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        std::filesystem::path path = dir;
        if (row.file) {
            path = dir / "autostart.cfg";
            std::ofstream(path, std::ios::binary) << *row.file;
        }
        std::ostringstream out;
        std::ostringstream err;
        EXPECT_EQ(app::CheckConfig(path, out, err, "pm"), row.code);
        for (const auto& text : row.out) {
            EXPECT_NE(out.str().find(text), std::string::npos) << "'" << text << "' not in:\n" << out.str();
        }
        for (const auto& text : row.err) {
            EXPECT_NE(err.str().find(text), std::string::npos) << "'" << text << "' not in:\n" << err.str();
        }
        EXPECT_EQ(out.str().find("s3cret"), std::string::npos) << "the password is not shown";
    }
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(app::CheckConfig(dir / "nothing.cfg", out, err, "pm"), 2);
    EXPECT_NE(err.str().find("No such file or directory"), std::string::npos) << err.str();
    std::filesystem::remove_all(dir);
}

// Neither a device that never ends nor a pipe that never opens holds the
// check (or a run) up: only plain files are read.
#ifndef _WIN32
TEST(CheckConfig, devices_and_pipes_are_refused_at_once) {
    const auto fifo = std::filesystem::temp_directory_path() / ("pm_fifo_" + std::to_string(::getpid()));
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::filesystem::path& path : {std::filesystem::path("/dev/zero"), fifo}) {
        std::ostringstream out;
        std::ostringstream err;
        EXPECT_EQ(app::CheckConfig(path, out, err, "pm"), 2) << path;
        EXPECT_NE(err.str().find("it is not a plain file"), std::string::npos) << err.str();
    }
    std::filesystem::remove(fifo);
}
#endif
