// The start-up file: blocks of nine positional "label=value" lines, each
// block introduced by "[NEW SERVER]", lines ending CR LF, text in
// Windows-1252 or, when it plainly is that, UTF-8.
//
// The whole reading sits under one failure trap: the first thing that goes
// wrong ends it silently, and whatever was applied until then stays, down to
// the single settings of the server being read. The reader therefore keeps
// every setting it got before a failure, and the window's logic applies
// exactly those, in file order.

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "app/Numbers.h"
#include "app/StartupFile.h"
#include "app/frmMain.h"
#include "platform/CodePage.h"

namespace pm::app {

namespace {

constexpr std::string_view kMarker = "[NEW SERVER]";
constexpr std::string_view kLineEnd = "\r\n";
// Setting lines 1 to 9, by what they set, for the reasons a reading stops.
constexpr std::string_view kSettingNames[] = {
    "",        "name",      "host",        "InSim port",   "listen port", "admin password",
    "Connect", "Last Race", "Reverse Top", "Reverse Count"};
constexpr std::size_t kSettingLines = 9;
// The lines after them that a reader may know: the InSim version and the
// transport.
constexpr std::size_t kOptionalLines = 2;

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

std::string inQuotes(std::string_view text) {
    return "'" + std::string(text) + "'";
}

// Line numbers as an editor shows them (a new line at every LF), for places
// inside the file. The reader asks front to back, so each LF is counted once.
class LineNumbers {
public:
    explicit LineNumbers(std::string_view text) : text_(text) {}

    int at(const char* where) {
        const auto offset = static_cast<std::size_t>(where - text_.data());
        if (offset < counted_) {
            counted_ = 0;
            line_ = 1;
        }
        for (; counted_ < offset; ++counted_) {
            line_ += text_[counted_] == '\n' ? 1 : 0;
        }
        return line_;
    }

