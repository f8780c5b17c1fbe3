#include "store/StateStore.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <system_error>

namespace pm::store {

namespace {

// Written into the file's header, so that a database of another program is
// recognised and left alone rather than taken over ('PMst').
constexpr int kApplicationId = 0x504D7374;

// Log frames (pages) after which the log is synced without the usual pause,
// so that it stays short: SQLite's own default for a checkpoint.
constexpr int kLongLog = 1000;

// Version 1. A later version adds a step to kMigrations; the steps run in
// order, inside one transaction, from the version found to the current one.
constexpr const char* kSchemaV1 = R"sql(
CREATE TABLE server (
    id                 INTEGER PRIMARY KEY,
    name               TEXT    NOT NULL,
    host               TEXT    NOT NULL,
    insim_port         TEXT    NOT NULL,
    ordinal            INTEGER NOT NULL,  -- among blocks with the same name, host and port: 0, 1, ...
    finish             TEXT    NOT NULL,  -- JSON array, the finishing order as listed: ["01 name", ...]
    start_order        TEXT    NOT NULL,  -- JSON array of user names, first on the grid first
    last_race          INTEGER NOT NULL,  -- check states: 0 off, 1 on, 2 grey
    reverse_top        INTEGER NOT NULL,
    custom             INTEGER NOT NULL,
    reverse_count      TEXT    NOT NULL,
    file_last_race     INTEGER NOT NULL,  -- the start-up file's values the rules started from
    file_reverse_top   INTEGER NOT NULL,
    file_reverse_count TEXT    NOT NULL,
    changed_at         INTEGER NOT NULL,  -- Unix time of the last change
    UNIQUE (name, host, insim_port, ordinal)
);
)sql";

// kMigrations[v] takes the schema from version v to v + 1.
constexpr const char* kMigrations[] = {kSchemaV1};
static_assert(std::size(kMigrations) == StateStore::kSchemaVersion);

// SQLite takes file names in UTF-8 on every system, where Windows paths are
// wide: a folder name outside the code page must still open.
std::string sqliteName(const std::filesystem::path& path) {
    const std::u8string name = path.u8string();
    return std::string(name.begin(), name.end());
}

Problem classify(int rc) {
    switch (rc & 0xff) {
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    // Tables or columns missing, values of the wrong kind: not the file we
    // wrote, whatever happened to it.
    case SQLITE_ERROR:
    case SQLITE_SCHEMA:
    case SQLITE_MISMATCH:
    case SQLITE_CONSTRAINT:
    case SQLITE_FORMAT: return Problem::Corrupt;
    default:
        // Read-only, full, missing folder, I/O error, locked by a shell,
        // out of memory: all may pass.
        return Problem::Unavailable;
    }
}

class Stmt {
public:
    Stmt() = default;
    ~Stmt() { sqlite3_finalize(s_); }
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;

    int prepare(sqlite3* db, const char* sql) { return sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &s_, nullptr); }
    sqlite3_stmt* get() { return s_; }
    // Ready for another run: reset, bindings cleared.
    sqlite3_stmt* fresh() {
        sqlite3_reset(s_);
        sqlite3_clear_bindings(s_);
        return s_;
    }

private:
    sqlite3_stmt* s_ = nullptr;
};

void bindText(sqlite3_stmt* s, int i, const std::string& text) {
    sqlite3_bind_text(s, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

std::string columnText(sqlite3_stmt* s, int i) {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(s, i));
    return p ? std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(s, i))) : std::string();
}

// Runs a statement that returns no rows (or whose rows do not matter).
int runToEnd(sqlite3_stmt* s) {
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
    }
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

// A list as a JSON array of strings: one row per server stays one row, a
// commit writes a page or two, and the shell shows the list as it reads
// (json_each() turns it into rows). Read back with SQLite's own JSON.
// A whole-number pragma, such as the header's application id.
int readPragma(sqlite3* db, const char* sql, int& value) {
    Stmt q;
    int rc = q.prepare(db, sql);
    if (rc == SQLITE_OK && (rc = sqlite3_step(q.get())) == SQLITE_ROW) {
        value = sqlite3_column_int(q.get(), 0);
        rc = SQLITE_OK;
    }
    return rc;
}

