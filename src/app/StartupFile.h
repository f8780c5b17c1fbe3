#pragma once
// The start-up file read into what it asks for, apart from acting on it: the
// window's logic adds the servers (frmMain::Autostart), and --check-config
// prints them together with the place where the reading stopped.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pm::app {

// One server block's settings in file order. The first failure ends the
// reading, so the settings of a block cut short are filled up to the
// failing line and empty after it; the server is added all the same once
// its name was read.
struct StartupServer {
    int line = 0; // of the block's "[NEW SERVER]" marker
    std::string name;
    std::optional<std::string> host;
    std::optional<std::string> port;
    std::optional<std::string> listenPort;
    std::optional<std::string> adminPW;
    std::optional<bool> connectNow;
    std::optional<int> lastRace;   // check state 0, 1, 2
    std::optional<int> reverseTop; // check state 0, 1, 2
    std::optional<std::string> reverseCount;
    // The optional tenth line: "4", "9", "10" or "auto". Absent or empty is
    // 4, what every file meant before the line existed. A value we do not
    // speak is 4 too, and kept as written for a word to the operator.
    std::string inSimVersion = "4";
    std::optional<std::string> inSimVersionRefused;
    // The optional eleventh line: "tcp" or "udp". Absent or empty is udp,
    // what every file meant before the line existed; any other value is udp
    // too, kept as written for a word to the operator.
    std::string transport = "udp";
    std::optional<std::string> transportRefused;
    // The block's setting lines as they stand, read or not, for a check that
    // tells which line is which: [0] is the block's line 1 (the name).
    struct SettingLine {
        int line = 0;      // as an editor numbers it
        std::string label; // the text before the first '=' (all of it without one)
    };
    std::vector<SettingLine> settingLines;
};

// Where the reading ended before the end of the file, and why.
struct StartupStop {
    int line = 0;       // counted from 1 at every LF, as an editor shows it
    std::string text;   // that line, without its line end
    std::string reason; // in plain words
};

struct StartupFileContent {
    std::vector<StartupServer> servers;
    std::optional<StartupStop> stop;
};

// text: the whole file as UTF-8.
StartupFileContent ReadStartupText(std::string_view text);

// How the file's bytes were read.
enum class StartupEncoding {
    Ascii,       // nothing beyond ASCII: every reading agrees
    Utf8Bom,     // UTF-8, from its byte-order mark
    Utf8,        // UTF-8, told by its bytes
    Windows1252, // ANSI, what every file was before UTF-8 was read
};
std::string_view encodingName(StartupEncoding encoding);

// The whole file as UTF-8: read as UTF-8 when it starts with a byte-order
// mark or is UTF-8 beyond doubt (isUtf8Text), as Windows-1252 otherwise, so
// that no existing file changes meaning. nullopt when it cannot be read,
// with the reason in *whyNot when given.
std::optional<std::string> LoadStartupFile(const std::filesystem::path& path, std::string* whyNot = nullptr,
                                           StartupEncoding* encoding = nullptr);

} // namespace pm::app
