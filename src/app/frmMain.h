#pragma once
// The main window's logic, free of any toolkit: the server list, one InSim
// client and set of views per server, the status log, and the rules that turn
// race results into the next race's start order. The desktop window and the
// headless program both drive this object and mirror its models.
//
// The work is split by concern: frmMain.cpp (start-up, server panel),
// Autostart.cpp (start-up file), RaceTracking.cpp, StartOrder.cpp,
// AdminCommands.cpp, ButtonRouting.cpp, CustomOrderScreen.cpp.

#include <array>
#include <deque>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "app/CustomOrderScreen.h"
#include "app/ServerStatus.h"
#include "app/ServerViews.h"
#include "app/StartupFile.h"
#include "app/StatusLog.h"
#include "platform/Controls.h"
#include "platform/Platform.h"
#include "platform/Signal.h"

namespace pm::app {

class frmMain {
public:
    // Highest server index one run hands out. Indices are never reused, so
    // this is also the number of servers that can be added in one run.
    static constexpr std::int16_t kMaxServerIndex = 100;
    // The template set: shown before any server, never a server itself.
    static constexpr std::int16_t kTemplateIndex = 0;
    // ShownIndex() after the shown server was removed.
    static constexpr std::int16_t kNothingShown = -1;

    static constexpr const char* kCaptionPrefix = "Brenhollow's Paddock Marshal ";
    static constexpr const char* kDialogTitle = "Brenhollow's Paddock Marshal";
    static constexpr const char* kNameRefused =
        "This Server Name is not allowed because it is already being used or invalid";
    static constexpr const char* kTooManyServers =
        "No more servers can be added: one run holds at most 100 servers, removed ones included. "
        "Restart the program to add more.";

    // startupFile: the start-up file that Form_Load reads (missing = none).
    frmMain(platform::Platform& platform, std::filesystem::path startupFile);
    ~frmMain();
    frmMain(const frmMain&) = delete;
    frmMain& operator=(const frmMain&) = delete;

    // The start-up sequence: reads the start-up file, then sets the caption.
    // Separate from construction so that observers can subscribe first.
    void Form_Load();

    // "Brenhollow's Paddock Marshal v0.0.1007"
    static std::string VersionCaption();

    // ---- Window-level views
    platform::TextBox Caption{kCaptionPrefix};
    platform::ListBox lstServers; // item text = server name, item data = server index
    platform::TextBox txtNewServer{"Custom"};
    platform::CommandButton cmdNewServer{"Add Server"}; // clicked -> cmdNewServer_Click
    StatusLog txtStatus;

    // ---- Servers
    // The views of a server, or of the template set (index 0); nullptr for
    // an index that names nothing.
    ServerViews* server(std::int16_t index);
    const ServerViews* server(std::int16_t index) const;
    // Existing server indices, ascending; the template set is not among them.
    std::vector<std::int16_t> serverIndices() const;
    std::int16_t LastServerIndex() const { return LastServerIndex_; }
    std::int16_t ShownIndex() const { return shownIndex_; }

    platform::Signal<std::int16_t> shownChanged;   // after ShowUC changed the shown set
    platform::Signal<std::int16_t> serverAdded;    // the set exists, before it is listed
    platform::Signal<std::int16_t> serverRemoving; // the set still exists, about to go
    // Around each of a client's events that the window handles: whatever a
    // handler changes is whole by eventHandled, never halfway through.
    platform::Signal<std::int16_t> eventStarting;
    platform::Signal<std::int16_t> eventHandled;
    // A line for an operator who follows many servers at once, beyond the
    // status log's own lines ("grid sent (Reverse Top 3): 1 Ann, 2 Bob"):
    // the headless log writes it, the window's log keeps its lines as they
    // were.
    platform::Signal<std::int16_t, const std::string&> summaryLine;
    // The server whose event is being handled now, whose lines the status
    // log is being given; 0 between events.
    std::int16_t StatusServer() const { return statusServer_; }
    // The name the server is listed under ("Server n" when it is not).
    std::string ServerName(std::int16_t index) const { return serverName(index); }

