// --state from the app's side: what a restart gives back, when a change is
// written, and how each kind of bad state file is met.

#include "app/StatePersistence.h"

#include <sqlite3.h>

#include "AppFixture.h"
#include "platform/System.h"
#include "support/FaultyVfs.h"

using namespace pm;
using namespace pm::test;
using namespace std::chrono_literals;
using app::StatePersistence;
using Mode = StatePersistence::Mode;

namespace fs = std::filesystem;

namespace {

struct FileRules {
    int lastRace = 1;
    int reverseTop = 0;
    std::string count = "10";
};

class StateTest : public AppTest {
protected:
    StateTest() {
        static int n = 0;
        dir = fs::temp_directory_path() / ("pm_state_" + std::to_string(::getpid()) + "_" + std::to_string(++n));
        fs::create_directories(dir);
        statePath = dir / "state.db";
        vfsFaults() = {};
    }
    ~StateTest() override {
        stop();
        vfsFaults() = {};
        fs::remove_all(dir);
    }

    static std::string block(const std::string& name, const FileRules& r) {
        return "[NEW SERVER]\r\nName=" + name + "\r\nHost=127.0.0.1\r\nInSim Port=29999\r\nListen Port=0\r\n"
               "Admin PW=pw\r\nConnect=0\r\nLast Race=" + std::to_string(r.lastRace) +
               "\r\nReverse Top=" + std::to_string(r.reverseTop) + "\r\nReverse Count=" + r.count + "\r\n";
    }

    // One run of the program: its state taken before the start-up file is
    // read, given back after.
    void start(const std::string& cfg, store::StateStore::Options options = {}) {
        stop();
        cfgPath = dir / "autostart.cfg";
        std::ofstream(cfgPath, std::ios::binary) << cfg;
        form = std::make_unique<app::frmMain>(stack.platform(), cfgPath);
        state = std::make_unique<StatePersistence>(*form, stack.platform(), statePath, options);
        ASSERT_FALSE(state->open());
        form->Form_Load();
        state->restore();
    }
    void stop() {
        state.reset();
        form.reset();
        peers.clear();
    }

    // Events as the server sends them, through the client.
    void receive(std::int16_t n, const std::vector<std::uint8_t>& bytes) { views(n).ucInSim.ReceivePacket(bytes); }
    void admin(std::int16_t n, std::uint8_t ucid, const std::string& uname) {
        insim::IsNcn ncn;
        ncn.UCID = ucid;
        ncn.UName = uname;
        ncn.Admin = 1;
        receive(n, ncn.toBytes());
    }
    void says(std::int16_t n, std::uint8_t ucid, const std::string& text) {
        insim::IsMso mso;
        mso.UCID = ucid;
        mso.UserType = insim::MSO_USER;
        mso.Msg = "Boss : " + text;
        mso.TextStart = 7; // the typed text begins after "Boss : "
        receive(n, mso.toBytes());
    }
    void finished(std::int16_t n, const V& names) {
        for (std::size_t k = 0; k < names.size(); ++k) {
            insim::IsRes res;
            res.UName = names[k];
            res.ResultNum = static_cast<std::uint8_t>(k);
            receive(n, res.toBytes());
        }
    }
    void voteRestart(std::int16_t n) {
        insim::IsSmall vta;
        vta.SubT = insim::SMALL_VTA;
        vta.UVal = insim::VOTE_RESTART;
        receive(n, vta.toBytes());
    }
    void field(std::int16_t n, const V& names) {
        std::uint8_t id = 10;
        for (const auto& name : names) {
            driver(n, id++, name);
        }
    }