std::string jsonArray(const std::vector<std::string>& list) {
    std::string out = "[";
    for (const auto& item : list) {
        out += out.size() == 1 ? "\"" : ",\"";
        for (const char c : item) {
            const auto u = static_cast<unsigned char>(c);
            if (c == '"' || c == '\\') {
                out += '\\';
                out += c;
            } else if (u < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
                out += escaped;
            } else {
                out += c;
            }
        }
        out += '"';
    }
    return out + "]";
}

} // namespace

struct StateStore::Statements {
    Stmt begin, commit, rollback;
    Stmt upsertServer, selectServers, listType, readList, selectStale, deleteServer;
};

StateStore::StateStore(std::filesystem::path path) : StateStore(std::move(path), Options{}) {}

StateStore::StateStore(std::filesystem::path path, Options options)
    : path_(std::move(path)), options_(std::move(options)) {}

StateStore::~StateStore() { close(); }

void StateStore::close() {
    stopSyncer();
    st_.reset(); // statements go before their connection
    if (db_ != nullptr) {
        sqlite3_close_v2(db_);
        db_ = nullptr;
    }
}

Result StateStore::fail(int rc, const char* what) {
    Result r;
    r.problem = classify(rc);
    r.detail = std::string(what) + ": ";
    r.detail += db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
    return r;
}

Result StateStore::exec(const char* sql) {
    char* message = nullptr;
    const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &message);
    if (rc == SQLITE_OK) {
        return {};
    }
    Result r;
    r.problem = classify(rc);
    r.detail = message != nullptr ? message : sqlite3_errstr(rc);
    sqlite3_free(message);
    return r;
}

Result StateStore::open() {
    close();
    commits_ = 0;
    versionFound_ = 0;
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
    const char* vfs = options_.vfs.empty() ? nullptr : options_.vfs.c_str();
    int rc = sqlite3_open_v2(sqliteName(path_).c_str(), &db_, flags, vfs);
    const auto failOpen = [this](Result r) {
        // A file found wanting is left as found: closing must not fold its
        // log into it (or delete the log).
        if (db_ != nullptr) {
            sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
        }
        close();
        return r;
    };
    if (rc != SQLITE_OK) {
        return failOpen(fail(rc, "open"));
    }
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_timeout(db_, options_.busyTimeoutMs);
    if (sqlite3_db_readonly(db_, "main") == 1) {
        return failOpen(Result{Problem::Unavailable, "open: the file can only be read"});
    }

    // The header first: a file that is not ours, or from a newer program,
    // must be left exactly as it is.
    int appId = 0;
    int version = 0;
    if ((rc = readPragma(db_, "PRAGMA application_id", appId)) != SQLITE_OK ||
        (rc = readPragma(db_, "PRAGMA user_version", version)) != SQLITE_OK) {
        return failOpen(fail(rc, "reading the header"));
    }
    versionFound_ = version;
    // Reading page 1 tells SQLite the file's format versions. A write
    // version past any SQLite's (a flipped byte in the header) makes the
    // file read-only from here on: no later attempt will write it, so it
    // is damage to move aside, not a file busy for now.
    if (sqlite3_db_readonly(db_, "main") == 1) {
        return failOpen(Result{Problem::Corrupt, "the file's header allows reading only"});
    }
    if ((appId != 0 && appId != kApplicationId) || (appId == 0 && version != 0)) {
        return failOpen(Result{Problem::Foreign, "the file belongs to another program"});
    }
    if (version == 0) {
        // An empty database is ours to fill; one with tables is not.
        Stmt count;
        rc = count.prepare(db_, "SELECT count(*) FROM sqlite_master");
        if (rc == SQLITE_OK && (rc = sqlite3_step(count.get())) == SQLITE_ROW) {
            if (sqlite3_column_int(count.get(), 0) != 0) {
                return failOpen(Result{Problem::Foreign, "the file holds another program's tables"});
            }
            rc = SQLITE_OK;
        }
        if (rc != SQLITE_OK) {
            return failOpen(fail(rc, "reading the schema"));
        }
    }
    if (version < 0) {
        // Ours by the header, at a version no program of ours writes: the
        // header is damaged, and no migration starts from there.
        return failOpen(Result{Problem::Corrupt, "schema version " + std::to_string(version) +
                                                     " was never written by this program"});
    }
    if (version > kSchemaVersion) {
        return failOpen(Result{Problem::NewerSchema, "schema version " + std::to_string(version) +
                                                         "; this program knows up to " +
                                                         std::to_string(kSchemaVersion)});
    }

    {
        Stmt check;
        rc = check.prepare(db_, "PRAGMA quick_check");
        if (rc == SQLITE_OK) {
            rc = sqlite3_step(check.get());
        }
        if (rc == SQLITE_ROW) {
            const std::string verdict = columnText(check.get(), 0);
            if (verdict != "ok") {
                return failOpen(Result{Problem::Corrupt, "integrity check: " + verdict});
            }
        } else if (rc != SQLITE_DONE) {
            return failOpen(fail(rc, "integrity check"));
        }
    }

    // WAL: a writer never blocks a reader (the sqlite3 shell looking in),
    // and a commit appends to the log instead of rewriting pages in place.
    // synchronous=NORMAL: a commit is in the log, safe from a crash of this
    // program, as soon as it returns; the log reaches the disk at the next
    // checkpoint, which the syncing thread makes shortly after. A power cut
    // can lose those last moments, never the file.
    for (const char* pragma : {"PRAGMA journal_mode=WAL", "PRAGMA synchronous=NORMAL", "PRAGMA foreign_keys=ON"}) {
        if (Result r = exec(pragma); !r) {
            return failOpen(r);
        }
    }
    if (version < kSchemaVersion) {
        if (Result r = migrate(version); !r) {
            return failOpen(r);
        }
    }
    if (Result r = prepare(); !r) {
        return failOpen(r);
    }
    // Checkpoints are the syncing thread's alone: none runs inside a commit
    // (this hook replaces SQLite's own, which would). A log grown long is
    // synced at once rather than after the usual pause.
    sqlite3_wal_hook(
        db_,
        [](void* self, sqlite3*, const char*, int frames) {
            if (frames >= kLongLog) {
                static_cast<StateStore*>(self)->syncSoon_ = true;
            }
            return SQLITE_OK;
        },
        this);
    startSyncer();
    return {};
}