    // ---- What an operator sees
    // The server's status as it stands now; nullopt for an index that names
    // no server.
    std::optional<ServerStatus> Status(std::int16_t index) const;
    // The grid a restart vote would send now, by the rule that would apply:
    // the same code the vote runs.
    NextGrid PlanGrid(std::int16_t index) const;
    // Something in a server's status may have changed: its link, lists,
    // rules or grids. Raised often (once per list change); a viewer that
    // redraws should gather them.
    platform::Signal<std::int16_t> statusChanged;
    // Keeps each server's last `lines` status lines (and summary lines) for
    // ServerStatus::recentLines; 0, the default, keeps none, so that a
    // program nobody asks costs nothing per line.
    void KeepRecentLines(std::size_t lines);

    // ---- Arranging the grid by hand, as the in-game screen does. Each
    // switches the server to Custom; the first one starts from the grid the
    // operator sees (PlanGrid), so nothing on show moves by itself. Each
    // returns an empty text, or why nothing changed.
    std::string ArrangeGrid(std::int16_t index, const std::vector<std::string>& users);
    std::string MoveInGrid(std::int16_t index, int from, int to);
    std::string RemoveFromGrid(std::int16_t index, int place);
    // place: before which place (0-based) it goes; -1 = at the end.
    std::string AddToGrid(std::int16_t index, const std::string& user, int place = -1);

    // Forgets what the status model keeps of a server's grids and votes (the
    // last grid, the counters, the recent lines), as for a server just
    // added: a fuzz run that reuses one server for every input must start
    // each input alike.
    void resetStatusForFuzzing(std::int16_t index);

    // ---- Operations
    void Autostart();
    // Adds a server named by txtNewServer; returns its index, or 0 when the
    // run has no index left (after telling the operator).
    std::int16_t AddServer();
    void ShowUC(std::int16_t iIndex);
    void AddStatus(std::string_view text) { txtStatus.AddStatus(text); }
    // The value part of a start-up file line; nullopt for a non-empty line
    // without "=", which ends the reading.
    static std::optional<std::string> GetLineValue(std::string_view line);
    // Where and why the start-up file's reading ended early; empty when it
    // read to the end (or there was no file).
    const std::optional<StartupStop>& StartupStopped() const { return startupStop_; }
    // The start-up file held NUL bytes: not plain text (saved as UTF-16, say).
    bool StartupNotText() const { return startupNotText_; }
    // The rule lines the start-up file's reading got to for a server it
    // added; a line after the place where the reading stopped is unset,
    // and its view holds the initial value, not the file's.
    struct StartupRules {
        std::optional<int> lastRace;
        std::optional<int> reverseTop;
        std::optional<std::string> reverseCount;
    };
    // nullptr for a server that did not come from the start-up file.
    const StartupRules* StartupRulesRead(std::int16_t index) const;

    // ---- Operator actions (item = list index; -1 = no item selected)
    void cmdNewServer_Click();
    void lstServers_Click(int item);
    void lstServers_DblClick(int item);
    void lstConnections_Click(std::int16_t Index, int item);

    // ---- The InSim clients' events, server index first
    void PlayerRaceFinished(std::int16_t Index, std::span<const std::uint8_t> Result);
    void NewConnection(std::int16_t Index, const std::string& Username, std::uint8_t UserId,
                       const std::string& PlayerName);
    void EndConnection(std::int16_t Index, const std::string& Username);
    void RaceOrder(std::int16_t Index, std::span<const std::uint8_t> Data);
    void VoteAction(std::int16_t Index, std::int16_t Vote);
    // A vote the host reported (SMALL_VTA), as against *reorder: counted
    // once, whatever copies of its datagram the network delivers.
    void HostVote(std::int16_t Index, std::int16_t Vote);
    void AdminRequest(std::int16_t Index, const std::string& Username, const std::string& Request);
    void ButtonClick(std::int16_t Index, std::int16_t btnId, const std::string& Username);
    void ButtonShiftClick(std::int16_t Index, std::int16_t btnId, const std::string& Username,
                          std::int16_t Button);
    void LinkUp(std::int16_t Index);
    void RaceStart(std::int16_t Index);
    void LinkNotice(std::int16_t Index, const std::string& text);
    void LinkChanged(std::int16_t Index, bool up, const std::string& detail);

