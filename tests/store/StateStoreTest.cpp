// The state store on its own: what a save writes is what a load reads, a
// save is all or nothing, and every kind of bad file is recognised.

#include "store/StateStore.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "support/FaultyVfs.h"

using namespace pm;
using store::Problem;
using store::ServerState;
using store::StateStore;

namespace fs = std::filesystem;

namespace {

class StoreTest : public ::testing::Test {
protected:
    StoreTest() {
        static int n = 0;
        dir = fs::temp_directory_path() / ("pm_store_" + std::to_string(::getpid()) + "_" + std::to_string(++n));
        fs::create_directories(dir);
        path = dir / "state.db";
        test::vfsFaults() = {};
    }
    ~StoreTest() override {
        test::vfsFaults() = {};
        fs::remove_all(dir);
    }

    static ServerState server(const std::string& name, int ordinal = 0) {
        ServerState s;
        s.key = {name, "10.0.0.7", "29999", ordinal};
        s.rules = {1, 1, 0, "5"};
        s.file = {1, 0, "10"};
        s.changedAt = 1'796'000'000;
        return s;
    }
    static ServerState field(const std::string& name, int drivers) {
        ServerState s = server(name);
        for (int k = 1; k <= drivers; ++k) {
            s.finish.push_back((k < 10 ? "0" : "") + std::to_string(k) + " driver" + std::to_string(k));
            s.order.push_back("driver" + std::to_string(drivers + 1 - k));
        }
        return s;
    }

    std::vector<ServerState> reload() {
        StateStore again(path);
        EXPECT_TRUE(again.open());
        std::vector<ServerState> out;
        EXPECT_TRUE(again.load(out));
        return out;
    }
    std::string bytes(const fs::path& p) const {
        std::ifstream in(p, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    void write(const fs::path& p, const std::string& content) { std::ofstream(p, std::ios::binary) << content; }
    // A database made with SQLite itself, as another program (or a newer
    // one) would leave it.
    void craft(const std::string& sql) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path.string().c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
        sqlite3_close(db);
    }

    fs::path dir;
    fs::path path;
};

bool same(const std::vector<ServerState>& a, const std::vector<ServerState>& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!a[i].sameContent(b[i]) || a[i].changedAt != b[i].changedAt) {
            return false;
        }
    }
    return true;
}

} // namespace

TEST_F(StoreTest, what_is_saved_is_loaded_back) {
    ServerState odd = server("Café \"Zürich\" '; DROP TABLE server; --", 0);
    odd.finish = {"01 ^1Ayrton", "02 ", "03 名前", "04 back\\slash", "05 \"quoted\""};
    odd.order = {"", "x y", "^7z", std::string("tab\tnewline\ncontrol\x01", 20), "]\",["};
    odd.rules = {2, 0, 1, "not a number"};
    odd.file = {2, 2, ""};
    const std::vector<ServerState> rows[] = {
        {},
        {server("Empty")},
        {field("Full", 32)},
        {odd},
        // Alike in name, host and port: two servers by their order in the file.
        {field("Twin", 3), [] {
             ServerState s = field("Twin", 5);
             s.key.ordinal = 1;
             return s;
         }()},
    };
    for (const auto& row : rows) {
        fs::remove(path);
        {
            StateStore s(path);
            ASSERT_TRUE(s.open());
            ASSERT_TRUE(s.save(row));
        }
        EXPECT_TRUE(same(reload(), row)) << (row.empty() ? "(nothing)" : row.front().key.name);
    }
}

TEST_F(StoreTest, a_save_replaces_only_the_servers_it_names) {
    StateStore s(path);
    ASSERT_TRUE(s.open());
    ASSERT_TRUE(s.save(std::vector{field("A", 20), field("B", 8)}));
    ServerState shorter = field("A", 2);
    shorter.rules.custom = 1;
    shorter.changedAt += 60;
    ASSERT_TRUE(s.save(std::vector{shorter}));
    EXPECT_TRUE(same(reload(), (std::vector{shorter, field("B", 8)})));
}