void StateStore::startSyncer() {
    std::lock_guard lock(syncMutex_);
    syncWanted_ = false;
    syncUrgent_ = false;
    syncStop_ = false;
    syncPhase_ = SyncPhase::Idle;
    syncs_ = 0;
    syncer_ = std::thread([this] { syncLoop(); });
}

void StateStore::stopSyncer() {
    if (!syncer_.joinable()) {
        return;
    }
    {
        std::lock_guard lock(syncMutex_);
        syncStop_ = true;
    }
    syncWake_.notify_all();
    syncer_.join();
}

std::uint64_t StateStore::backgroundSyncs() const {
    std::lock_guard lock(syncMutex_);
    return syncs_;
}

void StateStore::syncLoop() {
    // A connection of its own: SQLite connections are not shared between
    // threads here, and a checkpoint on another connection never blocks a
    // commit on this one (the log is appended to while it is copied). Opened
    // when first needed, and again if that failed: without this thread
    // nothing keeps the log short.
    sqlite3* db = nullptr;
    const auto checkpoint = [&] {
        if (db == nullptr) {
            const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX;
            const char* vfs = options_.vfs.empty() ? nullptr : options_.vfs.c_str();
            if (sqlite3_open_v2(sqliteName(path_).c_str(), &db, flags, vfs) != SQLITE_OK) {
                sqlite3_close_v2(db);
                db = nullptr;
                return false;
            }
            // A checkpoint on close would wait for the disk on the way out;
            // the caller's connection makes the last one.
            sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
        }
        return sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr) == SQLITE_OK;
    };
    std::unique_lock lock(syncMutex_);
    for (;;) {
        syncPhase_ = SyncPhase::Idle;
        syncWake_.wait(lock, [this] { return syncWanted_ || syncStop_; });
        if (syncStop_) {
            break;
        }
        // Commits that come meanwhile ride along with this checkpoint.
        syncPhase_ = SyncPhase::Pausing;
        if (syncWake_.wait_for(lock, options_.syncAfter, [this] { return syncStop_ || syncUrgent_; }) &&
            syncStop_) {
            break;
        }
        syncPhase_ = SyncPhase::Syncing;
        syncWanted_ = false;
        syncUrgent_ = false;
        lock.unlock();
        const bool synced = checkpoint();
        lock.lock();
        if (synced) {
            ++syncs_;
        } else {
            syncWanted_ = true; // the next commit's turn, or this one's again
        }
    }
    lock.unlock();
    sqlite3_close_v2(db);
}