    // What the file holds now, read the way the sqlite3 shell would, beside
    // the running program.
    std::vector<store::ServerState> stored() {
        store::StateStore look(statePath);
        EXPECT_TRUE(look.open());
        std::vector<store::ServerState> out;
        EXPECT_TRUE(look.load(out));
        return out;
    }
    const store::ServerState* storedServer(const std::vector<store::ServerState>& all, const std::string& name) {
        for (const auto& s : all) {
            if (s.key.name == name) {
                return &s;
            }
        }
        return nullptr;
    }
    std::string rules(std::int16_t n) {
        auto& v = views(n);
        return std::to_string(v.chkLastRace.value()) + std::to_string(v.chkReverse.value()) +
               std::to_string(v.chkCustom.value()) + " " + v.txtReverse.text();
    }
    // Status lines holding `part`, without their time stamps.
    V linesWith(const std::string& part) {
        V out;
        for (const auto& line : form->txtStatus.lines()) {
            if (line.find(part) != std::string::npos) {
                out.push_back(line.substr(line.find(": ") + 2));
            }
        }
        return out;
    }
    std::string when() { return platform::formatLocalDateTime(stack.clock().wallNow()); }

    fs::path dir;
    fs::path statePath;
    std::unique_ptr<StatePersistence> state;
};

} // namespace

TEST_F(StateTest, a_restart_gives_back_the_orders_and_the_rules_with_a_line_per_server) {
    const std::string cfg = block("Club Server", {}) + block("Quiet", {0, 0, "10"});
    start(cfg);
    EXPECT_EQ(statusTexts(), V{"State file " + statePath.string() + " keeps the finishing and start orders and "
                                                                    "the rules"});
    wire(1);
    field(1, {"amy", "bob", "cat", "dan"});
    admin(1, 2, "boss");
    finished(1, {"cat", "amy", "dan", "bob"});
    says(1, 2, "*reverse 2");
    voteRestart(1);
    const std::string changed1 = when();
    stack.loop().advance(5min);
    views(2).chkCustom.setValue(1); // the operator, in the window
    stack.loop().drain();
    const std::string changed2 = when();
    const V finish = views(1).lstFinish.texts();
    ASSERT_EQ(views(1).lstOrder.texts(), (V{"amy", "cat", "dan", "bob"}));

    stack.loop().advance(2h);
    start(cfg);
    EXPECT_EQ(views(1).lstFinish.texts(), finish);
    EXPECT_EQ(views(1).lstOrder.texts(), (V{"amy", "cat", "dan", "bob"}));
    EXPECT_EQ(rules(1), "110 2");
    EXPECT_EQ(rules(2), "001 10");
    EXPECT_EQ(linesWith("restored"),
              (V{"Club Server: restored 4 finishers, 4 in the start order, rules from " + changed1,
                 "Quiet: restored 0 finishers, 0 in the start order, rules from " + changed2}));

    // What was given back is kept on: the next vote uses it.
    wire(1);
    field(1, {"amy", "bob", "cat", "dan"});
    peers.at(1)->take();
    voteRestart(1);
    const V wire = sent(1);
    ASSERT_FALSE(wire.empty());
    EXPECT_EQ(wire.back(), "REO 4: 10 12 13 11");
}

TEST_F(StateTest, an_edit_of_the_start_up_file_wins_over_the_saved_rule_it_started_from) {
    // Saved: the file said 1 | 0 | 10; chat then made it 0 | 1 | 5, custom on.
    const struct {
        FileRules fileNow;
        std::string restored;
        std::string note;
    } rows[] = {
        {{1, 0, "10"}, "011 5", ""},
        {{2, 0, "10"}, "211 5", "; from the edited start-up file: Last Race"},
        {{1, 2, "10"}, "021 5", "; from the edited start-up file: Reverse Top"},
        {{1, 0, "7"}, "011 7", "; from the edited start-up file: Reverse Count"},
        {{1, 0, "010"}, "011 5", ""}, // the same count, written another way
        {{0, 2, "3"}, "021 3", "; from the edited start-up file: Last Race, Reverse Top, Reverse Count"},
    };
    for (const auto& row : rows) {
        stop();
        fs::remove_all(dir);
        fs::create_directories(dir);
        start(block("S", {1, 0, "10"}));
        admin(1, 2, "boss");
        says(1, 2, "*lastrace 0");
        says(1, 2, "*reverse 5");
        says(1, 2, "*custom 1");
        const std::string saved = when();

        stack.loop().advance(1min);
        start(block("S", row.fileNow));
        EXPECT_EQ(rules(1), row.restored) << row.note;
        EXPECT_EQ(linesWith("restored"),
                  V{"S: restored 0 finishers, 0 in the start order, rules from " + saved + row.note});

        // The edit is the new starting point: a rule switched after it is
        // what the next start gives back, while the file stays as edited.
        admin(1, 2, "boss");
        says(1, 2, "*lastrace 1");
        stack.loop().advance(1min);
        start(block("S", row.fileNow));
        EXPECT_EQ(rules(1), "1" + row.restored.substr(1)) << row.note;
    }
}

