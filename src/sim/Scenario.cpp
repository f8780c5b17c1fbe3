#include "sim/Scenario.h"

#include <charconv>
#include <cmath>
#include <map>

#include "insim/Packets.h"
#include "sim/Release.h"

namespace pm::sim {

namespace {

struct Word {
    std::string text;
    bool quoted = false;
    std::size_t end = 0; // offset just past the word in the line
};

std::string_view trim(std::string_view s) {
    const auto first = s.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = s.find_last_not_of(" \t\r\n");
    return s.substr(first, last - first + 1);
}

// Splits at blanks; "a b" is one word. Returns false for an open quote.
bool splitWords(std::string_view line, std::vector<Word>& out) {
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) {
            ++i;
        }
        if (i >= line.size()) {
            break;
        }
        Word w;
        if (line[i] == '"') {
            const auto close = line.find('"', i + 1);
            if (close == std::string_view::npos) {
                return false;
            }
            w.text = std::string(line.substr(i + 1, close - i - 1));
            w.quoted = true;
            i = close + 1;
        } else {
            const auto start = i;
            while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') {
                ++i;
            }
            w.text = std::string(line.substr(start, i - start));
        }
        w.end = i;
        out.push_back(std::move(w));
    }
    return true;
}

const std::map<std::string, std::string, std::less<>> kUsage = {
    {"join", "join NAME [NICK] [admin]"},
    {"connect", "connect NAME [NICK] [admin]"},
    {"leave", "leave NAME"},
    {"spectate", "spectate NAME"},
    {"race", "race start|end"},
    {"qualify", "qualify"},
    {"finish", "finish NAME..."},
    {"vote", "vote restart|end|qualify"},
    {"report", "report order"},
    {"chat", "chat NAME TEXT..."},
    {"click", "click NAME ID [left|right|shift-left|shift-right]"},
    {"show", "show NAME"},
    {"wait", "wait SECONDS"},
    {"wait-connected", "wait-connected [SECONDS]"},
    {"expect", "expect grid|connected|message|no-message|button|no-button ..."},
    {"drop", "drop PERCENT"},
    {"duplicate", "duplicate PERCENT"},
    {"reorder", "reorder PERCENT"},
    {"silence", "silence SECONDS"},
    {"restart-server", "restart-server [SECONDS]"},
    {"lfs", "lfs 0.5Z|0.7F|0.8C"},
};

class LineParser {
public:
    LineParser(std::string_view line, std::string where) : line_(line), where_(std::move(where)) {}

    ParsedLine parse() {
        const auto body = trim(line_);
        if (body.empty() || body.front() == '#') {
            return {};
        }
        if (!splitWords(line_, words_)) {
            return fail("a quote is not closed");
        }
        command_ = words_[0].text;
        if (!kUsage.contains(command_)) {
            return fail("unknown command '" + command_ + "'");
        }
        step_.where = where_;
        if (!parseCommand()) {
            return fail(error_.empty() ? "usage: " + kUsage.find(command_)->second : error_);
        }
        ParsedLine out;
        out.step = std::move(step_);
        return out;
    }

private:
    ParsedLine fail(const std::string& why) {
        ParsedLine out;
        out.error = where_ + ": " + why;
        return out;
    }

    std::size_t count() const { return words_.size(); }
    const std::string& word(std::size_t i) const { return words_[i].text; }
    bool is(std::size_t i, std::string_view bare) const {
        return i < count() && !words_[i].quoted && words_[i].text == bare;
    }

    // The line from word i on, as written; one quoted word loses its quotes.
    std::string restFrom(std::size_t i) const {
        if (i >= count()) {
            return {};
        }
        if (i + 1 == count() && words_[i].quoted) {
            return words_[i].text;
        }
        const std::size_t start = words_[i - 1].end;
        return std::string(trim(line_.substr(start)));
    }

