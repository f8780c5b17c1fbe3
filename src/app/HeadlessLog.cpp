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
          "has not read", "damaged", "dropped", "lost", "only the first", "the host answers InSim",
          "not confirmed"}) {
        if (text.find(trouble) != std::string_view::npos) {
            return Level::Warning;
        }
    }
    return Level::Info;
}

void HeadlessLog::statusLine(std::string_view text) {
    const std::int16_t index = form_.StatusServer();
    if (index == 0) {
        // Lines from outside a server's events may still name one ("Club:
        // restored 3 finishers"): a name may say anything, the words after
        // it tell the level.
        for (const std::int16_t each : form_.serverIndices()) {
            const std::string name = form_.ServerName(each) + ": ";
            if (text.starts_with(name)) {
                write(levelOf(text.substr(name.size())), text);
                return;
            }
        }
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
// C1 controls (U+0080 to U+009F, from code-page bytes that have no
// letter) count as control characters to the journal, which then keeps the
// whole line as a blob.
std::string oneLine(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto u = static_cast<unsigned char>(text[i]);
        if (u < 0x20 || u == 0x7F) {
            out += '?';
        } else if (u == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            out += '?';
            ++i;
        } else {
            out += text[i];
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
