#pragma once
// What the simulated host knows: connections, players, the session, the grid,
// and what the InSim client has put on each connection's screen. No I/O here:
// SimServer turns every change into the packets a host would send.
//
// Names: a connection is known by the user name the scripts and tests use.
// The host's own connection is UCID 0, named "host" here; on the wire its
// user name is empty, as on a dedicated host, and it is an administrator.

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "insim/Packets.h"
#include "sim/Outcome.h"

namespace pm::sim {

enum class RaceState : std::uint8_t { None = 0, Race = 1, Qualifying = 2 };
std::string_view raceStateName(RaceState state);

// "alice bob carol", or "(empty)".
std::string spaced(const std::vector<std::string>& names);

struct Button {
    std::uint8_t clickId = 0;
    std::uint8_t reqI = 0; // echoed in the click report
    std::uint8_t inst = 0;
    std::uint8_t style = 0;
    std::uint8_t typeIn = 0;
    std::uint8_t l = 0, t = 0, w = 0, h = 0;
    std::string text; // as sent, caret codes kept

    bool clickable() const { return (style & insim::ISB_CLICK) != 0; }
};

struct Message {
    std::chrono::milliseconds at{0}; // since the sim started
    std::string text;                // as sent, caret codes kept
};

struct Connection {
    std::uint8_t ucid = 0;
    std::string name;
    std::string nick;
    bool admin = false;
    std::map<std::uint8_t, Button> buttons; // by ClickID
};

struct Player {
    std::uint8_t plid = 0;
    std::uint8_t ucid = 0;
};

struct AppliedGrid {
    std::chrono::milliseconds at{0};
    std::vector<std::string> names;
};

class World {
public:
    static constexpr std::uint8_t kHostUcid = 0;
    static constexpr std::uint8_t kEveryone = 255; // UCID that addresses all connections
    static constexpr std::string_view kHostName = "host";
    // The 24-byte name fields keep room for their terminator.
    static constexpr std::size_t kNameWidth = 23;
    static constexpr std::uint8_t kHighestId = 254; // 255 means "all" or "none" on the wire
    static constexpr std::uint8_t kHighestClickId = 239;

    explicit World(std::string hostNick);

    // ---- Connections and players
    Outcome connect(const std::string& name, const std::string& nick, bool admin);
    Outcome takeCar(const std::string& name); // joins the race: new PLID, last on the grid
    // The release's limit; cars already racing keep their places.
    void setMaxCars(int cars) { maxCars_ = cars; }
    int maxCars() const { return maxCars_; }
    Outcome spectate(const std::string& name);
    Outcome disconnect(const std::string& name); // its player, if any, goes first

    const Connection* connection(std::string_view name) const;
    Connection* connectionByUcid(std::uint8_t ucid);
    const Connection* connectionByUcid(std::uint8_t ucid) const;
    const Player* playerOf(std::string_view name) const;
    const Player* player(std::uint8_t plid) const;
    std::string nameOfPlayer(std::uint8_t plid) const;
    const std::map<std::uint8_t, Connection>& connections() const { return conns_; }
    const std::map<std::uint8_t, Player>& players() const { return players_; }
    // UCID 255 addresses every connection; an unknown UCID none.
    std::vector<Connection*> addressed(std::uint8_t ucid);

    // ---- Session
    RaceState state() const { return state_; }
    // A race or qualifying session begins: results cleared, start order no
    // longer taken.
    void startSession(RaceState state);
    void endSession();
    // All or nothing: every name must be a player not yet classified.
    Outcome checkFinishers(const std::vector<std::string>& names) const;
    // Returns the result number (0 = winner of this session).
    std::uint8_t classify(std::uint8_t plid);
    std::size_t finishedCount() const { return finished_.size(); }

    // ---- Grid (start order of the next race)
    const std::vector<std::uint8_t>& gridPlids() const { return grid_; }
    std::vector<std::string> gridNames() const;
    // A passed restart or qualify vote lets one start order in.
    void openStartOrderWindow() { reoWindow_ = true; }
    bool startOrderWindowOpen() const { return reoWindow_; }
    struct ReoResult {
        bool applied = false;
        std::vector<std::string> notes; // skipped slots and the like
    };
    // slots: how many PLIDs the packet's generation carries.
    ReoResult applyStartOrder(const insim::IsReo& reo, std::chrono::milliseconds at,
                              int slots = insim::kMaxStartOrderSlots);
    const std::vector<AppliedGrid>& appliedGrids() const { return applied_; }

    // ---- What the InSim client put on screens
    void deliver(const Connection& to, Message message);
    const std::vector<Message>& messagesFor(std::string_view name) const;
    const std::map<std::string, std::vector<Message>>& allMessages() const { return messages_; }
    void clearAllButtons();

    // The host process restarted: no session, no start order pending, and
    // every button gone with the InSim link that drew it. Drivers stay.
    void hostRestarted();

private:
    Connection* find(std::string_view name);
    std::uint8_t freeUcid() const;
    std::uint8_t freePlid();
    void dropFromGrid(std::uint8_t plid);

    std::map<std::uint8_t, Connection> conns_;
    std::map<std::uint8_t, Player> players_;
    std::vector<std::uint8_t> grid_;
    std::vector<std::uint8_t> finished_;
    RaceState state_ = RaceState::None;
    bool reoWindow_ = false;
    int maxCars_ = insim::kMaxStartOrderSlots;
    std::uint8_t lastPlid_ = 0;
    std::vector<AppliedGrid> applied_;
    std::map<std::string, std::vector<Message>> messages_; // outlive the connection
};

} // namespace pm::sim
