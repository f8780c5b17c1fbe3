#pragma once
// The status log: time-stamped lines about races and start orders. Lines are
// kept oldest first so that adding one never copies the log; the window shows
// them newest first.

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Clock.h"
#include "platform/Signal.h"

namespace pm::app {

class StatusLog {
public:
    explicit StatusLog(const platform::Clock& clock) : clock_(clock) {}

    // Stamps the text with the local date and time and keeps the line.
    void AddStatus(std::string_view text);

    std::size_t size() const { return lines_.size(); }
    bool empty() const { return lines_.empty(); }
    // Oldest first; index 0 is the first line ever added.
    const std::deque<std::string>& lines() const { return lines_; }
    const std::string& newest() const { return lines_.back(); }
    // The order the window shows.
    std::vector<std::string> newestFirst() const;
    // The whole log as one text, newest line first, each line ending CR LF.
    std::string text() const;

    // Raised once per added line, with the stamped line.
    platform::Signal<const std::string&> lineAdded;
    // Raised once per added line too, with the text alone, for a writer
    // that stamps it in its own way (or leaves that to the journal).
    platform::Signal<std::string_view> textAdded;

    // How many lines stay in memory; 0 (the default) keeps every line. The
    // headless program writes each line out as it comes and keeps only a
    // tail, so that weeks of races do not grow it without end.
    void setRetention(std::size_t lines) { retention_ = lines; }

private:
    const platform::Clock& clock_;
    std::deque<std::string> lines_;
    std::size_t retention_ = 0;
};

} // namespace pm::app