TEST_F(StateTest, rule_lines_that_a_typo_above_kept_unread_leave_the_saved_rules_alone) {
    const std::string good = block("S", {1, 1, "3"});
    std::string typo = good;
    typo.replace(typo.find("Last Race=1"), 11, "Last Race=yes");
    start(good);
    admin(1, 2, "boss");
    says(1, 2, "*reverse 5");
    ASSERT_EQ(rules(1), "110 5");
    const std::string saved = when();

    stack.loop().advance(1min);
    start(typo);
    EXPECT_EQ(rules(1), "110 5");
    EXPECT_EQ(linesWith("restored"), V{"S: restored 0 finishers, 0 in the start order, rules from " + saved});

    // Mended, the file says what it said before: still no edit of it.
    stack.loop().advance(1min);
    start(good);
    EXPECT_EQ(rules(1), "110 5");
    EXPECT_EQ(linesWith("restored"), V{"S: restored 0 finishers, 0 in the start order, rules from " + saved});
}

TEST_F(StateTest, a_rebuilt_order_is_one_commit_written_before_the_next_datagram) {
    start(block("S", {1, 0, "10"}));
    wire(1);
    const V names{"a", "b", "c", "d", "e", "f", "g", "h"};
    field(1, names);
    const auto before = state->store().commits();
    finished(1, names);
    EXPECT_EQ(state->store().commits(), before + names.size()) << "one per result";
    ASSERT_EQ(stored().front().finish.size(), names.size());

    // Eight adds after a clear, each notifying, all in one transaction.
    voteRestart(1);
    EXPECT_EQ(state->store().commits(), before + names.size() + 1);
    EXPECT_EQ(stored().front().order, names);
    // The same order again is no change.
    voteRestart(1);
    EXPECT_EQ(state->store().commits(), before + names.size() + 1);
}

TEST_F(StateTest, a_change_in_the_window_is_written_before_the_next_datagram_is_handled) {
    start(block("S", {1, 0, "10"}));
    views(1).txtReverse.setText("4"); // typed by the operator; the loop has not run yet
    connection(1, 3, "someone");       // the next datagram
    EXPECT_EQ(stored().front().rules.reverseCount, "4");

    views(1).chkReverse.setValue(1);
    stack.loop().drain();
    EXPECT_EQ(stored().front().rules.reverseTop, 1);
}

TEST_F(StateTest, a_damaged_file_is_moved_aside_and_the_program_starts_clean) {
    std::ofstream(statePath, std::ios::binary) << "this is not a database, it only sits where one should be";
    start(block("S", {1, 0, "10"}));
    const std::string aside = statePath.string() + ".corrupt-" + [&] {
        const std::time_t t = std::chrono::system_clock::to_time_t(stack.clock().wallNow());
        std::tm local{};
        platform::localTime(t, local);
        char buf[32];
        std::strftime(buf, sizeof buf, "%Y%m%d-%H%M%S", &local);
        return std::string(buf);
    }();
    ASSERT_EQ(statusTexts().size(), 2u);
    EXPECT_EQ(statusTexts()[0], "State file " + statePath.string() +
                                    " is damaged (reading the header: file is not a database); moved aside to " +
                                    aside + "; starting with no saved state");
    EXPECT_TRUE(fs::exists(aside));
    EXPECT_EQ(state->mode(), Mode::Open);
    views(1).chkCustom.setValue(1);
    stack.loop().drain();
    EXPECT_EQ(stored().front().rules.custom, 1);
}

