#include "app/CheckConfig.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <string>
#include <vector>

#include "app/StartupFile.h"
#include "app/frmMain.h"
#include "insim/ucInSim.h"

namespace pm::app {

namespace {

std::string checkText(int state) {
    switch (state) {
    case 0: return "off";
    case 1: return "on";
    default: return "grey (counts as off)";
    }
}

// Values are taken as written, blanks included; quotes make the blanks
// visible, since a host or a password with a stray blank is a classic.
std::string shown(const std::string& value) {
    if (value.empty()) {
        return "(empty)";
    }
    const bool blankAtEnd = std::isspace(static_cast<unsigned char>(value.front())) != 0 ||
                            std::isspace(static_cast<unsigned char>(value.back())) != 0;
    return blankAtEnd ? "'" + value + "' (the blanks are part of it)" : value;
}

// The labels people write for each setting line, in the order of the
// lines, lower case without blanks or signs. Labels are free text, so only
// one of these standing on another setting's line is worth a word.
struct UsualLabels {
    std::string_view setting;
    std::vector<std::string_view> labels;
};
const std::vector<UsualLabels>& usualLabels() {
    static const std::vector<UsualLabels> table = {
        {"name", {"name", "servername"}},
        {"host", {"host", "hostip", "ip", "hostname", "hostaddress", "serverip"}},
        {"InSim port", {"insimport", "hostport", "serverport", "port"}},
        {"listen port", {"listenport", "localport", "udpport"}},
        {"admin password", {"adminpw", "adminpassword", "adminpass", "password", "pw"}},
        {"Connect", {"connect", "autoconnect"}},
        {"Last Race", {"lastrace"}},
        {"Reverse Top", {"reversetop"}},
        {"Reverse Count", {"reversecount"}},
        {"InSim version", {"insimversion", "insimver"}},
        {"transport", {"transport", "protocol"}},
    };
    return table;
}

std::string labelKey(std::string_view label) {
    std::string key;
    for (const char c : label) {
        if (std::isalnum(static_cast<unsigned char>(c)) != 0) {
            key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
    }
    return key;
}

// Which setting a label names, as an index into usualLabels(); nullopt for
// a label that names none of them.
std::optional<std::size_t> settingNamedBy(std::string_view label) {
    const std::string key = labelKey(label);
    const auto& table = usualLabels();
    for (std::size_t k = 0; k < table.size(); ++k) {
        if (std::find(table[k].labels.begin(), table[k].labels.end(), key) != table[k].labels.end()) {
            return k;
        }
    }
    return std::nullopt;
}

// A label that names another setting than its place: the usual sign of a
// line left out above it (or one too many), which shifts every value up.
void warnAboutLabels(std::ostream& out, const StartupServer& s) {
    const auto& table = usualLabels();
    for (std::size_t k = 0; k < s.settingLines.size() && k < table.size(); ++k) {
        const auto& line = s.settingLines[k];
        const auto named = settingNamedBy(line.label);
        if (!named || *named == k) {
            continue;
        }
        out << "  warning: line " << line.line << " is read as the " << table[k].setting << " (line " << k + 1
            << " of the block), but its label '" << line.label << "' names the " << table[*named].setting
            << (*named > k ? "; a line may be missing above it" : "; a line may be one too many above it")
            << "\n";
        return; // the first one says it; the lines below it are shifted alike
    }
}

// Port values that no Connect can use: the run would stay idle with only a
// status line to say why, so the check fails on them. The listen port is
// UDP's alone, and 0 there is the one socket that a router lets answers
// through.
int reportBadPorts(std::ostream& out, const StartupServer& s) {
    int bad = 0;
    const auto check = [&](const std::optional<std::string>& value, std::size_t k, std::string_view what,
                           bool zeroAllowed) {
        if (!value || k >= s.settingLines.size()) {
            return;
        }
        const auto port = insim::ucInSim::ParsePort(*value, zeroAllowed);
        if (port) {
            return;
        }
        ++bad;
        out << "  line " << s.settingLines[k].line << ": the " << what << " '" << *value
            << "' is not a port number (" << (zeroAllowed ? "0" : "1") << " to 65535); this server cannot connect\n";
    };
    check(s.port, 2, "InSim port", false);
    if (s.transport == "udp") {
        check(s.listenPort, 3, "listen port", true);
    }
    return bad;
}

void printServer(std::ostream& out, int number, const StartupServer& s) {
    out << "Server " << number << " (line " << s.line << "): " << shown(s.name) << "\n";
    const auto row = [&out](std::string_view label, const std::string& value) {
        out << "  " << label << std::string(16 - label.size(), ' ') << value << "\n";
    };
    std::string notRead;
    const auto missing = [&notRead](std::string_view what) {
        notRead += notRead.empty() ? "" : ", ";
        notRead += what;
    };
    s.host ? row("host", shown(*s.host)) : missing("host");
    s.port ? row("InSim port", shown(*s.port)) : missing("InSim port");
    s.listenPort ? row("listen port", shown(*s.listenPort)) : missing("listen port");
    // The password itself stays out of terminals and pasted reports.
    s.adminPW ? row("admin password", s.adminPW->empty() ? "(empty)" : "(set)") : missing("admin password");
    s.connectNow ? row("connect", *s.connectNow ? "at start" : "no, waits for the operator")
                 : missing("Connect");
    s.lastRace ? row("Last Race", checkText(*s.lastRace)) : missing("Last Race");
    s.reverseTop ? row("Reverse Top", checkText(*s.reverseTop)) : missing("Reverse Top");
    s.reverseCount ? row("Reverse Count", shown(*s.reverseCount)) : missing("Reverse Count");
    row("InSim version", s.inSimVersionRefused ? "4 ('" + *s.inSimVersionRefused + "' is none of 4, 9, 10 or auto)"
                                               : s.inSimVersion);
    row("transport", s.transportRefused ? "udp ('" + *s.transportRefused + "' is neither tcp nor udp)"
                                        : s.transport);
    if (!notRead.empty()) {
        out << "  not read, left as a new server has them: " << notRead << "\n";
    }
}

} // namespace

int CheckConfig(const std::filesystem::path& path, std::ostream& out, std::ostream& err,
                std::string_view program) {
    std::string whyNot;
    StartupEncoding encoding = StartupEncoding::Ascii;
    const auto text = LoadStartupFile(path, &whyNot, &encoding);
    if (!text) {
        err << program << ": cannot read the start-up file '" << path.string() << "': " << whyNot << "\n";
        return kConfigUnreadable;
    }
    const StartupFileContent content = ReadStartupText(*text);
    out << "Start-up file " << path.string() << ", read as " << encodingName(encoding) << "\n";

    // The run's server limit ends the reading too, with a message box, at
    // the block after the last server it can hold.
    const std::size_t limit = static_cast<std::size_t>(frmMain::kMaxServerIndex);
    const std::size_t added = std::min(content.servers.size(), limit);
    int badPorts = 0;
    for (std::size_t i = 0; i < added; ++i) {
        out << "\n";
        printServer(out, static_cast<int>(i + 1), content.servers[i]);
        warnAboutLabels(out, content.servers[i]);
        badPorts += reportBadPorts(out, content.servers[i]);
    }
    out << "\n";
    if (content.servers.size() > limit) {
        out << "The reading stops at line " << content.servers[limit].line << ", the [NEW SERVER] of block "
            << limit + 1 << ":\n  one run holds at most " << limit
            << " servers; this block and the rest of the file are not added.\n";
        return kConfigStopsEarly;
    }
    if (content.stop) {
        const StartupStop& stop = *content.stop;
        out << "The reading stops at line " << stop.line << ": " << stop.text << "\n  " << stop.reason
            << ".\n";
        const std::string kept = added == 0 ? "No server is added"
                                 : added == 1
                                     ? "Server 1 is added as shown above"
                                     : "Servers 1 to " + std::to_string(added) + " are added as shown above";
        out << "  " << kept << "; the rest of the file is not read.\n";
        return kConfigStopsEarly;
    }
    // Plain text has no NUL bytes. A file saved as UTF-16 ("Unicode" in
    // Notepad) has one in every ASCII character, which hides every marker;
    // one cut short by a crash while saving can end in a run of them, which
    // the last block reads as a value.
    const bool notText = text->find('\0') != std::string::npos;
    if (content.servers.empty()) {
        out << "No [NEW SERVER] block: the program starts with no servers.\n";
    } else if (!notText) {
        out << "Every block reads whole: " << added << (added == 1 ? " server" : " servers");
        if (badPorts > 0) {
            out << ", but " << badPorts << (badPorts == 1 ? " port value" : " port values")
                << " above cannot be used";
        }
        out << ".\n";
    }
    if (notText) {
        out << "  The file holds NUL bytes, so it is not plain text: saved as UTF-16, cut short by a crash, or not "
               "a start-up file at all. Save it as UTF-8 or ANSI.\n";
        return kConfigStopsEarly;
    }
    return badPorts > 0 ? kConfigStopsEarly : kConfigReadsWhole;
}

} // namespace pm::app