    // The editor's whole line around a place, without its line end.
    std::string textAround(const char* where) const {
        const auto offset = static_cast<std::size_t>(where - text_.data());
        const std::size_t before = offset == 0 ? std::string_view::npos : text_.rfind('\n', offset - 1);
        const std::size_t start = before == std::string_view::npos ? 0 : before + 1;
        std::string_view line = text_.substr(start, text_.find('\n', offset) - start);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        return std::string(line);
    }

private:
    std::string_view text_;
    std::size_t counted_ = 0;
    int line_ = 1;
};

std::string shortBlockReason(std::string_view block, std::size_t settingsRead) {
    const std::string ends = "the block ends after " + std::to_string(settingsRead) + " of its " +
                             std::to_string(kSettingLines) + " setting lines";
    // The usual cause on Linux: an editor that saved the file with LF alone.
    for (std::size_t at = block.find('\n'); at != std::string_view::npos; at = block.find('\n', at + 1)) {
        if (at == 0 || block[at - 1] != '\r') {
            return "its lines end in LF alone, but every line must end in CR LF; read that way, " + ends;
        }
    }
    return ends + ": line " + std::to_string(settingsRead + 1) + " of the block (" +
           std::string(kSettingNames[settingsRead + 1]) +
           ") is missing before the next [NEW SERVER] or the end of the file";
}

// An optional line's value as a word: blanks around it and case ignored.
std::string optionalWord(std::string_view line, std::optional<std::string>& value) {
    value = frmMain::GetLineValue(line);
    std::string wanted = value ? *value : std::string(line);
    const auto last = wanted.find_last_not_of(" \t");
    wanted.erase(last == std::string::npos ? 0 : last + 1);
    wanted.erase(0, std::min(wanted.find_first_not_of(" \t"), wanted.size()));
    for (char& c : wanted) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return wanted;
}

void readTransport(std::string_view line, StartupServer& s) {
    std::optional<std::string> value;
    const std::string wanted = optionalWord(line, value);
    if (wanted.empty()) {
        return;
    }
    if (wanted == "tcp" || wanted == "udp") {
        s.transport = wanted;
        return;
    }
    s.transportRefused = value ? *value : std::string(line);
}

void readInSimVersion(std::string_view line, StartupServer& s) {
    std::optional<std::string> value;
    const std::string wanted = optionalWord(line, value);
    if (wanted.empty()) {
        return;
    }
    if (wanted == "4" || wanted == "9" || wanted == "10" || wanted == insim::ucInSim::kAutoGeneration) {
        s.inSimVersion = wanted;
        return;
    }
    s.inSimVersionRefused = value ? *value : std::string(line);
}

// Reads one block into out.servers; false, with out.stop set, at the first
// failure.
bool readBlock(std::string_view block, LineNumbers& numbers, StartupFileContent& out) {
    // Line 0 is the rest of the marker's line.
    const auto lines = splitAt(block, kLineEnd);
    const char* marker = block.data() - kMarker.size();
    const int markerLine = numbers.at(marker);
    const auto stopAt = [&](const char* where, std::string reason) {
        const int line = numbers.at(where);
        out.stop = StartupStop{line, numbers.textAround(where), std::move(reason)};
        return false;
    };
    const auto value = [&](std::size_t k) -> std::optional<std::string> {
        if (k >= lines.size()) {
            stopAt(marker, shortBlockReason(block, lines.size() - 1));
            return std::nullopt;
        }
        auto v = frmMain::GetLineValue(lines[k]);
        if (!v) {
            stopAt(lines[k].data(),
                   "a setting line needs '=' between its label and its value (this is line " +
                       std::to_string(k) + " of the block, the " + std::string(kSettingNames[k]) +
                       "; an empty line is allowed)");
        }
        return v;
    };
    // A check box state: a number that rounds to 0, 1 or 2; empty is 0.
    const auto checkState = [&](std::size_t k) -> std::optional<int> {
        const auto text = value(k);
        if (!text) {
            return std::nullopt;
        }
        if (text->empty()) {
            return 0;
        }
        const std::string what = "the " + std::string(kSettingNames[k]) + " value " + inQuotes(*text);
        const std::string takes = "; it takes 0 (off), 1 (on) or 2 (grey, counts as off)";
        const auto number = parseNumber(*text);
        if (!number) {
            stopAt(lines[k].data(), what + " is not a number" + takes);
            return std::nullopt;
        }
        const auto rounded = roundToInt16(*number);
        if (!rounded || *rounded < 0 || *rounded > 2) {
            stopAt(lines[k].data(), what + " is not 0, 1 or 2" + takes);
            return std::nullopt;
        }
        return *rounded;
    };

    // Names from the file are taken as written: empty and repeated names
    // are the file author's business.
    const auto name = value(1);
    if (!name) {
        return false;
    }
    StartupServer& s = out.servers.emplace_back();
    s.line = markerLine;
    s.name = *name;
    for (std::size_t k = 1; k < lines.size() && k <= kSettingLines + kOptionalLines; ++k) {
        s.settingLines.push_back({numbers.at(lines[k].data()), std::string(lines[k].substr(0, lines[k].find('=')))});
    }
    // The tenth and eleventh lines never stop the reading: older readers
    // ignore them, and a block cut short still connects in the generation
    // and over the transport it names.
    if (lines.size() > kSettingLines + 1) {
        readInSimVersion(lines[kSettingLines + 1], s);
    }
    if (lines.size() > kSettingLines + 2) {
        readTransport(lines[kSettingLines + 2], s);
    }
    if (!(s.host = value(2)) || !(s.port = value(3)) || !(s.listenPort = value(4)) ||
        !(s.adminPW = value(5))) {
        return false;
    }
    const auto connect = value(6);
    if (!connect) {
        return false;
    }
    const auto connectValue = connect->empty() ? std::optional<double>(0) : parseNumber(*connect);
    if (!connectValue) {
        return stopAt(lines[6].data(), "the Connect value " + inQuotes(*connect) +
                                           " is not a number; 1 connects at start, 0 or nothing waits");
    }
    s.connectNow = *connectValue == 1.0;
    if (!(s.lastRace = checkState(7)) || !(s.reverseTop = checkState(8))) {
        return false;
    }
    return static_cast<bool>(s.reverseCount = value(9));
}

} // namespace

StartupFileContent ReadStartupText(std::string_view text) {
    StartupFileContent out;
    LineNumbers numbers(text);
    const auto blocks = splitAt(text, kMarker);
    // Whatever stands before the first marker is free text.
    for (std::size_t b = 1; b < blocks.size(); ++b) {
        if (!readBlock(blocks[b], numbers, out)) {
            break;
        }
    }
    return out;
}

namespace {
constexpr std::uintmax_t kLargestStartupFile = 4 * 1024 * 1024;
} // namespace

std::string_view encodingName(StartupEncoding encoding) {
    switch (encoding) {
    case StartupEncoding::Ascii: return "plain ASCII";
    case StartupEncoding::Utf8Bom: return "UTF-8 (it starts with a byte-order mark)";
    case StartupEncoding::Utf8: return "UTF-8";
    case StartupEncoding::Windows1252: return "Windows-1252 (ANSI)";
    }
    return "";
}

namespace {

// Names and passwords typed in an editor that saves UTF-8 must reach the
// host as the same letters, which the code page conversion of every packet
// then gives the host in its own single bytes.
std::string decodeStartupBytes(std::span<const std::uint8_t> bytes, StartupEncoding& encoding) {
    constexpr std::string_view kBom = "\xEF\xBB\xBF";
    const std::string_view raw(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    // The mark is the editor's word for the whole file: a stray byte further
    // down must not turn every UTF-8 letter above it into two.
    if (raw.starts_with(kBom)) {
        encoding = StartupEncoding::Utf8Bom;
        return platform::utf8WithStrayCp1252(raw.substr(kBom.size()));
    }
    const bool ascii = std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b < 0x80; });
    if (ascii) {
        encoding = StartupEncoding::Ascii;
        return std::string(raw);
    }
    if (platform::isUtf8Text(raw)) {
        encoding = StartupEncoding::Utf8;
        return std::string(raw);
    }
    encoding = StartupEncoding::Windows1252;
    return platform::cp1252ToUtf8(bytes);
}

} // namespace

