#pragma once
// The headless program's log: what an operator follows for many servers at
// once on one screen or in the journal. Every line of a server's own log
// names the server, each line has a level, and the plain-words lines the
// window does without (grid sent) are written here too.
//
// Under systemd the journal stamps each line and keeps its priority: the
// line then carries a priority prefix ("<6>") and no time stamp of ours.
// The per-place lines of a start order ("1=9"), the race-order dumps and
// the finishers one by one are debug, so that `journalctl -p info` reads
// like a summary: per race, the grid sent and how the host took it.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "app/frmMain.h"

namespace pm::app {

class HeadlessLog {
public:
    enum class Level { Warning = 4, Info = 6, Debug = 7 };
    using Write = std::function<void(std::string_view line)>;

    // journal: write for the journal (priority prefix, no time stamp).
    HeadlessLog(frmMain& form, const platform::Clock& clock, Write write, bool journal);
    ~HeadlessLog();
    HeadlessLog(const HeadlessLog&) = delete;
    HeadlessLog& operator=(const HeadlessLog&) = delete;

    // A line of the program's own, about no one server.
    void note(Level level, std::string_view text);

    // The level a status line is written at, from what it says.
    static Level levelOf(std::string_view text);

private:
    void statusLine(std::string_view text);
    void write(Level level, std::string_view text);

    frmMain& form_;
    const platform::Clock& clock_;
    Write write_;
    bool journal_;
    std::vector<std::function<void()>> disconnect_;
};

} // namespace pm::app
