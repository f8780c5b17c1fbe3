#pragma once
// What an operator needs to know about one server, in one place: the link,
// the last error, the grid the next vote would send and the last one sent,
// and a few counters. The window, the headless log and the web page read
// this; none of them works out a state or a grid of its own.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pm::app {

enum class LinkPhase { Idle, Connecting, Connected, Silent, Retrying, Stopped };
// One word per phase ("idle", "connecting", "connected", "silent",
// "retrying", "stopped"), as the web page and the API name them.
std::string_view linkPhaseWord(LinkPhase phase);

struct LinkStatus {
    LinkPhase phase = LinkPhase::Idle;
    int attempt = 0;          // connecting: try n of 3
    int generation = 0;       // connected: the InSim generation spoken (0 before it is known)
    std::string transport;    // "tcp" or "udp" (of the link, or of the next try)
    std::string release;      // connected: the host's LFS release, once it said it
    int silentSeconds = 0;    // connected or silent: seconds since the host's last packet
    int retryInSeconds = 0;   // retrying: seconds until the next try
    std::string reason;       // retrying, stopped: why, in plain words

    // A short text for a badge: "connected", "silent 40 s", "retrying in 5 s".
    std::string badge() const;
    // The whole state in a line: "connected, InSim 10 over TCP, LFS 0.8C".
    std::string line() const;
};

// A driver's place in a grid. player 0: not on the track now, so the host
// gets no player for the place and the driver no message.
struct GridPlace {
    int place = 0;
    std::string user;
    std::string nickname; // with its LFS colour codes
    std::uint8_t player = 0;
};

enum class GridRule { None, LastRace, ReverseTop, Custom };

struct NextGrid {
    GridRule rule = GridRule::None;
    // "Last Race", "Reverse Top 4", "Custom"; "none" when a vote sends nothing.
    std::string ruleName;
    // Why the rule is not quite what the boxes say ("the Reverse Top count
    // 'x' is not a number: the plain finishing order is used"); else empty.
    std::string ruleNote;
    std::vector<GridPlace> places;
    // How many places the host's packet takes; places after it are not sent.
    int slots = 0;
};

enum class GridOutcome { Awaited, Confirmed, Differed, Unconfirmed };
std::string_view gridOutcomeWord(GridOutcome outcome);

struct SentGrid {
    std::string ruleName;
    std::vector<GridPlace> places;
    GridOutcome outcome = GridOutcome::Awaited;
    std::string outcomeText; // "grid confirmed, 12 drivers"; empty while awaited
};

struct ServerCounters {
    std::uint64_t votesAnswered = 0;  // restart votes that sent a grid
    std::uint64_t gridsSent = 0;      // votes and *reorder
    std::uint64_t gridsConfirmed = 0;
    std::uint64_t gridsDiffered = 0;
};

struct ServerStatus {
    std::int16_t index = 0;
    std::string name;
    LinkStatus link;
    std::string lastError; // empty while nothing is wrong
    NextGrid nextGrid;
    std::optional<SentGrid> lastGrid;
    ServerCounters counters;
    // The server's last status lines, stamped, oldest first; only while
    // frmMain::KeepRecentLines asks for them. The start order's per-place
    // lines are left out.
    std::vector<std::string> recentLines;
    // How many lines the server has had kept since it was added: a viewer
    // that saw n can take just the last (recentLinesKept - n).
    std::uint64_t recentLinesKept = 0;
};

// A nickname as people read it: LFS colour codes (^0 to ^9) left out.
std::string withoutColours(std::string_view nickname);

} // namespace pm::app
