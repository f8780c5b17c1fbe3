#pragma once
// The saved state of the servers: what a restart of the program must not
// lose, in an SQLite file that one program at a time writes. It knows rows
// and lists and nothing of InSim or of the window; app/ decides what is kept
// and when it is written.
//
// Every save is one transaction, so the file always holds one whole state.
// The file is inspectable with the sqlite3 command line; the schema is at the
// top of StateStore.cpp.
//
// A commit writes to the write-ahead log and waits for no disk. The log is
// synced (checkpointed) into the file shortly after, by a thread of the
// store's own with its own connection, so that the caller's thread never
// waits for a disk: not after a commit, and not in a commit that happens to
// fill the log. That thread touches nothing but the file.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>
#include <optional>
#include <span>
#include <string>
#include <vector>

struct sqlite3;

namespace pm::store {

// Which server a state belongs to, as the start-up file names it. Blocks with
// the same name, host and port are told apart by their order in the file.
struct ServerKey {
    std::string name;
    std::string host;
    std::string port;
    int ordinal = 0; // 0 for the first block with these three, 1 for the next, ...
    bool operator==(const ServerKey&) const = default;
};

// Check states are 0 off, 1 on, 2 grey.
struct RuleSettings {
    int lastRace = 0;
    int reverseTop = 0;
    int custom = 0;
    std::string reverseCount = "10";
    bool operator==(const RuleSettings&) const = default;
};

// The start-up file's values that the rules started from.
struct FileSettings {
    int lastRace = 0;
    int reverseTop = 0;
    std::string reverseCount = "10";
    bool operator==(const FileSettings&) const = default;
};

struct ServerState {
    ServerKey key;
    std::vector<std::string> finish; // finishing order, item texts
    std::vector<std::string> order;  // start order, user names
    RuleSettings rules;
    FileSettings file;
    std::int64_t changedAt = 0; // Unix time of the last change

    bool sameContent(const ServerState& other) const {
        return key == other.key && finish == other.finish && order == other.order && rules == other.rules &&
               file == other.file;
    }
};

// A saved server whose row is there but cannot be read back.
struct UnreadableServer {
    ServerKey key;
    std::string detail;
};

// What went wrong, sorted by what the caller can do about it.
enum class Problem {
    None,
    Corrupt,     // not a database of ours, or damaged: move it aside and start clean
    NewerSchema, // written by a newer program: leave it alone
    Foreign,     // another program's database: leave it alone
    Unavailable, // cannot be opened or written now (read-only, full, missing folder, busy): try later
};

struct Result {
    Problem problem = Problem::None;
    std::string detail; // SQLite's or the system's words
    explicit operator bool() const { return problem == Problem::None; }
};

class StateStore {
public:
    // The layout this program reads and writes (PRAGMA user_version).
    static constexpr int kSchemaVersion = 1;

    struct Options {
        std::string vfs;         // SQLite VFS by name; empty = the default
        int busyTimeoutMs = 250; // a reader such as the sqlite3 shell may hold a lock that long
        // How soon after a commit its log reaches the disk: the most a power
        // cut can take back (a crash of the program takes back nothing).
        std::chrono::milliseconds syncAfter{2000};
    };

    explicit StateStore(std::filesystem::path path);
    StateStore(std::filesystem::path path, Options options);
    ~StateStore();
    StateStore(const StateStore&) = delete;
    StateStore& operator=(const StateStore&) = delete;

    const std::filesystem::path& path() const { return path_; }

    // Opens the file, creating or upgrading it as needed, and checks it.
    // A newer schema is reported before anything in the file is touched.
    Result open();
    bool isOpen() const { return db_ != nullptr; }
    void close();
    // The schema version found by the last open (for messages).
    int versionFound() const { return versionFound_; }

    // Renames the (closed) file to "<path>.corrupt-<stamp>", its write-ahead
    // log along with it; returns the new name.
    std::optional<std::filesystem::path> moveAside(const std::string& stamp, std::string& error);

    Result load(std::vector<ServerState>& out);
    // As above, and names each server whose row was skipped because its
    // lists are not lists of texts; the other servers load all the same.
    Result load(std::vector<ServerState>& out, std::vector<UnreadableServer>& unreadable);
    // Replaces each given server's state, all in one transaction.
    Result save(std::span<const ServerState> servers);
    // Removes servers last changed before `changedBefore` that are not in `keep`.
    Result dropStale(std::int64_t changedBefore, std::span<const ServerKey> keep, int& dropped);
    // Copies the write-ahead log into the file and syncs both to disk, now,
    // on the caller's thread (at a clean end).
    void checkpoint();
    // Checkpoints done by the store's own thread since open.
    std::uint64_t backgroundSyncs() const;

    // Transactions committed since open: what tests and benchmarks count.
    std::uint64_t commits() const { return commits_; }

private:
    struct Statements;
    Result fail(int rc, const char* what);
    Result migrate(int from);
    Result prepare();
    Result exec(const char* sql);
    Result rollBack(Result why);
    void committed();
    void startSyncer();
    void stopSyncer();
    void syncLoop();

    std::filesystem::path path_;
    Options options_;
    sqlite3* db_ = nullptr;
    std::unique_ptr<Statements> st_;
    int versionFound_ = 0;
    std::uint64_t commits_ = 0;

    // The syncing thread and what it shares with the caller's.
    std::thread syncer_;
    mutable std::mutex syncMutex_;
    std::condition_variable syncWake_;
    enum class SyncPhase { Idle, Pausing, Syncing };
    SyncPhase syncPhase_ = SyncPhase::Idle;
    bool syncWanted_ = false;
    bool syncUrgent_ = false;
    bool syncStop_ = false;
    bool syncSoon_ = false; // the caller's thread only: the log has grown long
    std::uint64_t syncs_ = 0;
};

} // namespace pm::store