    bool number(std::size_t i, double low, double high, std::string_view what, double& out) {
        const std::string& s = word(i);
        double v = 0;
        const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
        if (ec != std::errc() || end != s.data() + s.size() || !std::isfinite(v)) {
            error_ = "'" + s + "' is not " + std::string(what);
            return false;
        }
        if (v < low || v > high) {
            error_ =
                std::string(what) + " must be from " + trimmed(low) + " to " + trimmed(high) + ", not " + s;
            return false;
        }
        out = v;
        return true;
    }
    static std::string trimmed(double v) {
        std::string s = std::to_string(v);
        s.erase(s.find_last_not_of('0') + 1);
        if (s.back() == '.') {
            s.pop_back();
        }
        return s;
    }
    bool seconds(std::size_t i) { return number(i, 0, 24 * 3600, "a number of seconds", step_.value); }
    bool percent(std::size_t i) { return number(i, 0, 100, "a percentage", step_.value); }
    bool clickId(std::size_t i) {
        double v = 0;
        if (!number(i, 0, 239, "a button ClickID", v) || v != std::floor(v)) {
            if (error_.empty()) {
                error_ = "'" + word(i) + "' is not a button ClickID";
            }
            return false;
        }
        step_.number = static_cast<int>(v);
        return true;
    }

    bool person(Op op) {
        // NAME [NICK] [admin]
        if (count() < 2 || count() > 4) {
            return false;
        }
        step_.op = op;
        step_.names = {word(1)};
        std::size_t next = 2;
        if (next < count() && !is(next, "admin")) {
            step_.text = word(next++);
        }
        if (next < count()) {
            if (!is(next, "admin")) {
                return false;
            }
            step_.admin = true;
            ++next;
        }
        return next == count();
    }

    bool oneName(Op op) {
        step_.op = op;
        if (count() != 2) {
            return false;
        }
        step_.names = {word(1)};
        return true;
    }

    bool parseExpect() {
        if (count() < 2) {
            return false;
        }
        const std::string& what = word(1);
        if (what == "grid") {
            step_.op = Op::ExpectGrid;
            for (std::size_t i = 2; i < count(); ++i) {
                step_.names.push_back(word(i));
            }
            return true;
        }
        if (what == "connected") {
            step_.op = Op::ExpectConnected;
            return count() == 2;
        }
        if (what == "message" || what == "no-message") {
            step_.op = what == "message" ? Op::ExpectMessage : Op::ExpectNoMessage;
            if (count() < 4) {
                error_ = "usage: expect " + what + " NAME TEXT...";
                return false;
            }
            step_.names = {word(2)};
            step_.text = restFrom(3);
            return true;
        }
        if (what == "button" || what == "no-button") {
            step_.op = what == "button" ? Op::ExpectButton : Op::ExpectNoButton;
            const bool withText = what == "button";
            if (count() < 4 || (!withText && count() != 4)) {
                error_ = "usage: expect " + what + " NAME ID" + (withText ? " [TEXT...]" : "");
                return false;
            }
            step_.names = {word(2)};
            if (!clickId(3)) {
                return false;
            }
            step_.text = restFrom(4);
            return true;
        }
        error_ =
            "unknown expectation '" + what + "' (grid, connected, message, no-message, button, no-button)";
        return false;
    }