Result StateStore::migrate(int from) {
    if (Result r = exec("BEGIN IMMEDIATE"); !r) {
        return r;
    }
    const auto abandon = [this](Result r) {
        exec("ROLLBACK");
        return r;
    };
    for (int v = from; v < kSchemaVersion; ++v) {
        if (Result r = exec(kMigrations[v]); !r) {
            return abandon(r);
        }
    }
    const std::string stamp = "PRAGMA application_id=" + std::to_string(kApplicationId) +
                              "; PRAGMA user_version=" + std::to_string(kSchemaVersion);
    if (Result r = exec(stamp.c_str()); !r) {
        return abandon(r);
    }
    if (Result r = exec("COMMIT"); !r) {
        return abandon(r);
    }
    return {};
}

Result StateStore::prepare() {
    st_ = std::make_unique<Statements>();
    const std::pair<Stmt*, const char*> all[] = {
        {&st_->begin, "BEGIN IMMEDIATE"},
        {&st_->commit, "COMMIT"},
        {&st_->rollback, "ROLLBACK"},
        {&st_->upsertServer,
         "INSERT INTO server (name, host, insim_port, ordinal, finish, start_order, last_race, reverse_top, custom, "
         "reverse_count, file_last_race, file_reverse_top, file_reverse_count, changed_at) "
         "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14) "
         "ON CONFLICT (name, host, insim_port, ordinal) DO UPDATE SET finish = excluded.finish, "
         "start_order = excluded.start_order, last_race = excluded.last_race, reverse_top = excluded.reverse_top, "
         "custom = excluded.custom, reverse_count = excluded.reverse_count, "
         "file_last_race = excluded.file_last_race, file_reverse_top = excluded.file_reverse_top, "
         "file_reverse_count = excluded.file_reverse_count, changed_at = excluded.changed_at"},
        {&st_->selectServers,
         "SELECT name, host, insim_port, ordinal, finish, start_order, last_race, reverse_top, custom, "
         "reverse_count, file_last_race, file_reverse_top, file_reverse_count, changed_at FROM server ORDER BY id"},
        {&st_->listType, "SELECT json_type(?1)"},
        {&st_->readList, "SELECT type, value FROM json_each(?1) ORDER BY key"},
        {&st_->selectStale, "SELECT id, name, host, insim_port, ordinal FROM server WHERE changed_at < ?1"},
        {&st_->deleteServer, "DELETE FROM server WHERE id = ?1"},
    };
    for (const auto& [stmt, sql] : all) {
        if (const int rc = stmt->prepare(db_, sql); rc != SQLITE_OK) {
            return fail(rc, "preparing statements");
        }
    }
    return {};
}

std::optional<std::filesystem::path> StateStore::moveAside(const std::string& stamp, std::string& error) {
    close();
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path target = path_;
    target += ".corrupt-" + stamp;
    for (int n = 2; fs::exists(target, ec) && n < 1000; ++n) {
        target = path_;
        target += ".corrupt-" + stamp + "-" + std::to_string(n);
    }
    fs::rename(path_, target, ec);
    if (ec) {
        error = ec.message();
        return std::nullopt;
    }
    // The log belongs to the damaged file and goes with it; the shared-memory
    // index is rebuilt from a log and only gets in the way.
    fs::path wal = path_;
    wal += "-wal";
    fs::path walTarget = target;
    walTarget += "-wal";
    if (fs::exists(wal, ec)) {
        fs::rename(wal, walTarget, ec);
    }
    fs::path shm = path_;
    shm += "-shm";
    fs::remove(shm, ec);
    return target;
}

Result StateStore::rollBack(Result why) {
    // Nothing of a failed transaction may stay behind, not even for the next
    // one. SQLite may have rolled back on its own already (a full disk).
    if (sqlite3_get_autocommit(db_) == 0) {
        runToEnd(st_->rollback.fresh());
    }
    return why;
}