std::optional<std::string> LoadStartupFile(const std::filesystem::path& path, std::string* whyNot,
                                           StartupEncoding* encoding) {
    const auto fail = [whyNot](std::string reason) -> std::optional<std::string> {
        if (whyNot != nullptr) {
            *whyNot = std::move(reason);
        }
        return std::nullopt;
    };
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        return fail("it is a folder, not a file");
    }
    // A device or a pipe would never end, or never begin: only a plain
    // file of a start-up file's size is read.
    const auto status = std::filesystem::status(path, ec);
    if (!ec && std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
        return fail("it is not a plain file (a device, a pipe or a socket)");
    }
    if (const auto size = std::filesystem::file_size(path, ec); !ec && size > kLargestStartupFile) {
        return fail("it is larger than " + std::to_string(kLargestStartupFile / (1024 * 1024)) +
                    " MiB; a start-up file of 100 servers is a few dozen kilobytes");
    }
    errno = 0;
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.string().c_str(), "rb"), &std::fclose);
    if (!file) {
        return fail(errno != 0 ? std::strerror(errno) : "it cannot be opened");
    }
    std::vector<std::uint8_t> bytes;
    std::uint8_t chunk[65536];
    for (;;) {
        const std::size_t got = std::fread(chunk, 1, sizeof chunk, file.get());
        bytes.insert(bytes.end(), chunk, chunk + got);
        if (got < sizeof chunk) {
            break;
        }
        if (bytes.size() > kLargestStartupFile) { // grown since it was measured
            return fail("it is larger than " + std::to_string(kLargestStartupFile / (1024 * 1024)) + " MiB");
        }
    }
    if (std::ferror(file.get()) != 0) {
        return fail(errno != 0 ? std::strerror(errno) : "it cannot be read");
    }
    StartupEncoding read = StartupEncoding::Ascii;
    std::string text = decodeStartupBytes(bytes, read);
    if (encoding != nullptr) {
        *encoding = read;
    }
    return text;
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
    const auto text = LoadStartupFile(startupFile_);
    if (!text) {
        return; // a missing file is a start with no servers, not an error
    }
    StartupFileContent content = ReadStartupText(*text);
    startupStop_ = std::move(content.stop);
    startupNotText_ = text->find('\0') != std::string::npos;
    for (const StartupServer& s : content.servers) {
        if (!applyStartupServer(s)) {
            return;
        }
    }
}

bool frmMain::applyStartupServer(const StartupServer& s) {
    txtNewServer.setText(s.name);
    const std::int16_t n = AddServer();
    if (n == 0) {
        return false;
    }
    ServerViews& views = *server(n);
    insim::ucInSim& client = views.ucInSim;
    // A server cut short by a failure has its settings up to that line;
    // the rest keep their initial values.
    if (s.host) {
        client.setHost(*s.host);
    }
    if (s.port) {
        client.setPort(*s.port);
    }
    if (s.listenPort) {
        client.setPortListen(*s.listenPort);
    }
    if (s.adminPW) {
        client.setAdminPW(*s.adminPW);
    }
    // Set before the client connects, which it does in this generation.
    client.setInSimVersion(s.inSimVersion);
    if (s.inSimVersionRefused) {
        // The server still comes up, on the generation every file had before.
        AddStatus(s.name + ": InSim version '" + *s.inSimVersionRefused +
                  "' is none of 4, 9, 10 or auto; using 4");
    }
    client.setTransport(s.transport);
    if (s.transportRefused) {
        AddStatus(s.name + ": transport '" + *s.transportRefused + "' is neither tcp nor udp; using udp");
    }
    if (s.connectNow.value_or(false)) {
        client.Connect();
    }
    if (s.lastRace) {
        views.chkLastRace.setValue(*s.lastRace);
    }
    if (s.reverseTop) {
        views.chkReverse.setValue(*s.reverseTop);
    }
    if (s.reverseCount) {
        views.txtReverse.setText(*s.reverseCount);
    }
    startupRules_[n] = {s.lastRace, s.reverseTop, s.reverseCount};
    return true;
}

const frmMain::StartupRules* frmMain::StartupRulesRead(std::int16_t index) const {
    const auto it = startupRules_.find(index);
    return it == startupRules_.end() ? nullptr : &it->second;
}

} // namespace pm::app