    bool parseCommand() {
        const std::string& c = command_;
        if (c == "join") {
            return person(Op::Join);
        }
        if (c == "connect") {
            return person(Op::Connect);
        }
        if (c == "leave") {
            return oneName(Op::Leave);
        }
        if (c == "spectate") {
            return oneName(Op::Spectate);
        }
        if (c == "show") {
            return oneName(Op::Show);
        }
        if (c == "race") {
            if (count() != 2 || !(is(1, "start") || is(1, "end"))) {
                return false;
            }
            step_.op = is(1, "start") ? Op::RaceStart : Op::RaceEnd;
            return true;
        }
        if (c == "qualify") {
            step_.op = Op::Qualify;
            return count() == 1;
        }
        if (c == "report") {
            step_.op = Op::ReportOrder;
            return count() == 2 && is(1, "order");
        }
        if (c == "finish") {
            step_.op = Op::Finish;
            for (std::size_t i = 1; i < count(); ++i) {
                step_.names.push_back(word(i));
            }
            return !step_.names.empty();
        }
        if (c == "vote") {
            step_.op = Op::Vote;
            if (count() != 2) {
                return false;
            }
            if (is(1, "restart")) {
                step_.number = insim::VOTE_RESTART;
            } else if (is(1, "end")) {
                step_.number = insim::VOTE_END;
            } else if (is(1, "qualify")) {
                step_.number = insim::VOTE_QUALIFY;
            } else {
                error_ = "unknown vote '" + word(1) + "' (restart, end or qualify)";
                return false;
            }
            return true;
        }
        if (c == "chat") {
            step_.op = Op::Chat;
            if (count() < 3) {
                return false;
            }
            step_.names = {word(1)};
            step_.text = restFrom(2);
            return true;
        }
        if (c == "click") {
            step_.op = Op::Click;
            if (count() < 3 || count() > 4 || !clickId(2)) {
                return false;
            }
            step_.names = {word(1)};
            step_.flags = insim::ISB_LMB;
            if (count() == 4) {
                if (is(3, "left")) {
                    step_.flags = insim::ISB_LMB;
                } else if (is(3, "right")) {
                    step_.flags = insim::ISB_RMB;
                } else if (is(3, "shift-left")) {
                    step_.flags = insim::kClickShiftLeft;
                } else if (is(3, "shift-right")) {
                    step_.flags = insim::kClickShiftRight;
                } else {
                    error_ = "unknown click '" + word(3) + "' (left, right, shift-left or shift-right)";
                    return false;
                }
            }
            return true;
        }
        if (c == "wait") {
            step_.op = Op::Wait;
            return count() == 2 && seconds(1);
        }
        if (c == "wait-connected") {
            step_.op = Op::WaitConnected;
            step_.value = 10;
            return count() == 1 || (count() == 2 && seconds(1));
        }
        if (c == "expect") {
            return parseExpect();
        }
        if (c == "drop" || c == "duplicate" || c == "reorder") {
            step_.op = c == "drop" ? Op::Drop : c == "duplicate" ? Op::Duplicate : Op::Reorder;
            return count() == 2 && percent(1);
        }
        if (c == "silence") {
            step_.op = Op::Silence;
            return count() == 2 && seconds(1);
        }
        if (c == "lfs") {
            step_.op = Op::Lfs;
            if (count() != 2) {
                return false;
            }
            const auto release = releaseNamed(word(1));
            if (!release) {
                error_ = "unknown LFS release '" + word(1) + "' (" + releaseChoices() + ")";
                return false;
            }
            step_.text = std::string(releaseName(*release));
            return true;
        }
        if (c == "restart-server") {
            step_.op = Op::RestartServer;
            return count() == 1 || (count() == 2 && seconds(1));
        }
        return false;
    }

    std::string_view line_;
    std::string where_;
    std::vector<Word> words_;
    std::string command_;
    Step step_;
    std::string error_;
};

} // namespace

ParsedLine parseScenarioLine(std::string_view line, const std::string& source, int lineNumber) {
    return LineParser(line, source + ":" + std::to_string(lineNumber)).parse();
}

ParsedScenario parseScenario(std::string_view text, const std::string& source) {
    ParsedScenario out;
    int lineNumber = 0;
    std::size_t start = 0;
    while (start <= text.size()) {
        auto end = text.find('\n', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        ++lineNumber;
        auto parsed = parseScenarioLine(text.substr(start, end - start), source, lineNumber);
        if (!parsed.error.empty()) {
            out.steps.clear();
            out.error = std::move(parsed.error);
            return out;
        }
        if (parsed.step) {
            out.steps.push_back(std::move(*parsed.step));
        }
        start = end + 1;
    }
    return out;
}

} // namespace pm::sim