// The state goes where it was asked to, whatever the folder is called:
// Windows paths are wide and SQLite takes UTF-8, and a detour through the
// code page would lose most of these names.
TEST_F(StoreTest, a_folder_named_in_any_script_holds_the_state) {
    const char8_t* names[] = {u8"Zürich", u8"Δρόμος", u8"グリッド"};
    for (const char8_t* name : names) {
        SCOPED_TRACE(reinterpret_cast<const char*>(name));
        path = dir / name / "state.db";
        fs::create_directories(path.parent_path());
        {
            StateStore s(path);
            ASSERT_TRUE(s.open());
            ASSERT_TRUE(s.save(std::vector{field("A", 3)}));
        }
        EXPECT_TRUE(fs::is_regular_file(path));
        EXPECT_TRUE(same(reload(), std::vector{field("A", 3)}));
    }
    const auto entries = std::distance(fs::directory_iterator(dir), fs::directory_iterator());
    EXPECT_EQ(entries, static_cast<std::ptrdiff_t>(std::size(names))) << "a file under a mangled name";
}

TEST_F(StoreTest, the_log_is_synced_by_the_store_itself_after_a_commit) {
    StateStore s(path, {.vfs = {}, .busyTimeoutMs = 250, .syncAfter = std::chrono::milliseconds(0)});
    ASSERT_TRUE(s.open());
    ASSERT_TRUE(s.save(std::vector{field("A", 4)}));
    // Waits for the event, bounded; times nothing.
    for (int i = 0; i < 1000 && s.backgroundSyncs() == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_GT(s.backgroundSyncs(), 0u);
    s.close();
    EXPECT_TRUE(same(reload(), std::vector{field("A", 4)}));
}

TEST_F(StoreTest, a_save_that_fails_at_any_write_leaves_the_state_before_it) {
    const std::vector<ServerState> before{field("A", 12), field("B", 4)};
    ServerState a = field("A", 30);
    a.rules = {0, 0, 1, "3"};
    ServerState b = field("B", 1);
    const std::vector<ServerState> after{a, b};

    // How many writes a save takes: fail at each of them in turn.
    int writesPerSave = 0;
    {
        fs::remove(path);
        StateStore s(path, {test::faultyVfs()});
        ASSERT_TRUE(s.open());
        ASSERT_TRUE(s.save(before));
        test::vfsFaults().writes = 0;
        ASSERT_TRUE(s.save(after));
        writesPerSave = test::vfsFaults().writes;
    }
    ASSERT_GT(writesPerSave, 0);
    for (int k = 0; k < writesPerSave; ++k) {
        fs::remove(path);
        {
            StateStore s(path, {test::faultyVfs()});
            ASSERT_TRUE(s.open());
            ASSERT_TRUE(s.save(before));
            test::vfsFaults().writesLeft = k;
            test::vfsFaults().writeError = SQLITE_FULL;
            const store::Result r = s.save(after);
            test::vfsFaults() = {};
            EXPECT_EQ(r.problem, Problem::Unavailable) << "failing write " << k;
        }
        EXPECT_TRUE(same(reload(), before)) << "failing write " << k << " of " << writesPerSave;
    }
}

TEST_F(StoreTest, a_file_that_is_not_ours_or_newer_is_left_exactly_as_it_is) {
    const struct {
        const char* what;
        std::string sql;
        Problem problem;
    } rows[] = {
        {"newer schema", "PRAGMA application_id=1347253108; PRAGMA user_version=7; CREATE TABLE server(x);",
         Problem::NewerSchema},
        {"another program's id", "PRAGMA application_id=42; CREATE TABLE t(x);", Problem::Foreign},
        {"another program's version", "PRAGMA user_version=3; CREATE TABLE t(x);", Problem::Foreign},
        {"another program's tables", "CREATE TABLE moz_places(url TEXT);", Problem::Foreign},
    };
    for (const auto& row : rows) {
        fs::remove_all(dir);
        fs::create_directories(dir);
        craft(row.sql);
        const std::string original = bytes(path);
        StateStore s(path);
        EXPECT_EQ(s.open().problem, row.problem) << row.what;
        EXPECT_FALSE(s.isOpen()) << row.what;
        s.close();
        EXPECT_EQ(bytes(path), original) << row.what;
        EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1) << row.what;
    }
}

