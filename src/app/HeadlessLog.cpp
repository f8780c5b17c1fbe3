#include "app/HeadlessLog.h"


namespace pm::app {

HeadlessLog::HeadlessLog(frmMain& form, const platform::Clock& clock, Write writer, bool journal)
    : form_(form), clock_(clock), write_(std::move(writer)), journal_(journal) {
    const auto status = form_.txtStatus.textAdded.connect([this](std::string_view text) { statusLine(text); });
    disconnect_.push_back([this, status] { form_.txtStatus.textAdded.disconnect(status); });
    const auto summary = form_.summaryLine.connect([this](std::int16_t index, const std::string& text) {
        this->write(levelOf(text), form_.ServerName(index) + ": " + text);
    });
    disconnect_.push_back([this, summary] { form_.summaryLine.disconnect(summary); });
}

HeadlessLog::~HeadlessLog() {
    for (auto& undo : disconnect_) {
        undo();
    }
}

void HeadlessLog::note(Level level, std::string_view text) {
    write(level, text);
}

HeadlessLog::Level HeadlessLog::levelOf(std::string_view text) {
    // The start order's and the host's order's dumps: the headline and one
    // "place=player" line per driver.
    if (text == "BH RACE ORDER" || text == "SERVER RACE ORDER") {
        return Level::Debug;
    }
    const auto equals = text.find('=');
    if (equals != std::string_view::npos && equals > 0 &&
        text.find_first_not_of("0123456789=") == std::string_view::npos) {
        return Level::Debug;
    }
    // A driver's name may say anything. One line per finisher is a column
    // per race: the grid line after the vote says the same in one line.
    if (text.ends_with(" has finished the race")) {
        return Level::Debug;
    }
    if (text.starts_with("grid sent (")) {
        return Level::Info;
    }
    // What needs an operator's eye: a link that fails, a grid the host did
    // not take, a file or a setting that cannot be used.
    for (const std::string_view trouble :
         {"cannot", "refused", "closed", "no answer", "did not answer", "differs", "not a port", "not a number",
          "is none of", "neither tcp nor udp", "not plain text", "reading stopped", "ignored datagrams",
          "has not read", "damaged", "dropped", "lost"}) {
        if (text.find(trouble) != std::string_view::npos) {
            return Level::Warning;
        }
    }
    return Level::Info;
}

void HeadlessLog::statusLine(std::string_view text) {
    const std::int16_t index = form_.StatusServer();
    if (index == 0) {
        write(levelOf(text), text);
        return;
    }
    // Lines that name their server already keep the one name.
    const std::string name = form_.ServerName(index) + ": ";
    if (text.starts_with(name)) {
        // A name may say anything ("Closed Club"): only the words after it tell the level.
        write(levelOf(text.substr(name.size())), text);
        return;
    }
    write(levelOf(text), name + std::string(text));
}

namespace {

// Names and nicknames come from the host's packets. A line break in one
// would start a line of its own, which the journal would take at whatever
// priority prefix followed it: one line stays one line.
std::string oneLine(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) {
            c = '?';
        }
    }
    return out;
}

} // namespace

void HeadlessLog::write(Level level, std::string_view text) {
    if (journal_) {
        write_("<" + std::to_string(static_cast<int>(level)) + ">" + oneLine(text));
        return;
    }
    write_(platform::formatLocalDateTime(clock_.wallNow()) + ": " + oneLine(text));
}

} // namespace pm::app