    // ---- Start order and the custom-order screen
    void SendStartOrder(std::int16_t Index, bool bSilent);
    void ShowCustomOrderScreen(int conn, const std::string& Username, std::int16_t Index);
    void ClearButtons(int conn, std::int16_t Index);
    // The host's own IS_REO at the start of a race, held against the grid
    // last sent for a vote: one status line, and the outcome in
    // ServerViews::txtGridCheck.
    void CheckGrid(std::int16_t Index, std::span<const std::uint8_t> hostPlids);

    // The user name behind entry slot `slot` of the screen last drawn for
    // connection `conn` of server `Index`; empty when there is none.
    const std::string& ButtonName(std::int16_t Index, int conn, int slot) const;

private:
    class ServerEvents;
    using SlotNames = std::array<std::string, screen::kSlots>;

    struct ServerSet {
        // Declared first so it outlives the client, which may still report
        // while it is being torn down.
        std::unique_ptr<ServerEvents> events;
        std::unique_ptr<ServerViews> views;
        // Per connection: each administrator's screen has its own slots, so
        // one admin's redraw cannot change what another admin's buttons mean.
        std::map<int, SlotNames> buttonNames;
        // What tells the results of one race from those of the next: the
        // winner's race time as last recorded (a copy of that result is a
        // duplicate), whether a race has started since, and the drivers whose
        // places in the list are still those of the last race.
        std::optional<std::uint32_t> winnerTime;
        bool raceStarted = false;
        std::set<std::string> carriedOver;
        // The grid sent for the last vote, until the host says which one it
        // started with: each place's player and user name.
        std::optional<std::vector<std::pair<std::uint8_t, std::string>>> gridAwaited;
        bool linkUpBefore = false; // a link to this server has been up this run
        // Whose player number views->txtPlayerNum holds.
        std::string pickedConnection;
        std::optional<SentGrid> lastGrid;
        ServerCounters counters;
        std::deque<std::string> recentLines; // stamped, oldest first
        std::uint64_t recentLinesKept = 0;   // ever, this one the newest
        // A restart vote of the host's was answered, and no race has started
        // since; when, for telling a copy from a second vote.
        std::optional<platform::Clock::Monotonic> voteAnsweredAt;
    };
    void keepServerLine(const std::string& stampedLine);
    void keepRecentLine(ServerSet& set, std::string stampedLine);
    // A summary line: to summaryLine's listeners and the server's recent lines.
    void summarise(std::int16_t index, const std::string& text);
    void settleLastGrid(std::int16_t index, ServerSet& set, GridOutcome outcome, std::string text);

    ServerSet* findSet(std::int16_t index);
    const ServerSet* findSet(std::int16_t index) const;
    ServerSet& createSet(std::int16_t index, bool routeEvents);
    void removeServer(std::int16_t index);
    // The name the server is listed under.
    std::string serverName(std::int16_t index) const;
    bool applyStartupServer(const StartupServer& s);
    // The number of a user who has left would be read as current.
    void forgetPickIfGone(ServerSet& set);


    platform::Platform& platform_;
    std::filesystem::path startupFile_;
    std::optional<StartupStop> startupStop_;
    bool startupNotText_ = false;
    std::int16_t statusServer_ = 0;
    std::size_t recentLimit_ = 0;
    std::map<std::int16_t, StartupRules> startupRules_;
    bool loaded_ = false;
    std::int16_t LastServerIndex_ = 0;
    std::int16_t shownIndex_ = kTemplateIndex;
    std::map<std::int16_t, ServerSet> servers_;
};

} // namespace pm::app
