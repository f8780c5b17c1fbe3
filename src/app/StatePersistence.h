#pragma once
// Keeps what the next grid depends on through a restart of the program: each
// server's finishing order, start order and rules, in the state store
// (--state PATH), given back when the program starts again.
//
// When: a change marks its server; the marks are written, in one transaction,
// when the client event that made them has been handled (and before the next
// one starts), or, for a change from the window, from a task posted on the
// loop. Never on a single list notification: a start order being rebuilt is
// a clear and one add per driver, and only the whole order may be saved.
//
// Which servers: those of the start-up file, known by name, host and InSim
// port (and their order among blocks alike in all three). Servers added by
// hand are not in the file, so there is nothing to give them back to.
//
// Nothing here ever stops the program, except another running program that
// holds the same state, which open() reports for the caller to end with.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/frmMain.h"
#include "platform/FileLock.h"
#include "store/StateStore.h"

namespace pm::app {

class StatePersistence {
public:
    // While the file cannot be used, another try this often.
    static constexpr std::chrono::seconds kRetryEvery{30};
    // Servers that left the start-up file are dropped once unchanged this long.
    static constexpr std::chrono::hours kKeepUnlistedFor{24 * 30};
    static constexpr std::chrono::hours kHousekeepingEvery{1};
    // The file's name when --state names a folder.
    static constexpr const char* kFileInFolder = "state.db";

    enum class Mode {
        Closed,      // before open()
        Open,        // keeping the state
        Unavailable, // cannot read or write the file now; trying again
        Ignored,     // the file is not for this program (newer schema, another program's): no state this run
        Locked,      // another running program holds the state
    };

    StatePersistence(frmMain& form, platform::Platform& platform, std::filesystem::path path,
                     store::StateStore::Options options = {});
    ~StatePersistence();
    StatePersistence(const StatePersistence&) = delete;
    StatePersistence& operator=(const StatePersistence&) = delete;

    // --state as given: an existing folder gets kFileInFolder inside it.
    static std::filesystem::path resolve(const std::filesystem::path& given);
    // Why a resolved --state cannot be used at all, for the program to end
    // with before anything runs: it is the start-up file, or something that
    // is no file (a device, a pipe), beside which no lock could be kept.
    static std::optional<std::string> refusal(const std::filesystem::path& state,
                                              const std::filesystem::path& startupFile);

    // Before the start-up file is read. Returns the message to end with when
    // another running program holds this state.
    std::optional<std::string> open();
    // After the start-up file has been read: gives its servers their state
    // back, one status line each, and from now on keeps it.
    void restore();
    // Writes every change not yet written, in one transaction.
    void flush();

    Mode mode() const { return mode_; }
    const std::filesystem::path& path() const { return store_.path(); }
    const store::StateStore& store() const { return store_; }

private:
    struct Tracked {
        store::ServerKey key;
        store::FileSettings file; // what the start-up file said this run
        // Which of file's rules the reading got to; the others are the
        // views' initial values, which say nothing of the file.
        bool lastRaceRead = true;
        bool reverseTopRead = true;
        bool reverseCountRead = true;
        std::optional<store::ServerState> saved; // as the file holds it now
        bool changed = false;                    // since the program started
        std::vector<std::function<void()>> disconnect;
    };

    void openStore(bool quiet);
    bool moveAside(const std::string& why);
    void becomeUnavailable(const std::string& detail);
    void handleFailure(const store::Result& result);
    void retry();
    void housekeeping();
    void loadSaved();
    void apply(std::int16_t index, Tracked& tracked, const store::ServerState& stored);
    void track(std::int16_t index, Tracked& tracked);
    void untrack(std::int16_t index);
    void markDirty(std::int16_t index);
    void markAllDirty();
    store::ServerState current(std::int16_t index, const Tracked& tracked) const;
    std::int64_t nowUnix() const;
    std::string fileText() const;

    frmMain& form_;
    platform::Platform& platform_;
    store::StateStore store_;
    platform::FileLock lock_;
    Mode mode_ = Mode::Closed;
    bool unavailableReported_ = false;
    bool restored_ = false;
    bool savedLoaded_ = false; // the saved state has been given back (or there was none to read)
    bool flushing_ = false;
    bool flushPosted_ = false;
    std::map<std::int16_t, Tracked> tracked_;
    std::set<std::int16_t> dirty_;
    std::vector<std::function<void()>> disconnectForm_;
    platform::EventLoop::TimerId retryTimer_ = 0;
    platform::EventLoop::TimerId housekeepingTimer_ = 0;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

} // namespace pm::app