TEST_F(StateTest, a_server_whose_saved_row_cannot_be_read_starts_from_the_file_and_the_others_are_restored) {
    const std::string cfg = block("A", {1, 0, "10"}) + block("B", {1, 0, "10"});
    start(cfg);
    for (std::int16_t n : {1, 2}) {
        views(n).chkCustom.setValue(1);
    }
    stack.loop().drain();
    stop();
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(statePath.string().c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "UPDATE server SET finish = 'edited by hand' WHERE name = 'A'", nullptr, nullptr,
                           nullptr),
              SQLITE_OK);
    sqlite3_close(db);

    start(cfg);
    EXPECT_EQ(rules(1), "100 10");
    EXPECT_EQ(rules(2), "101 10");
    EXPECT_EQ(state->mode(), Mode::Open);
    const V lines = linesWith("A: ");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("A: its saved state cannot be read (a list is not readable: ", 0), 0u) << lines[0];
    EXPECT_TRUE(lines[0].ends_with("); it starts from the start-up file")) << lines[0];
    EXPECT_EQ(linesWith("B: restored").size(), 1u);
}

TEST_F(StateTest, a_newer_or_foreign_file_is_used_for_nothing_and_left_as_it_is) {
    const struct {
        const char* sql;
        const char* says;
    } rows[] = {
        {"PRAGMA application_id=1347253108; PRAGMA user_version=9; CREATE TABLE server(x);",
         "was written by a newer version of this program (schema version 9; this program knows up to 1); it is "
         "left untouched, and nothing is restored or kept this run"},
        {"CREATE TABLE moz_places(url TEXT);",
         "is not this program's (the file holds another program's tables); it is left untouched, and nothing is "
         "restored or kept this run"},
    };
    for (const auto& row : rows) {
        stop();
        fs::remove_all(dir);
        fs::create_directories(dir);
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(statePath.string().c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db, row.sql, nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
        const auto size = fs::file_size(statePath);
        const auto time = fs::last_write_time(statePath);

        start(block("S", {1, 0, "10"}));
        EXPECT_EQ(statusTexts(), V{"State file " + statePath.string() + " " + row.says});
        EXPECT_EQ(state->mode(), Mode::Ignored);
        views(1).chkCustom.setValue(1);
        stack.loop().drain();
        stop();
        EXPECT_EQ(fs::file_size(statePath), size);
        EXPECT_EQ(fs::last_write_time(statePath), time);
    }
}

TEST_F(StateTest, a_full_disk_is_reported_once_and_the_state_written_when_there_is_room) {
    start(block("S", {1, 0, "10"}), {faultyVfs()});
    vfsFaults().writesLeft = 0;
    vfsFaults().writeError = SQLITE_FULL;
    admin(1, 2, "boss");
    says(1, 2, "*reverse 3");
    says(1, 2, "*custom 1");
    stack.loop().advance(StatePersistence::kRetryEvery);
    EXPECT_EQ(state->mode(), Mode::Unavailable);
    const V problems = linesWith("cannot be used");
    ASSERT_EQ(problems.size(), 1u) << "said once, not per change or per try";
    EXPECT_EQ(problems[0], "State file " + statePath.string() +
                               " cannot be used (committing: database or disk is full); running on without "
                               "keeping the state, trying again every 30 s");

    vfsFaults() = {};
    stack.loop().advance(StatePersistence::kRetryEvery);
    EXPECT_EQ(state->mode(), Mode::Open);
    EXPECT_EQ(linesWith("can be used again").size(), 1u);
    EXPECT_EQ(stored().front().rules, (store::RuleSettings{1, 1, 1, "3"}));
}

TEST_F(StateTest, a_file_that_can_be_opened_only_later_gives_back_what_has_not_changed_since_the_start) {
    start(block("A", {}) + block("B", {}));
    views(1).chkCustom.setValue(1);
    views(2).txtReverse.setText("2");
    stack.loop().drain();

    vfsFaults().openError = SQLITE_CANTOPEN;
    start(block("A", {}) + block("B", {}), {faultyVfs()});
    EXPECT_EQ(rules(1), "100 10") << "nothing restored";
    EXPECT_EQ(linesWith("cannot be used").size(), 1u);
    views(1).chkLastRace.setValue(0);
    stack.loop().drain();

    vfsFaults() = {};
    stack.loop().advance(StatePersistence::kRetryEvery);
    EXPECT_EQ(state->mode(), Mode::Open);
    const auto all = stored();
    EXPECT_EQ(storedServer(all, "A")->rules, (store::RuleSettings{0, 0, 0, "10"})) << "changed this run";
    EXPECT_EQ(storedServer(all, "B")->rules.reverseCount, "2") << "untouched this run, so kept";
    EXPECT_EQ(rules(1), "000 10") << "changed this run: newer than the saved state";
    EXPECT_EQ(rules(2), "100 2") << "untouched this run: given back now";
    EXPECT_EQ(linesWith("restored").size(), 1u);
    EXPECT_EQ(linesWith("restored")[0].rfind("B: restored", 0), 0u);
}

TEST_F(StateTest, a_saved_state_whose_first_reading_fails_is_given_back_by_the_retry) {
    const std::string cfg = block("A", {});
    start(cfg);
    views(1).chkCustom.setValue(1);
    stack.loop().drain();
    stop();

    // The file opens, then its reading fails for a while (an I/O error).
    std::ofstream(cfgPath, std::ios::binary) << cfg;
    form = std::make_unique<app::frmMain>(stack.platform(), cfgPath);
    state = std::make_unique<StatePersistence>(*form, stack.platform(), statePath,
                                               store::StateStore::Options{faultyVfs()});
    ASSERT_FALSE(state->open());
    form->Form_Load();
    vfsFaults().shmLockError = SQLITE_IOERR_SHMLOCK;
    state->restore();
    EXPECT_EQ(state->mode(), Mode::Unavailable);

    vfsFaults() = {};
    stack.loop().advance(StatePersistence::kRetryEvery);
    EXPECT_EQ(state->mode(), Mode::Open);
    EXPECT_EQ(rules(1), "101 10") << "unchanged this run: the saved state is given back";
}

TEST_F(StateTest, a_server_gone_from_the_start_up_file_is_kept_thirty_days) {
    start(block("A", {}) + block("Gone", {}));
    views(1).chkCustom.setValue(1);
    views(2).chkCustom.setValue(1);
    stack.loop().drain();

    start(block("A", {}));
    EXPECT_NE(storedServer(stored(), "Gone"), nullptr);
    stack.loop().advance(StatePersistence::kKeepUnlistedFor - 1h);
    EXPECT_NE(storedServer(stored(), "Gone"), nullptr);
    stack.loop().advance(2h);
    EXPECT_EQ(storedServer(stored(), "Gone"), nullptr) << "dropped by the hourly housekeeping";
    EXPECT_NE(storedServer(stored(), "A"), nullptr) << "listed: kept however old";
}

TEST_F(StateTest, servers_a_typo_above_kept_unread_are_not_taken_for_gone) {
    start(block("A", {}) + block("B", {}));
    views(2).chkCustom.setValue(1);
    stack.loop().drain();
    stack.loop().advance(StatePersistence::kKeepUnlistedFor + 1h);

    std::string typo = block("A", {});
    typo.replace(typo.find("Connect=0"), 9, "Connect 0");
    start(typo + block("B", {}));
    stack.loop().advance(2h);
    EXPECT_NE(storedServer(stored(), "B"), nullptr) << "still in the file, below the typo";
}

// Every name a state file goes by leads to the same file, so to the same
// lock: a second program cannot slip past it through a link. Windows lets
// only privileged users make links.
#ifndef _WIN32
TEST(StatePath, links_to_the_state_resolve_to_the_same_file) {
    const fs::path dir = fs::temp_directory_path() / ("pm_statepath_" + std::to_string(::getpid()));
    fs::create_directories(dir / "st");
    std::ofstream(dir / "st" / "state.db") << "";
    fs::create_symlink(dir / "st" / "state.db", dir / "link.db");
    fs::create_directory_symlink(dir / "st", dir / "linkdir");
    const fs::path real = StatePersistence::resolve(dir / "st");
    EXPECT_EQ(StatePersistence::resolve(dir / "link.db"), real);
    EXPECT_EQ(StatePersistence::resolve(dir / "linkdir"), real);
    EXPECT_EQ(StatePersistence::resolve(dir / "st" / ".." / "st" / "state.db"), real);
    // A link made before its state file: the file it will lead to.
    fs::create_symlink(dir / "st" / "later.db", dir / "later-link.db");
    EXPECT_EQ(StatePersistence::resolve(dir / "later-link.db"), StatePersistence::resolve(dir / "st" / "later.db"));
    fs::remove_all(dir);
}

// "--state /var/lib/pm/" before the folder is made (a mount not up yet):
// once it is, the state goes in it, not in a file named like the folder.
TEST(StatePath, a_folder_not_made_yet_gets_the_file_inside_it_when_named_with_a_slash) {
    const fs::path dir = fs::temp_directory_path() / ("pm_statefolder_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    EXPECT_EQ(StatePersistence::resolve(dir / "later" / ""), dir / "later" / StatePersistence::kFileInFolder);
    fs::remove_all(dir);
}
#endif

TEST(StatePath, only_a_file_of_its_own_is_taken_for_the_state) {
    const fs::path dir = fs::temp_directory_path() / ("pm_staterefusal_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const fs::path cfg = dir / "autostart.cfg";
    std::ofstream(cfg) << "[NEW SERVER]\r\n";
#ifndef _WIN32
    fs::create_symlink(cfg, dir / "cfg-link");
#endif
    const struct {
        fs::path given;
        const char* refused; // nullptr: taken
    } rows[] = {
        {dir / "state.db", nullptr},
        {dir, nullptr}, // a folder holds the state file
        {cfg, "names the start-up file"},
#ifndef _WIN32
        {dir / "cfg-link", "names the start-up file"},
        {"/dev/null", "which is not a plain file"},
#endif
    };
    for (const auto& row : rows) {
        const auto why = StatePersistence::refusal(StatePersistence::resolve(row.given), cfg);
        if (row.refused == nullptr) {
            EXPECT_FALSE(why) << row.given << ": " << why.value_or("");
        } else {
            ASSERT_TRUE(why) << row.given;
            EXPECT_NE(why->find(row.refused), std::string::npos) << *why;
        }
    }
    // A start-up file not written yet: the state would take its place, and
    // the admin's file, once written, would be moved aside as damaged.
    EXPECT_TRUE(StatePersistence::refusal(StatePersistence::resolve(dir / "later.cfg"), dir / "later.cfg"));
#ifdef _WIN32
    // Windows names one file in any case: the state would be that file.
    EXPECT_TRUE(StatePersistence::refusal(StatePersistence::resolve(dir / "LATER.CFG"), dir / "later.cfg"));
#endif
    fs::remove_all(dir);
}

#ifdef _WIN32
#include <windows.h> // last: its macros clash with names above

// Windows opens one file under several names: its 8.3 short name, or the
// long one with dots or spaces after it. SQLite names its log and the lock
// is named after the name given, so each spelling must come out as one name,
// or a second program gets a lock and a log of its own on the same file.
TEST(StatePath, every_name_windows_gives_the_state_file_resolves_to_one) {
    const fs::path dir = fs::temp_directory_path() / ("pm_statenames_" + std::to_string(::getpid()));
    fs::create_directories(dir / "sub");
    const fs::path file = dir / "longer-state-name.db";
    std::ofstream(file) << "";
    std::wstring shortName(MAX_PATH, L'\0');
    shortName.resize(::GetShortPathNameW(file.c_str(), shortName.data(), MAX_PATH));
    const fs::path real = StatePersistence::resolve(file);
    const fs::path spellings[] = {
        shortName,
        file.wstring() + L".",
        file.wstring() + L" .",
        dir / "sub" / ".." / "longer-state-name.db",
    };
    for (const auto& given : spellings) {
        EXPECT_EQ(StatePersistence::resolve(given), real) << given;
    }
    // Not made yet: only the folder's name can be made long.
    const fs::path later = StatePersistence::resolve(dir / "later.db");
    std::wstring shortDir(MAX_PATH, L'\0');
    shortDir.resize(::GetShortPathNameW(dir.c_str(), shortDir.data(), MAX_PATH));
    EXPECT_EQ(StatePersistence::resolve(fs::path(shortDir) / "later.db."), later);
    fs::remove_all(dir);
}
#endif
