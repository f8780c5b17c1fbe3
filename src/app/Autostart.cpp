// The start-up file: blocks of nine positional "label=value" lines (and an
// optional tenth, the protocol generation, that older readers ignore), each
// block introduced by "[NEW SERVER]", lines ending CR LF, text in
// Windows-1252.
//
// The whole reading sits under one failure trap: the first thing that goes
// wrong ends it silently, and whatever was applied until then stays, down to
// the single settings of the server being read. Every step below therefore
// returns false at its first failure instead of validating a block up front.

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <vector>

#include "app/Numbers.h"
#include "app/frmMain.h"
#include "platform/CodePage.h"

namespace pm::app {

namespace {

constexpr std::string_view kMarker = "[NEW SERVER]";
constexpr std::string_view kLineEnd = "\r\n";

std::vector<std::string_view> splitAt(std::string_view text, std::string_view separator) {
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    for (;;) {
        const std::size_t at = text.find(separator, start);
        if (at == std::string_view::npos) {
            pieces.push_back(text.substr(start));
            return pieces;
        }
        pieces.push_back(text.substr(start, at - start));
        start = at + separator.size();
    }
}

std::optional<std::string> readWholeFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) {
        return std::nullopt;
    }
    return platform::cp1252ToUtf8(bytes);
}

// A check box state from the file: a number that rounds to 0, 1 or 2; an
// empty value is 0.
std::optional<int> checkState(const std::string& value) {
    if (value.empty()) {
        return 0;
    }
    const auto number = parseNumber(value);
    if (!number) {
        return std::nullopt;
    }
    const auto rounded = roundToInt16(*number);
    if (!rounded || *rounded < 0 || *rounded > 2) {
        return std::nullopt;
    }
    return *rounded;
}

} // namespace

std::string frmMain::startupGeneration(std::string_view line, const std::string& serverName) {
    const auto value = GetLineValue(line);
    std::string wanted = value ? *value : std::string(line);
    const auto blank = wanted.find_last_not_of(' ');
    wanted.erase(blank == std::string::npos ? 0 : blank + 1);
    wanted.erase(0, std::min(wanted.find_first_not_of(' '), wanted.size()));
    for (char& c : wanted) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    if (wanted.empty()) {
        return "4";
    }
    if (wanted == "4" || wanted == "9" || wanted == "10" || wanted == insim::ucInSim::kAutoGeneration) {
        return wanted;
    }
    // The server still comes up, on the generation every file had before.
    AddStatus(serverName + ": InSim version '" + (value ? *value : std::string(line)) +
              "' is none of 4, 9, 10 or auto; using 4");
    return "4";
}

std::optional<std::string> frmMain::GetLineValue(std::string_view line) {
    if (line.empty()) {
        return std::string();
    }
    const std::size_t first = line.find('=');
    if (first == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view rest = line.substr(first + 1);
    return std::string(rest.substr(0, rest.find('=')));
}

void frmMain::Autostart() {
    const auto text = readWholeFile(startupFile_);
    if (!text) {
        return; // a missing file is a start with no servers, not an error
    }
    const auto blocks = splitAt(*text, kMarker);
    // Whatever stands before the first marker is free text.
    for (std::size_t b = 1; b < blocks.size(); ++b) {
        if (!applyStartupBlock(blocks[b])) {
            return;
        }
    }
}

bool frmMain::applyStartupBlock(std::string_view block) {
    // Line 0 is the rest of the marker's line.
    const auto lines = splitAt(block, kLineEnd);
    const auto value = [&](std::size_t k) -> std::optional<std::string> {
        if (k >= lines.size()) {
            return std::nullopt;
        }
        return GetLineValue(lines[k]);
    };

    // Names from the file are taken as written: empty and repeated names
    // are the file author's business.
    const auto name = value(1);
    if (!name) {
        return false;
    }
    txtNewServer.setText(*name);
    const std::int16_t n = AddServer();
    if (n == 0) {
        return false;
    }
    ServerViews& views = *server(n);
    insim::ucInSim& client = views.ucInSim;

    const auto host = value(2);
    if (!host) {
        return false;
    }
    client.setHost(*host);
    const auto port = value(3);
    if (!port) {
        return false;
    }
    client.setPort(*port);
    const auto listenPort = value(4);
    if (!listenPort) {
        return false;
    }
    client.setPortListen(*listenPort);
    const auto password = value(5);
    if (!password) {
        return false;
    }
    client.setAdminPW(*password);

    const auto connectNow = value(6);
    if (!connectNow) {
        return false;
    }
    const auto connectValue = connectNow->empty() ? std::optional<double>(0) : parseNumber(*connectNow);
    if (!connectValue) {
        return false;
    }
    // The tenth line, the protocol generation, is read before the client
    // connects, which it does with the generation it is given. Files without
    // it keep what they always meant: InSim 4.
    client.setInSimVersion(startupGeneration(lines.size() > 10 ? lines[10] : std::string_view{}, *name));
    if (*connectValue == 1.0) {
        client.Connect();
    }

    const auto lastRace = value(7);
    if (!lastRace) {
        return false;
    }
    const auto lastRaceState = checkState(*lastRace);
    if (!lastRaceState) {
        return false;
    }
    views.chkLastRace.setValue(*lastRaceState);

    const auto reverse = value(8);
    if (!reverse) {
        return false;
    }
    const auto reverseState = checkState(*reverse);
    if (!reverseState) {
        return false;
    }
    views.chkReverse.setValue(*reverseState);

    const auto count = value(9);
    if (!count) {
        return false;
    }
    views.txtReverse.setText(*count);
    return true;
}

} // namespace pm::app
