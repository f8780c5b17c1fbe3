#include "app/CheckConfig.h"

#include <algorithm>
#include <cctype>
#include <string>

#include "app/StartupFile.h"
#include "app/frmMain.h"

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
    if (!notRead.empty()) {
        out << "  not read, left as a new server has them: " << notRead << "\n";
    }
}

} // namespace

int CheckConfig(const std::filesystem::path& path, std::ostream& out, std::ostream& err,
                std::string_view program) {
    std::string whyNot;
    const auto text = LoadStartupFile(path, &whyNot);
    if (!text) {
        err << program << ": cannot read the start-up file '" << path.string() << "': " << whyNot << "\n";
        return kConfigUnreadable;
    }
    const StartupFileContent content = ReadStartupText(*text);
    out << "Start-up file " << path.string() << "\n";

    // The run's server limit ends the reading too, with a message box, at
    // the block after the last server it can hold.
    const std::size_t limit = static_cast<std::size_t>(frmMain::kMaxServerIndex);
    const std::size_t added = std::min(content.servers.size(), limit);
    for (std::size_t i = 0; i < added; ++i) {
        out << "\n";
        printServer(out, static_cast<int>(i + 1), content.servers[i]);
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
        out << "Every block reads whole: " << added << (added == 1 ? " server.\n" : " servers.\n");
    }
    if (notText) {
        out << "  The file holds NUL bytes, so it is not plain text: saved as UTF-16, cut short by a crash, or not "
               "a start-up file at all. Save it as ANSI or UTF-8.\n";
        return kConfigStopsEarly;
    }
    return kConfigReadsWhole;
}

} // namespace pm::app
