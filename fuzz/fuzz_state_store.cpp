// The state store reading a damaged file: what a disk fault, a crash of
// something else or an edit by hand may leave where the program keeps its
// state. The file lives in memory (/dev/shm where there is one), one folder
// per fuzz process, rewritten for every input.
//
// Input: byte 0 picks how the file is damaged, the rest says where and how.
//   0  pages: a sound file (one saved state, in the file itself), with
//      patches: offset (2 bytes, little-endian, taken modulo the file's
//      length), length byte, that many bytes
//   1  pages and log: as 0, over a file whose last save is still in its
//      write-ahead log; an offset past the file's end patches the log
//   2  rows: a sound file whose rows are edited as by hand, each edit a
//      column byte, a row byte and a value: kind byte (null, integer, real,
//      text, blob), length byte, that many bytes
//   3  anything: the rest of the input is the whole file
//
// Whatever the file holds, the store must tell it apart as the program
// needs: a file of another program or of a newer one is left exactly as it
// was; a damaged one is never taken for one that cannot be used now (the
// program would then retry it for ever instead of moving it aside and
// starting clean), and once moved aside, a clean start follows; a file that
// opens and loads gives back, saved again, what it gave the first time.

#include <sqlite3.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "FuzzInput.h"
#include "ScratchFolder.h"
#include "store/StateStore.h"

using namespace pm;
using store::Problem;
using store::ServerState;
using store::StateStore;
namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

namespace {

[[noreturn]] void broken(const char* what, const std::string& detail = {}) {
    std::fprintf(stderr, "invariant broken: %s%s%s\n", what, detail.empty() ? "" : ": ", detail.c_str());
    std::abort();
}

enum Damage : std::uint8_t { kPages, kPagesAndLog, kRows, kAnything, kKinds };

const char* const kColumns[] = {"name",
                                "host",
                                "insim_port",
                                "ordinal",
                                "finish",
                                "start_order",
                                "last_race",
                                "reverse_top",
                                "custom",
                                "reverse_count",
                                "file_last_race",
                                "file_reverse_top",
                                "file_reverse_count",
                                "changed_at"};

ServerState server(const std::string& name, int drivers) {
    ServerState s;
    s.key = {name, "10.0.0.1", "29999", 0};
    for (int k = 1; k <= drivers; ++k) {
        s.finish.push_back((k < 10 ? "0" : "") + std::to_string(k) + " driver" + std::to_string(k));
        s.order.push_back("driver" + std::to_string(drivers + 1 - k));
    }
    s.rules = {1, 1, 0, "3"};
    s.file = {1, 0, "10"};
    s.changedAt = 1765200000;
    return s;
}

Bytes read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary | std::ios::ate);
    Bytes out(in ? static_cast<std::size_t>(in.tellg()) : 0);
    in.seekg(0);
    in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(out.size()));
    return out;
}

