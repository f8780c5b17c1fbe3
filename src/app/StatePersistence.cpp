#include "app/StatePersistence.h"

#include <ctime>
#include <system_error>

#include "app/Numbers.h"
#include "platform/System.h"

namespace pm::app {

namespace {

using store::Problem;

std::string counted(std::size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// For a file name: no separators a shell or another system would trip on.
std::string fileStamp(platform::Clock::Wall when) {
    const std::time_t t = std::chrono::system_clock::to_time_t(when);
    std::tm local{};
    platform::localTime(t, local);
    char buf[32];
    const std::size_t n = std::strftime(buf, sizeof buf, "%Y%m%d-%H%M%S", &local);
    return std::string(buf, n);
}

template <typename Model> std::function<void()> watch(Model& model, std::function<void()> onChange) {
    const auto id = model.changed.connect(std::move(onChange));
    return [&model, id] { model.changed.disconnect(id); };
}

} // namespace

StatePersistence::StatePersistence(frmMain& form, platform::Platform& platform, std::filesystem::path path,
                                   store::StateStore::Options options)
    : form_(form), platform_(platform), store_(std::move(path), std::move(options)) {}

StatePersistence::~StatePersistence() {
    *alive_ = false;
    flush();
    for (auto id : {retryTimer_, housekeepingTimer_}) {
        if (id != 0) {
            platform_.loop.stopTimer(id);
        }
    }
    for (auto& [index, tracked] : tracked_) {
        for (auto& undo : tracked.disconnect) {
            undo();
        }
    }
    for (auto& undo : disconnectForm_) {
        undo();
    }
    // Closing the store (its destructor) folds the log into the file: a clean
    // end leaves the whole state in the file itself.
}

std::filesystem::path StatePersistence::resolve(const std::filesystem::path& given) {
    std::error_code ec;
    // Absolute, so that the status log names the file unmistakably.
    std::filesystem::path path = std::filesystem::absolute(given, ec);
    if (ec) {
        path = given;
    }
    // A trailing slash names a folder too, one that may not be made yet.
    if (!path.has_filename() || std::filesystem::is_directory(path, ec)) {
        path /= kFileInFolder;
    }
    // A link to a file not made yet: SQLite creates the file through it, so
    // the lock goes beside the file it leads to, not beside the link.
    for (int hops = 0; hops < 40 && std::filesystem::is_symlink(path, ec) && !std::filesystem::exists(path, ec);
         ++hops) {
        const std::filesystem::path target = std::filesystem::read_symlink(path, ec);
        if (ec) {
            break;
        }
        path = target.is_absolute() ? target : path.parent_path() / target;
    }
    // Links resolved: the lock beside the file must be the same one for
    // every name the file goes by, or two programs could share one state.
    const std::filesystem::path real = std::filesystem::weakly_canonical(path, ec);
    return platform::longFileName(ec ? path.lexically_normal() : real);
}

std::optional<std::string> StatePersistence::refusal(const std::filesystem::path& state,
                                                     const std::filesystem::path& startupFile) {
    std::error_code ec;
    // A file that is not a database is moved aside as damaged: never the
    // start-up file, given here by a slip of the keyboard.
    // A start-up file not written yet has no file to compare: its name is
    // compared, resolved as the state's is.
    const auto missing = [](const std::filesystem::path& p) {
        std::error_code e;
        return !std::filesystem::exists(p, e);
    };
    const bool same = missing(startupFile) ? platform::sameFileName(resolve(startupFile), state)
                                           : std::filesystem::equivalent(state, startupFile, ec);
    if (same) {
        return "--state names the start-up file '" + startupFile.string() + "'; give the state a file of its own";
    }
    const auto status = std::filesystem::status(state, ec);
    if (!ec && std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
        return "--state names '" + state.string() + "', which is not a plain file; give the state a file of its own";
    }
    return std::nullopt;
}

std::string StatePersistence::fileText() const {
    return "State file " + store_.path().string();
}

std::int64_t StatePersistence::nowUnix() const {
    return std::chrono::duration_cast<std::chrono::seconds>(platform_.clock.wallNow().time_since_epoch()).count();
}

// ---------------------------------------------------------------- opening

std::optional<std::string> StatePersistence::open() {
    std::filesystem::path lockPath = store_.path();
    lockPath += ".lock";
    const auto attempt = lock_.acquire(lockPath);
    switch (attempt.outcome) {
    case platform::FileLock::Outcome::HeldByOther: {
        mode_ = Mode::Locked;
        std::string who = attempt.holderPid > 0 ? "process " + std::to_string(attempt.holderPid) : "a process";
        if (!attempt.holderName.empty()) {
            who += " (" + attempt.holderName + ")";
        }
        return "the state file '" + store_.path().string() + "' is in use by another running program, " + who +
               "; two programs must not share one state: stop that one, or give this one its own --state";
    }
    case platform::FileLock::Outcome::Failed:
        becomeUnavailable("cannot lock " + lockPath.string() + ": " + attempt.error);
        return std::nullopt;
    case platform::FileLock::Outcome::Acquired: break;
    }
    openStore(false);
    if (mode_ == Mode::Open) {
        form_.AddStatus(fileText() + " keeps the finishing and start orders and the rules");
    }
    return std::nullopt;
}

void StatePersistence::openStore(bool quiet) {
    store::Result r = store_.open();
    if (r.problem == Problem::Corrupt) {
        if (!moveAside(r.detail)) {
            return;
        }
        r = store_.open();
    }
    switch (r.problem) {
    case Problem::None: mode_ = Mode::Open; return;
    case Problem::NewerSchema:
        mode_ = Mode::Ignored;
        form_.AddStatus(fileText() + " was written by a newer version of this program (" + r.detail +
                        "); it is left untouched, and nothing is restored or kept this run");
        return;
    case Problem::Foreign:
        mode_ = Mode::Ignored;
        form_.AddStatus(fileText() + " is not this program's (" + r.detail +
                        "); it is left untouched, and nothing is restored or kept this run");
        return;
    case Problem::Corrupt: // damaged again right after a clean start: the place is the trouble
    case Problem::Unavailable:
        if (quiet) {
            return;
        }
        becomeUnavailable(r.detail);
        return;
    }
}

bool StatePersistence::moveAside(const std::string& why) {
    std::string error;
    const auto target = store_.moveAside(fileStamp(platform_.clock.wallNow()), error);
    if (!target) {
        becomeUnavailable("damaged (" + why + ") and cannot be moved aside: " + error);
        return false;
    }
    form_.AddStatus(fileText() + " is damaged (" + why + "); moved aside to " + target->string() +
                    "; starting with no saved state");
    // Whatever the damaged file held is gone from this one: write it all.
    for (auto& [index, tracked] : tracked_) {
        tracked.saved.reset();
    }
    markAllDirty();
    return true;
}

void StatePersistence::becomeUnavailable(const std::string& detail) {
    store_.close();
    mode_ = Mode::Unavailable;
    if (!unavailableReported_) {
        unavailableReported_ = true;
        form_.AddStatus(fileText() + " cannot be used (" + detail +
                        "); running on without keeping the state, trying again every " +
                        std::to_string(kRetryEvery.count()) + " s");
    }
    if (retryTimer_ == 0) {
        std::weak_ptr<bool> alive = alive_;
        retryTimer_ = platform_.loop.startTimer(kRetryEvery, [this, alive] {
            if (!alive.expired()) {
                retry();
            }
        });
    }
}

void StatePersistence::retry() {
    if (!lock_.held()) {
        std::filesystem::path lockPath = store_.path();
        lockPath += ".lock";
        const auto attempt = lock_.acquire(lockPath);
        if (attempt.outcome == platform::FileLock::Outcome::HeldByOther) {
            // Another program took the state while this one could not: it
            // is theirs now.
            platform_.loop.stopTimer(retryTimer_);
            retryTimer_ = 0;
            mode_ = Mode::Ignored;
            form_.AddStatus(fileText() + " is now held by another running program (process " +
                            std::to_string(attempt.holderPid) + "); this one keeps no state");
            return;
        }
        if (attempt.outcome != platform::FileLock::Outcome::Acquired) {
            return;
        }
    }
    openStore(true);
    if (mode_ != Mode::Open) {
        if (mode_ == Mode::Ignored) {
            platform_.loop.stopTimer(retryTimer_);
            retryTimer_ = 0;
        }
        return;
    }
    if (!savedLoaded_) {
        loadSaved();
    }
    flush();
    if (mode_ != Mode::Open) {
        return; // the write failed again: still unavailable, already said so
    }
    platform_.loop.stopTimer(retryTimer_);
    retryTimer_ = 0;
    unavailableReported_ = false;
    form_.AddStatus(fileText() + " can be used again; the state is kept from now on");
    housekeeping();
}

void StatePersistence::handleFailure(const store::Result& result) {
    if (result.problem == Problem::Corrupt) {
        if (moveAside(result.detail)) {
            openStore(false);
        }
        return;
    }
    becomeUnavailable(result.detail);
}

// ---------------------------------------------------------------- restoring

void StatePersistence::restore() {
    if (restored_ || mode_ == Mode::Locked || mode_ == Mode::Closed) {
        return;
    }
    restored_ = true;

    // Everything on the list now came from the start-up file: nothing else
    // has run yet.
    std::map<std::tuple<std::string, std::string, std::string>, int> seen;
    for (const std::int16_t index : form_.serverIndices()) {
        const ServerViews& views = *form_.server(index);
        Tracked t;
        for (int i = 0; i < form_.lstServers.count(); ++i) {
            if (form_.lstServers.itemData(i) == index) {
                t.key.name = form_.lstServers.text(i);
                break;
            }
        }
        t.key.host = views.ucInSim.Host();
        t.key.port = views.ucInSim.Port();
        t.key.ordinal = seen[{t.key.name, t.key.host, t.key.port}]++;
        t.file = {views.chkLastRace.value(), views.chkReverse.value(), views.txtReverse.text()};
        if (const auto* read = form_.StartupRulesRead(index)) {
            t.lastRaceRead = read->lastRace.has_value();
            t.reverseTopRead = read->reverseTop.has_value();
            t.reverseCountRead = read->reverseCount.has_value();
        }
        tracked_.emplace(index, std::move(t));
    }
    if (mode_ == Mode::Ignored) {
        return;
    }

    if (mode_ == Mode::Open) {
        loadSaved();
    }

    for (auto& [index, tracked] : tracked_) {
        track(index, tracked);
    }
    disconnectForm_.push_back([this, id = form_.eventStarting.connect([this](std::int16_t) { flush(); })] {
        form_.eventStarting.disconnect(id);
    });
    disconnectForm_.push_back([this, id = form_.eventHandled.connect([this](std::int16_t) { flush(); })] {
        form_.eventHandled.disconnect(id);
    });
    disconnectForm_.push_back(
        [this, id = form_.serverRemoving.connect([this](std::int16_t index) { untrack(index); })] {
            form_.serverRemoving.disconnect(id);
        });

    std::weak_ptr<bool> alive = alive_;
    housekeepingTimer_ = platform_.loop.startTimer(kHousekeepingEvery, [this, alive] {
        if (!alive.expired()) {
            housekeeping();
        }
    });
    housekeeping();
    flush();
}

void StatePersistence::loadSaved() {
    std::vector<store::ServerState> stored;
    std::vector<store::UnreadableServer> unreadable;
    if (store::Result r = store_.load(stored, unreadable); !r) {
        handleFailure(r);
        // A file that could not be read now is read again by the retry that
        // finds it usable; one moved aside for a fresh one has nothing left.
        savedLoaded_ = mode_ == Mode::Open;
        return;
    }
    savedLoaded_ = true;
    for (auto& [index, tracked] : tracked_) {
        // Loaded late (the file could not be used at start): a server that
        // has changed since is newer than anything saved.
        if (tracked.changed) {
            continue;
        }
        for (const auto& state : stored) {
            if (state.key == tracked.key) {
                apply(index, tracked, state);
                break;
            }
        }
        for (const auto& bad : unreadable) {
            if (bad.key == tracked.key) {
                // The row is left as found until this server's first
                // change replaces it, so the sqlite3 shell can still show it.
                form_.AddStatus(tracked.key.name + ": its saved state cannot be read (" + bad.detail +
                                "); it starts from the start-up file");
                break;
            }
        }
    }
}

void StatePersistence::apply(std::int16_t index, Tracked& tracked, const store::ServerState& stored) {
    ServerViews& views = *form_.server(index);
    // The admin's edit of the start-up file since the state was saved wins
    // over the state; an unedited line gives way to what was changed later.
    // A line the reading never got to (a typo above it stopped it) is no
    // edit: the saved rule stands, and so does what the file said then, so
    // that the file once mended is compared with what it last said.
    std::vector<std::string> fromFile;
    const auto pick = [&](bool read, auto& fileNow, const auto& fileThen, const auto& kept, const char* label) {
        if (!read) {
            fileNow = fileThen;
            return kept;
        }
        if (fileNow != fileThen) {
            fromFile.push_back(label);
            return fileNow;
        }
        return kept;
    };
    const int lastRace = pick(tracked.lastRaceRead, tracked.file.lastRace, stored.file.lastRace,
                              stored.rules.lastRace, "Last Race");
    const int reverseTop = pick(tracked.reverseTopRead, tracked.file.reverseTop, stored.file.reverseTop,
                                stored.rules.reverseTop, "Reverse Top");
    // "3" and "03" are the same count: only an edit that changes the number
    // is the admin's. Texts that are no number compare as texts.
    if (!tracked.reverseCountRead) {
        tracked.file.reverseCount = stored.file.reverseCount;
    }
    const auto countNow = parseNumber(tracked.file.reverseCount);
    const auto countThen = parseNumber(stored.file.reverseCount);
    const bool countEdited = countNow && countThen ? *countNow != *countThen
                                                   : tracked.file.reverseCount != stored.file.reverseCount;
    if (countEdited) {
        fromFile.push_back("Reverse Count");
    }
    const std::string reverseCount = countEdited ? tracked.file.reverseCount : stored.rules.reverseCount;

    views.lstFinish.clear();
    for (const auto& text : stored.finish) {
        views.lstFinish.addItem(text);
    }
    views.lstOrder.clear();
    for (const auto& name : stored.order) {
        views.lstOrder.addItem(name);
    }
    views.chkLastRace.setValue(lastRace);
    views.chkReverse.setValue(reverseTop);
    views.chkCustom.setValue(stored.rules.custom);
    views.txtReverse.setText(reverseCount);

    tracked.saved = stored;
    if (!current(index, tracked).sameContent(stored)) {
        dirty_.insert(index);
    }

    std::string line = tracked.key.name + ": restored " + counted(stored.finish.size(), "finisher", "finishers") +
                       ", " + std::to_string(stored.order.size()) + " in the start order, rules from " +
                       platform::formatLocalDateTime(platform::Clock::Wall(std::chrono::seconds(stored.changedAt)));
    if (!fromFile.empty()) {
        line += "; from the edited start-up file: ";
        for (std::size_t i = 0; i < fromFile.size(); ++i) {
            line += (i == 0 ? "" : ", ") + std::string(fromFile[i]);
        }
    }
    form_.AddStatus(line);
}

void StatePersistence::housekeeping() {
    if (mode_ != Mode::Open) {
        return;
    }
    // A reading that stopped early leaves servers out that are still in the
    // file: none of the unlisted ones is known to be gone.
    if (form_.StartupStopped() || form_.StartupNotText()) {
        return;
    }
    std::vector<store::ServerKey> listed;
    for (const auto& [index, tracked] : tracked_) {
        listed.push_back(tracked.key);
    }
    const auto before = nowUnix() - std::chrono::duration_cast<std::chrono::seconds>(kKeepUnlistedFor).count();
    int dropped = 0;
    if (store::Result r = store_.dropStale(before, listed, dropped); !r) {
        handleFailure(r);
    }
}

// ---------------------------------------------------------------- keeping

void StatePersistence::track(std::int16_t index, Tracked& tracked) {
    ServerViews& views = *form_.server(index);
    const auto mark = [this, index] { markDirty(index); };
    tracked.disconnect.push_back(watch(views.lstFinish, mark));
    tracked.disconnect.push_back(watch(views.lstOrder, mark));
    tracked.disconnect.push_back(watch(views.chkLastRace, mark));
    tracked.disconnect.push_back(watch(views.chkReverse, mark));
    tracked.disconnect.push_back(watch(views.chkCustom, mark));
    tracked.disconnect.push_back(watch(views.txtReverse, mark));
}

void StatePersistence::untrack(std::int16_t index) {
    auto it = tracked_.find(index);
    if (it == tracked_.end()) {
        return;
    }
    // Its last change is written; the state stays for the next start, as
    // the server is still in the start-up file.
    if (dirty_.count(index) != 0) {
        flush();
    }
    for (auto& undo : it->second.disconnect) {
        undo();
    }
    dirty_.erase(index);
    tracked_.erase(it);
}

void StatePersistence::markDirty(std::int16_t index) {
    dirty_.insert(index);
    if (auto it = tracked_.find(index); it != tracked_.end()) {
        it->second.changed = true;
    }
    // A change from outside a client event (the window) is written once the
    // action that made it is over.
    if (!flushPosted_) {
        flushPosted_ = true;
        std::weak_ptr<bool> alive = alive_;
        platform_.loop.post([this, alive] {
            if (!alive.expired()) {
                flushPosted_ = false;
                flush();
            }
        });
    }
}

void StatePersistence::markAllDirty() {
    for (const auto& [index, tracked] : tracked_) {
        dirty_.insert(index);
    }
}

store::ServerState StatePersistence::current(std::int16_t index, const Tracked& tracked) const {
    const ServerViews& views = *form_.server(index);
    store::ServerState s;
    s.key = tracked.key;
    s.finish = views.lstFinish.texts();
    s.order = views.lstOrder.texts();
    s.rules = {views.chkLastRace.value(), views.chkReverse.value(), views.chkCustom.value(),
               views.txtReverse.text()};
    s.file = tracked.file;
    return s;
}

void StatePersistence::flush() {
    // Unavailable: the marks stay until the file can be written again.
    if (mode_ != Mode::Open || dirty_.empty() || flushing_) {
        return;
    }
    flushing_ = true;
    std::vector<store::ServerState> changed;
    std::vector<std::int16_t> indices;
    const std::int64_t now = nowUnix();
    for (const std::int16_t index : dirty_) {
        auto it = tracked_.find(index);
        if (it == tracked_.end()) {
            continue;
        }
        store::ServerState s = current(index, it->second);
        // A rebuild that comes out the same is no change: the time of the
        // last change stays the time something changed.
        if (it->second.saved && s.sameContent(*it->second.saved)) {
            continue;
        }
        s.changedAt = now;
        changed.push_back(std::move(s));
        indices.push_back(index);
    }
    const store::Result r = store_.save(changed);
    if (r) {
        for (std::size_t i = 0; i < indices.size(); ++i) {
            tracked_.at(indices[i]).saved = std::move(changed[i]);
        }
        dirty_.clear();
        flushing_ = false;
        return;
    }
    flushing_ = false;
    handleFailure(r);
    // A fresh file after a damaged one takes everything at once.
    if (mode_ == Mode::Open && r.problem == Problem::Corrupt) {
        flush();
    }
}

} // namespace pm::app