TEST_F(StoreTest, a_damaged_file_is_recognised_and_moved_aside_with_its_log) {
    std::string good;
    {
        StateStore s(path);
        ASSERT_TRUE(s.open());
        std::vector<ServerState> many;
        for (int i = 0; i < 40; ++i) {
            many.push_back(field("S" + std::to_string(i), 32));
        }
        ASSERT_TRUE(s.save(many));
        s.checkpoint();
    }
    good = bytes(path);
    ASSERT_GT(good.size(), 8192u);
    const struct {
        const char* what;
        std::string content;
    } rows[] = {
        {"text, not a database", "[NEW SERVER]\r\nName=oops\r\n"},
        {"cut short", good.substr(0, good.size() / 2)},
        {"a page overwritten", good.substr(0, 4096) + std::string(4096, '\x5a') + good.substr(8192)},
        {"the header's magic", "SQLite format 2" + good.substr(15)},
        // Found by fuzzing: a write version no SQLite writes makes the file
        // read-only for good, once page 1 is read; it was taken for a file
        // busy for now, to be retried for ever.
        {"the header's write version", good.substr(0, 18) + '\x3c' + good.substr(19)},
    };
    // A file whose pages are sound but where one server's lists are not
    // lists, or its numbers not whole numbers: that server is named, the
    // others load.
    for (const char* edit : {"start_order = 'not json'", "start_order = '{\"a\":1}'", "start_order = '[1, 2]'",
                             "custom = 'yes'", "last_race = 4294967297", "reverse_top = 0.5"}) {
        fs::remove_all(dir);
        fs::create_directories(dir);
        {
            StateStore s(path);
            ASSERT_TRUE(s.open());
            // The bad row last: nothing read after it tidies up after it.
            ASSERT_TRUE(s.save(std::vector{field("B", 3), field("A", 2)}));
        }
        craft(std::string("UPDATE server SET ") + edit + " WHERE name = 'A'");
        StateStore s(path);
        ASSERT_TRUE(s.open());
        std::vector<ServerState> loaded;
        std::vector<store::UnreadableServer> unreadable;
        ASSERT_TRUE(s.load(loaded, unreadable)) << edit;
        ASSERT_EQ(loaded.size(), 1u) << edit;
        EXPECT_TRUE(loaded[0].sameContent(field("B", 3))) << edit;
        ASSERT_EQ(unreadable.size(), 1u) << edit;
        EXPECT_EQ(unreadable[0].key, field("A", 2).key) << edit;
        // The reading of the bad row is over: it holds back no checkpoint,
        // so a later save reaches the file itself.
        ASSERT_TRUE(s.save(std::vector{field("B", 5)})) << edit;
        s.checkpoint();
        fs::copy_file(path, dir / "file-alone.db");
        StateStore alone(dir / "file-alone.db");
        ASSERT_TRUE(alone.open()) << edit;
        ASSERT_TRUE(alone.load(loaded)) << edit;
        ASSERT_EQ(loaded.size(), 1u) << edit;
        EXPECT_EQ(loaded[0].order.size(), 5u) << edit;
    }
    // An ordinal that is no whole number does not stand for the server whose
    // ordinal it would read as.
    {
        fs::remove_all(dir);
        fs::create_directories(dir);
        {
            StateStore s(path);
            ASSERT_TRUE(s.open());
            ASSERT_TRUE(s.save(std::vector{field("A", 2), field("B", 3)}));
        }
        craft("UPDATE server SET ordinal = 4294967296, name = 'B' WHERE name = 'A'");
        StateStore s(path);
        ASSERT_TRUE(s.open());
        std::vector<ServerState> loaded;
        std::vector<store::UnreadableServer> unreadable;
        ASSERT_TRUE(s.load(loaded, unreadable));
        ASSERT_EQ(loaded.size(), 1u);
        EXPECT_TRUE(loaded[0].sameContent(field("B", 3)));
        ASSERT_EQ(unreadable.size(), 1u);
        EXPECT_NE(unreadable[0].key, field("B", 3).key);
    }
    for (const auto& row : rows) {
        fs::remove_all(dir);
        fs::create_directories(dir);
        write(path, row.content);
        write(fs::path(path.string() + "-wal"), "not a log either");
        StateStore s(path);
        const store::Result r = s.open();
        ASSERT_EQ(r.problem, Problem::Corrupt) << row.what << ": " << r.detail;
        std::string error;
        const auto aside = s.moveAside("20261208-201403", error);
        ASSERT_TRUE(aside) << error;
        EXPECT_EQ(aside->filename(), "state.db.corrupt-20261208-201403");
        EXPECT_EQ(bytes(*aside), row.content) << row.what;
        EXPECT_TRUE(fs::exists(aside->string() + "-wal")) << row.what;
        EXPECT_FALSE(fs::exists(path.string() + "-wal")) << row.what;
        ASSERT_TRUE(s.open()) << row.what << ": a clean start in its place";
        std::vector<ServerState> loaded;
        ASSERT_TRUE(s.load(loaded));
        EXPECT_TRUE(loaded.empty());
    }
    // Moved aside twice in the same second: the second gets its own name.
    StateStore s(path);
    ASSERT_TRUE(s.open());
    std::string error;
    EXPECT_EQ(s.moveAside("20261208-201403", error)->filename(), "state.db.corrupt-20261208-201403-2");
}