Result StateStore::load(std::vector<ServerState>& out) {
    std::vector<UnreadableServer> unreadable;
    return load(out, unreadable);
}

Result StateStore::load(std::vector<ServerState>& out, std::vector<UnreadableServer>& unreadable) {
    out.clear();
    unreadable.clear();
    if (!isOpen()) {
        return Result{Problem::Unavailable, "not open"};
    }
    // Anything but an array of texts is not what was written.
    // Reset on every way out: a statement left mid-row keeps its read
    // transaction open, and no checkpoint gets past it for the whole run.
    struct ResetOnExit {
        sqlite3_stmt* s;
        ~ResetOnExit() { sqlite3_reset(s); }
    };
    const auto readList = [this](sqlite3_stmt* row, int column, std::vector<std::string>& list) {
        sqlite3_stmt* t = st_->listType.fresh();
        const ResetOnExit resetT{t};
        sqlite3_bind_value(t, 1, sqlite3_column_value(row, column));
        int rc = sqlite3_step(t);
        if (rc != SQLITE_ROW) {
            return rc;
        }
        if (columnText(t, 0) != "array") {
            return SQLITE_MISMATCH;
        }
        sqlite3_reset(t);
        sqlite3_stmt* q = st_->readList.fresh();
        const ResetOnExit resetQ{q};
        sqlite3_bind_value(q, 1, sqlite3_column_value(row, column));
        while ((rc = sqlite3_step(q)) == SQLITE_ROW) {
            if (columnText(q, 0) != "text") {
                return SQLITE_MISMATCH;
            }
            list.push_back(columnText(q, 1));
        }
        return rc == SQLITE_DONE ? SQLITE_OK : rc;
    };
    sqlite3_stmt* s = st_->selectServers.fresh();
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
        // SQLite keeps whatever an edit by hand puts in a number column. Read
        // as an int, a word would be a rule silently off, and an ordinal too
        // large for one would pass for another server's. The type is asked
        // first: once a value has been read as a number, it is unreliable.
        const auto whole = [s](int column) {
            return sqlite3_column_type(s, column) == SQLITE_INTEGER &&
                   (column == 13 || sqlite3_column_int64(s, column) == sqlite3_column_int(s, column));
        };
        const bool ordinalRead = whole(3);
        const bool numbersRead = std::ranges::all_of(std::initializer_list<int>{6, 7, 8, 10, 11, 13}, whole);
        // A name, host or port kept as bytes (a blob) reads as the text the
        // program writes for that server, but the file's unique key tells
        // the two apart: a save would add a row beside it, and the next
        // start would find the old row first and restore it.
        const bool keyRead = std::ranges::all_of(std::initializer_list<int>{0, 1, 2},
                                                 [s](int column) { return sqlite3_column_type(s, column) == SQLITE_TEXT; });
        ServerState state;
        state.key = {columnText(s, 0), columnText(s, 1), columnText(s, 2),
                     ordinalRead ? sqlite3_column_int(s, 3) : -1}; // -1: the server it stood for is unknown
        if (!ordinalRead || !numbersRead) {
            unreadable.push_back({state.key, "a number is not a whole number"});
            continue;
        }
        if (!keyRead) {
            unreadable.push_back({state.key, "a name, host or port is not a text"});
            continue;
        }
        if ((rc = readList(s, 4, state.finish)) != SQLITE_OK || (rc = readList(s, 5, state.order)) != SQLITE_OK) {
            // A list that is not a list of texts (an edit by hand, say) costs
            // its own server's state, not every server's: the pages are sound.
            if (rc == SQLITE_MISMATCH || rc == SQLITE_ERROR) {
                unreadable.push_back({state.key, rc == SQLITE_MISMATCH ? "a list is not a list of texts"
                                                                      : "a list is not readable: " +
                                                                            std::string(sqlite3_errmsg(db_))});
                continue;
            }
            out.clear();
            unreadable.clear();
            return fail(rc, "reading lists");
        }
        state.rules = {sqlite3_column_int(s, 6), sqlite3_column_int(s, 7), sqlite3_column_int(s, 8),
                       columnText(s, 9)};
        state.file = {sqlite3_column_int(s, 10), sqlite3_column_int(s, 11), columnText(s, 12)};
        state.changedAt = sqlite3_column_int64(s, 13);
        out.push_back(std::move(state));
    }
    if (rc != SQLITE_DONE) {
        out.clear();
        unreadable.clear();
        return fail(rc, "reading servers");
    }
    return {};
}

