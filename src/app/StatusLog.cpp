#include "app/StatusLog.h"

namespace pm::app {

void StatusLog::AddStatus(std::string_view text) {
    std::string line = platform::formatLocalDateTime(clock_.wallNow());
    line += ": ";
    line += text;
    lines_.push_back(std::move(line));
    lineAdded(lines_.back());
    textAdded(text);
    while (retention_ != 0 && lines_.size() > retention_) {
        lines_.pop_front();
    }
}

std::vector<std::string> StatusLog::newestFirst() const {
    return {lines_.rbegin(), lines_.rend()};
}

std::string StatusLog::text() const {
    std::string out;
    for (auto it = lines_.rbegin(); it != lines_.rend(); ++it) {
        out += *it;
        out += "\r\n";
    }
    return out;
}

} // namespace pm::app