// Found by fuzzing: a header with our id and a negative version sent the
// migration to look up a step before the first.
TEST_F(StoreTest, a_header_of_ours_with_a_negative_version_is_damaged) {
    craft("PRAGMA application_id=1347253108; PRAGMA user_version=-591103;");
    StateStore s(path);
    const store::Result r = s.open();
    EXPECT_EQ(r.problem, Problem::Corrupt) << r.detail;
    EXPECT_FALSE(s.isOpen());
    std::string error;
    ASSERT_TRUE(s.moveAside("20261208-201403", error)) << error;
    ASSERT_TRUE(s.open());
    std::vector<ServerState> loaded;
    ASSERT_TRUE(s.load(loaded));
    EXPECT_TRUE(loaded.empty());
}

// Found by fuzzing: a name kept as a blob reads as the server's name, yet the
// unique key holds it apart from the text the program writes. Taken as that
// server's state, it came back at every start over everything saved since.
TEST_F(StoreTest, a_key_kept_as_bytes_is_not_taken_for_the_server_it_spells) {
    for (const char* column : {"name", "host", "insim_port"}) {
        fs::remove_all(dir);
        fs::create_directories(dir);
        {
            StateStore s(path);
            ASSERT_TRUE(s.open());
            ASSERT_TRUE(s.save(std::vector{field("A", 2), field("B", 3)}));
        }
        craft(std::string("UPDATE server SET ") + column + " = CAST(" + column + " AS BLOB) WHERE name = 'A'");
        StateStore s(path);
        ASSERT_TRUE(s.open());
        std::vector<ServerState> loaded;
        std::vector<store::UnreadableServer> unreadable;
        ASSERT_TRUE(s.load(loaded, unreadable)) << column;
        ASSERT_EQ(loaded.size(), 1u) << column;
        EXPECT_TRUE(loaded[0].sameContent(field("B", 3))) << column;
        ASSERT_EQ(unreadable.size(), 1u) << column;
        EXPECT_EQ(unreadable[0].key, field("A", 2).key) << column;

        // The server's next save is what the next start finds.
        ASSERT_TRUE(s.save(std::vector{field("A", 5)})) << column;
        ASSERT_TRUE(s.load(loaded, unreadable)) << column;
        const auto a = std::find_if(loaded.begin(), loaded.end(),
                                    [](const ServerState& st) { return st.key == field("A", 5).key; });
        ASSERT_NE(a, loaded.end()) << column;
        EXPECT_TRUE(a->sameContent(field("A", 5))) << column;
        EXPECT_EQ(std::count_if(loaded.begin(), loaded.end(),
                                [](const ServerState& st) { return st.key == field("A", 5).key; }),
                  1) << column;
    }
}

TEST_F(StoreTest, a_file_that_cannot_be_opened_or_written_is_unavailable) {
    StateStore missingFolder(dir / "no" / "such" / "folder" / "state.db");
    EXPECT_EQ(missingFolder.open().problem, Problem::Unavailable);

    test::vfsFaults().openError = SQLITE_CANTOPEN;
    StateStore readOnly(path, {test::faultyVfs()});
    EXPECT_EQ(readOnly.open().problem, Problem::Unavailable);
    test::vfsFaults() = {};

    StateStore full(path, {test::faultyVfs()});
    ASSERT_TRUE(full.open());
    test::vfsFaults().writesLeft = 0;
    test::vfsFaults().writeError = SQLITE_FULL;
    EXPECT_EQ(full.save(std::vector{field("A", 3)}).problem, Problem::Unavailable);
    test::vfsFaults() = {};
    EXPECT_TRUE(full.save(std::vector{field("A", 3)})) << "the next save, once there is room";
}