Result StateStore::save(std::span<const ServerState> servers) {
    if (!isOpen()) {
        return Result{Problem::Unavailable, "not open"};
    }
    if (servers.empty()) {
        return {};
    }
    int rc = runToEnd(st_->begin.fresh());
    if (rc != SQLITE_OK) {
        return fail(rc, "starting a transaction");
    }
    for (const ServerState& state : servers) {
        sqlite3_stmt* s = st_->upsertServer.fresh();
        bindText(s, 1, state.key.name);
        bindText(s, 2, state.key.host);
        bindText(s, 3, state.key.port);
        sqlite3_bind_int(s, 4, state.key.ordinal);
        bindText(s, 5, jsonArray(state.finish));
        bindText(s, 6, jsonArray(state.order));
        sqlite3_bind_int(s, 7, state.rules.lastRace);
        sqlite3_bind_int(s, 8, state.rules.reverseTop);
        sqlite3_bind_int(s, 9, state.rules.custom);
        bindText(s, 10, state.rules.reverseCount);
        sqlite3_bind_int(s, 11, state.file.lastRace);
        sqlite3_bind_int(s, 12, state.file.reverseTop);
        bindText(s, 13, state.file.reverseCount);
        sqlite3_bind_int64(s, 14, state.changedAt);
        if ((rc = runToEnd(s)) != SQLITE_OK) {
            return rollBack(fail(rc, "saving a server"));
        }
    }
    rc = runToEnd(st_->commit.fresh());
    if (rc != SQLITE_OK) {
        return rollBack(fail(rc, "committing"));
    }
    committed();
    return {};
}

void StateStore::committed() {
    ++commits_;
    bool wake = false;
    {
        std::lock_guard lock(syncMutex_);
        syncWanted_ = true;
        // The thread is woken only to start its pause, or to cut it short
        // for a long log; otherwise the coming checkpoint takes this commit
        // along and the thread is left alone.
        wake = syncPhase_ == SyncPhase::Idle;
        if (syncSoon_ && !syncUrgent_) {
            syncUrgent_ = true;
            wake = wake || syncPhase_ == SyncPhase::Pausing;
        }
        syncSoon_ = false;
    }
    if (wake) {
        syncWake_.notify_one();
    }
}

Result StateStore::dropStale(std::int64_t changedBefore, std::span<const ServerKey> keep, int& dropped) {
    dropped = 0;
    if (!isOpen()) {
        return Result{Problem::Unavailable, "not open"};
    }
    sqlite3_stmt* s = st_->selectStale.fresh();
    sqlite3_bind_int64(s, 1, changedBefore);
    std::vector<std::int64_t> ids;
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
        const ServerKey key{columnText(s, 1), columnText(s, 2), columnText(s, 3), sqlite3_column_int(s, 4)};
        if (std::find(keep.begin(), keep.end(), key) == keep.end()) {
            ids.push_back(sqlite3_column_int64(s, 0));
        }
    }
    if (rc != SQLITE_DONE) {
        return fail(rc, "finding old servers");
    }
    sqlite3_reset(s);
    if (ids.empty()) {
        return {};
    }
    if ((rc = runToEnd(st_->begin.fresh())) != SQLITE_OK) {
        return fail(rc, "starting a transaction");
    }
    for (const std::int64_t id : ids) {
        sqlite3_stmt* d = st_->deleteServer.fresh();
        sqlite3_bind_int64(d, 1, id);
        if ((rc = runToEnd(d)) != SQLITE_OK) {
            return rollBack(fail(rc, "dropping old servers"));
        }
    }
    if ((rc = runToEnd(st_->commit.fresh())) != SQLITE_OK) {
        return rollBack(fail(rc, "committing"));
    }
    committed();
    dropped = static_cast<int>(ids.size());
    return {};
}

void StateStore::checkpoint() {
    if (isOpen()) {
        sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    }
}

} // namespace pm::store