void write(const fs::path& p, const Bytes& bytes) {
    std::ofstream(p, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// A folder of this process's own, in memory where the system has it.
class Place {
public:
    Place() {
        dir_ = fuzz::scratchFolder() / ("pm-fuzz-store-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
        makeTemplates();
    }
    ~Place() {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    Place(const Place&) = delete;
    Place& operator=(const Place&) = delete;

    fs::path file() const { return dir_ / "state.db"; }
    fs::path log() const { return dir_ / "state.db-wal"; }
    void clear() const {
        for (const auto& entry : fs::directory_iterator(dir_)) {
            fs::remove(entry.path());
        }
    }

    Bytes sound;        // one saved state, all in the file
    Bytes soundWithLog; // the file of a store whose last save is in its log,
    Bytes log_;         // and that log

private:
    void makeTemplates() {
        clear();
        {
            StateStore s(file());
            if (!s.open() || !s.save(std::vector{server("Club", 4), server("Late night", 2)})) {
                broken("no sound file to start from");
            }
            s.checkpoint();
        }
        sound = read(file());
        clear();
        {
            StateStore::Options options;
            options.syncAfter = std::chrono::hours(1);
            StateStore s(file(), options);
            if (!s.open() || !s.save(std::vector{server("Club", 4)}) ||
                !s.save(std::vector{server("Late night", 3), server("Third", 1)})) {
                broken("no sound file with a log to start from");
            }
            soundWithLog = read(file());
            log_ = read(log());
        }
        clear();
    }

    fs::path dir_;
};

void patch(Bytes& file, Bytes* log, fuzz::FuzzInput& in) {
    while (!in.empty()) {
        const std::size_t total = file.size() + (log != nullptr ? log->size() : 0);
        std::size_t at = (in.byte() | (static_cast<std::size_t>(in.byte()) << 8)) % total;
        const auto bytes = in.take(in.byte());
        for (const std::uint8_t b : bytes) {
            if (at < file.size()) {
                file[at] = b;
            } else if (log != nullptr && at - file.size() < log->size()) {
                (*log)[at - file.size()] = b;
            }
            ++at;
        }
    }
}

void editRows(const fs::path& path, fuzz::FuzzInput& in) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        sqlite3_close_v2(db);
        broken("the sound file does not open for editing");
    }
    while (!in.empty()) {
        const char* column = kColumns[in.byte() % std::size(kColumns)];
        const int row = in.byte() % 3 + 1;
        const std::uint8_t kind = in.byte();
        const auto value = in.take(in.byte());
        sqlite3_stmt* s = nullptr;
        const std::string sql = std::string("UPDATE server SET ") + column + " = ?1 WHERE id = ?2";
        sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr);
        std::int64_t number = 0;
        std::memcpy(&number, value.data(), std::min(value.size(), sizeof number));
        switch (kind % 5) {
        case 0: sqlite3_bind_null(s, 1); break;
        case 1: sqlite3_bind_int64(s, 1, number); break;
        case 2: {
            double real = 0;
            std::memcpy(&real, &number, sizeof real);
            sqlite3_bind_double(s, 1, real);
            break;
        }
        case 3:
            sqlite3_bind_text(s, 1, reinterpret_cast<const char*>(value.data()),
                              static_cast<int>(value.size()), SQLITE_TRANSIENT);
            break;
        default:
            sqlite3_bind_blob(s, 1, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
            break;
        }
        sqlite3_bind_int(s, 2, row);
        sqlite3_step(s); // a NOT NULL or UNIQUE refusal leaves the row as it was
        sqlite3_finalize(s);
    }
    sqlite3_close_v2(db);
}

void expectUsable(const store::Result& r, const char* what) {
    if (r.problem == Problem::Unavailable) {
        broken(what, r.detail);
    }
}

// What was loaded, saved back, loads the same. An index damaged in a way
// the quick check does not look for may let two rows share a key: which of
// them a save replaces is the index's word, so those are left out.
void roundTrip(StateStore& s, const std::vector<ServerState>& loaded) {
    if (loaded.empty()) {
        return;
    }
    const store::Result saved = s.save(loaded);
    expectUsable(saved, "saving a loaded state found the file unusable now");
    if (!saved) {
        return; // damage the reading did not meet
    }
    std::vector<ServerState> again;
    std::vector<store::UnreadableServer> unreadable;
    const store::Result r = s.load(again, unreadable);
    expectUsable(r, "reloading found the file unusable now");
    if (!r) {
        return;
    }
    std::map<std::string, const ServerState*> unique;
    std::set<std::string> shared;
    const auto key = [](const ServerState& st) {
        return st.key.name + '\0' + st.key.host + '\0' + st.key.port + '\0' + std::to_string(st.key.ordinal);
    };
    for (const auto& st : loaded) {
        if (!unique.emplace(key(st), &st).second) {
            shared.insert(key(st));
        }
    }
    for (const auto& k : shared) {
        unique.erase(k);
    }
    for (const auto& [k, st] : unique) {
        bool found = false;
        for (const auto& back : again) {
            if (key(back) == k) {
                found = true;
                if (!back.sameContent(*st) || back.changedAt != st->changedAt) {
                    broken("a state saved back did not load as it was saved");
                }
            }
        }
        if (!found) {
            broken("a state saved back is missing");
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Place place;
    fuzz::FuzzInput in({data, size});
    const auto damage = static_cast<Damage>(in.byte() % kKinds);

    place.clear();
    bool withLog = false;
    Bytes before; // the file as the store finds it
    switch (damage) {
    case kPages:
        before = place.sound;
        patch(before, nullptr, in);
        write(place.file(), before);
        break;
    case kPagesAndLog: {
        before = place.soundWithLog;
        Bytes log = place.log_;
        patch(before, &log, in);
        write(place.file(), before);
        write(place.log(), log);
        withLog = true;
        break;
    }
    case kRows:
        write(place.file(), place.sound);
        editRows(place.file(), in);
        before = read(place.file());
        break;
    default: {
        const auto rest = in.rest();
        before.assign(rest.begin(), rest.end());
        write(place.file(), before);
        break;
    }
    }

    StateStore s(place.file());
    const store::Result opened = s.open();
    expectUsable(opened, "a damaged file taken for one that cannot be used now");
    if (opened.problem == Problem::Foreign || opened.problem == Problem::NewerSchema) {
        if (s.isOpen()) {
            broken("a file left alone is still open");
        }
        if (!withLog && read(place.file()) != before) {
            broken("a file left alone was changed");
        }
        return 0;
    }
    if (opened.problem == Problem::Corrupt) {
        std::string error;
        if (!s.moveAside("fuzz", error)) {
            broken("a damaged file could not be moved aside", error);
        }
        const store::Result fresh = s.open();
        std::vector<ServerState> loaded;
        if (!fresh || !s.load(loaded) || !loaded.empty()) {
            broken("no clean start after moving a damaged file aside", fresh.detail);
        }
        return 0;
    }

    std::vector<ServerState> loaded;
    std::vector<store::UnreadableServer> unreadable;
    const store::Result r = s.load(loaded, unreadable);
    expectUsable(r, "loading found a damaged file unusable now");
    if (r) {
        roundTrip(s, loaded);
    }
    return 0;
}
