#include "app/frmMain.h"

#include "app/HeadlessLog.h"
#include "app/ListLookup.h"
#include "insim/modInSim.h"

#ifndef PM_VERSION_MAJOR
#define PM_VERSION_MAJOR 0
#define PM_VERSION_MINOR 0
#define PM_VERSION_PATCH 1007
#endif

namespace pm::app {

using platform::DialogButtons;
using platform::DialogIcon;
using platform::DialogResult;

// Hands one client's events to the window with the server's index in front.
// The window handles the events that change its views; the rest keep the
// interface's empty defaults on purpose.
class frmMain::ServerEvents final : public insim::ucInSimEvents {
public:
    ServerEvents(frmMain& form, std::int16_t index) : form_(form), index_(index) {}

    void PlayerRaceFinished(std::span<const std::uint8_t> Result) override {
        handle([&] { form_.PlayerRaceFinished(index_, Result); });
    }
    void NewConnection(const std::string& Username, std::uint8_t UserId,
                       const std::string& PlayerName) override {
        handle([&] { form_.NewConnection(index_, Username, UserId, PlayerName); });
    }
    void EndConnection(const std::string& Username) override {
        handle([&] { form_.EndConnection(index_, Username); });
    }
    void RaceOrder(std::span<const std::uint8_t> Data) override {
        handle([&] { form_.RaceOrder(index_, Data); });
    }
    void VoteAction(std::int16_t Vote) override {
        handle([&] { form_.HostVote(index_, Vote); });
    }
    void AdminRequest(const std::string& Username, const std::string& Request) override {
        handle([&] { form_.AdminRequest(index_, Username, Request); });
    }
    void ButtonClick(std::int16_t btnId, const std::string& Username) override {
        handle([&] { form_.ButtonClick(index_, btnId, Username); });
    }
    void ButtonShiftClick(std::int16_t btnId, const std::string& Username, std::int16_t Button) override {
        handle([&] { form_.ButtonShiftClick(index_, btnId, Username, Button); });
    }
    void LinkUp() override {
        const Speaking speaking(form_, index_);
        form_.LinkUp(index_);
        form_.statusChanged(index_);
    }
    void RaceStart() override {
        const Speaking speaking(form_, index_);
        form_.RaceStart(index_);
    }
    void LinkNotice(const std::string& text) override {
        const Speaking speaking(form_, index_);
        form_.LinkNotice(index_, text);
    }
    void LinkChanged(bool up, const std::string& detail) override {
        form_.LinkChanged(index_, up, detail);
        form_.statusChanged(index_);
    }

private:
    // Names the server the status lines of a handler are about. Events do
    // not nest across servers, but a handler may end in another event of
    // the same client: the outer one's server stands again afterwards.
    class Speaking {
    public:
        Speaking(frmMain& form, std::int16_t index) : form_(form), before_(form.statusServer_) {
            form_.statusServer_ = index;
        }
        ~Speaking() { form_.statusServer_ = before_; }
        Speaking(const Speaking&) = delete;
        Speaking& operator=(const Speaking&) = delete;

    private:
        frmMain& form_;
        std::int16_t before_;
    };

    template <typename Handler> void handle(Handler&& handler) {
        {
            const Speaking speaking(form_, index_);
            form_.eventStarting(index_);
            handler();
        }
        // After the server's own lines: what the event's end sets off (the
        // state file's write, say) is about no one server.
        form_.eventHandled(index_);
        // Nicknames and player numbers change with no list changing.
        form_.statusChanged(index_);
    }

    frmMain& form_;
    std::int16_t index_;
};

frmMain::frmMain(platform::Platform& platform, std::filesystem::path startupFile)
    : txtStatus(platform.clock), platform_(platform), startupFile_(std::move(startupFile)) {
    // The template set may be shown and even connected, but it is no server:
    // its client's events go nowhere.
    createSet(kTemplateIndex, false);
    cmdNewServer.clicked.connect([this] { cmdNewServer_Click(); });
    txtStatus.lineAdded.connect([this](const std::string& line) { keepServerLine(line); });
}

void frmMain::KeepRecentLines(std::size_t lines) {
    recentLimit_ = lines;
    for (auto& [index, set] : servers_) {
        while (set.recentLines.size() > recentLimit_) {
            set.recentLines.pop_front();
        }
    }
}

void frmMain::keepServerLine(const std::string& stampedLine) {
    if (recentLimit_ == 0 || statusServer_ == 0) {
        return;
    }
    ServerSet* set = findSet(statusServer_);
    const auto colon = stampedLine.find(": ");
    if (set == nullptr || colon == std::string::npos ||
        HeadlessLog::levelOf(std::string_view(stampedLine).substr(colon + 2)) == HeadlessLog::Level::Debug) {
        return; // a start order's per-place lines would crowd out everything else
    }
    keepRecentLine(*set, stampedLine);
}

void frmMain::keepRecentLine(ServerSet& set, std::string stampedLine) {
    set.recentLines.push_back(std::move(stampedLine));
    ++set.recentLinesKept;
    while (set.recentLines.size() > recentLimit_) {
        set.recentLines.pop_front();
    }
}

void frmMain::summarise(std::int16_t index, const std::string& text) {
    if (recentLimit_ != 0) {
        if (ServerSet* set = findSet(index)) {
            keepRecentLine(*set, platform::formatLocalDateTime(platform_.clock.wallNow()) + ": " + text);
        }
    }
    summaryLine(index, text);
}

frmMain::~frmMain() {
    // Servers go first, newest first, each client saying goodbye to its
    // server as it is destroyed; the template set goes last.
    while (!servers_.empty()) {
        servers_.erase(std::prev(servers_.end()));
    }
}

void frmMain::Form_Load() {
    // A second start-up would hand out indices that are still in use.
    if (loaded_) {
        return;
    }
    loaded_ = true;
    LastServerIndex_ = 0;
    Autostart();
    Caption.setText(VersionCaption());
}

std::string frmMain::VersionCaption() {
    return std::string(kCaptionPrefix) + "v" + std::to_string(PM_VERSION_MAJOR) + "." +
           std::to_string(PM_VERSION_MINOR) + "." + std::to_string(PM_VERSION_PATCH);
}

// ---------------------------------------------------------------- servers

frmMain::ServerSet* frmMain::findSet(std::int16_t index) {
    auto it = servers_.find(index);
    return it == servers_.end() ? nullptr : &it->second;
}

const frmMain::ServerSet* frmMain::findSet(std::int16_t index) const {
    auto it = servers_.find(index);
    return it == servers_.end() ? nullptr : &it->second;
}

ServerViews* frmMain::server(std::int16_t index) {
    ServerSet* set = findSet(index);
    return set ? set->views.get() : nullptr;
}

const ServerViews* frmMain::server(std::int16_t index) const {
    const ServerSet* set = findSet(index);
    return set ? set->views.get() : nullptr;
}

std::vector<std::int16_t> frmMain::serverIndices() const {
    std::vector<std::int16_t> out;
    for (const auto& [index, set] : servers_) {
        if (index != kTemplateIndex) {
            out.push_back(index);
        }
    }
    return out;
}

frmMain::ServerSet& frmMain::createSet(std::int16_t index, bool routeEvents) {
    ServerSet set;
    if (routeEvents) {
        set.events = std::make_unique<ServerEvents>(*this, index);
    }
    set.views = std::make_unique<ServerViews>(platform_, set.events.get());
    set.views->ucInSim.setTraceLabel(index == kTemplateIndex ? "template"
                                                             : "server " + std::to_string(index));
    if (routeEvents) {
        ServerViews& v = *set.views;
        const auto changed = [this, index] { statusChanged(index); };
        for (platform::ListBox* list : {&v.lstConnections, &v.lstFinish, &v.lstOrder}) {
            list->changed.connect(changed);
        }
        for (platform::CheckBox* box : {&v.chkLastRace, &v.chkCustom, &v.chkReverse}) {
            box->changed.connect(changed);
        }
        for (platform::TextBox* text : {&v.txtReverse, &v.txtGridCheck, &v.ucInSim.txtLinkError}) {
            text->changed.connect(changed);
        }
        v.ucInSim.cmdConnect.changed.connect(changed);
    }
    if (index == kTemplateIndex) {
        // No server owns the template's client: a link it made could never
        // be shown or stopped again, and would hold its listen port.
        set.views->ucInSim.setConnectable(false);
    }
    return servers_.emplace(index, std::move(set)).first->second;
}

std::int16_t frmMain::AddServer() {
    // Indices are never handed out twice, and the screen's name table (and a
    // 16-bit index) end at 100: past that there is nothing left to give.
    if (LastServerIndex_ >= kMaxServerIndex) {
        platform_.dialogs.messageBox(kTooManyServers, DialogButtons::Ok, kDialogTitle, DialogIcon::Warning);
        return 0;
    }
    LastServerIndex_ += 1;
    const std::int16_t n = LastServerIndex_;
    createSet(n, true);
    serverAdded(n);
    const int item = lstServers.addItem(txtNewServer.text());
    lstServers.setItemData(item, n);
    ShowUC(n);
    txtNewServer.setText("");
    return n;
}

void frmMain::ShowUC(std::int16_t iIndex) {
    if (findSet(iIndex) == nullptr) {
        return; // nothing by that index: keep what is on show
    }
    if (shownIndex_ == iIndex) {
        return;
    }
    shownIndex_ = iIndex;
    shownChanged(iIndex);
}

void frmMain::removeServer(std::int16_t index) {
    ServerSet* set = findSet(index);
    if (set == nullptr || index == kTemplateIndex) {
        return;
    }
    set->views->ucInSim.Disconnect();
    serverRemoving(index);
    if (shownIndex_ == index) {
        shownIndex_ = kNothingShown;
        shownChanged(kNothingShown);
    }
    servers_.erase(index);
    startupRules_.erase(index);
}

// ---------------------------------------------------------------- operator actions

void frmMain::cmdNewServer_Click() {
    const std::string name = txtNewServer.text();
    // An empty name would make FindListItem match by item data; refuse it
    // before asking.
    if (name.empty() || insim::FindListItem(lstServers, name, 0) != -1) {
        platform_.dialogs.messageBox(kNameRefused, DialogButtons::Ok, kDialogTitle, DialogIcon::None);
        return;
    }
    // A server added by hand finds its host's generation by itself, over
    // the transport that crosses routers.
    if (const std::int16_t n = AddServer(); n != 0) {
        server(n)->ucInSim.setInSimVersion(insim::ucInSim::kAutoGeneration);
        server(n)->ucInSim.setTransport(insim::ucInSim::kTcp);
    }
}

void frmMain::lstServers_Click(int item) {
    if (item < 0 || item >= lstServers.count()) {
        return;
    }
    ShowUC(static_cast<std::int16_t>(lstServers.itemData(item)));
}

void frmMain::lstServers_DblClick(int item) {
    if (item < 0 || item >= lstServers.count()) {
        return;
    }
    const std::string name = lstServers.text(item);
    const std::int32_t index = lstServers.itemData(item);
    const DialogResult answer =
        platform_.dialogs.messageBox("Are you sure you want to remove '" + name + "'?", DialogButtons::YesNo,
                                     kDialogTitle, DialogIcon::Question);
    if (answer != DialogResult::Yes) {
        return;
    }
    // A modal question lets the loop run; find the item again by its index
    // rather than trusting the position.
    // The item goes first, so that the list never names a discarded server.
    for (int i = 0; i < lstServers.count(); ++i) {
        if (lstServers.itemData(i) == index) {
            lstServers.removeItem(i);
            removeServer(static_cast<std::int16_t>(index));
            return;
        }
    }
}

void frmMain::lstConnections_Click(std::int16_t Index, int item) {
    ServerSet* set = findSet(Index);
    if (set == nullptr || item < 0 || item >= set->views->lstConnections.count()) {
        return;
    }
    ServerViews& views = *set->views;
    const std::string name = views.lstConnections.text(item);
    const std::int16_t num = views.ucInSim.GetPlayerNum(name);
    set->pickedConnection = name;
    views.txtPlayerNum.setText(num == 0 ? name + ": not in the race"
                                        : name + ": player " + std::to_string(num));
}

void frmMain::forgetPickIfGone(ServerSet& set) {
    if (set.pickedConnection.empty() || findName(set.views->lstConnections, set.pickedConnection) >= 0) {
        return;
    }
    set.pickedConnection.clear();
    set.views->txtPlayerNum.setText("");
}

std::string frmMain::serverName(std::int16_t index) const {
    for (int i = 0; i < lstServers.count(); ++i) {
        // A start-up file's block may name no one: its lines still need a name.
        if (lstServers.itemData(i) == index && !lstServers.text(i).empty()) {
            return lstServers.text(i);
        }
    }
    return "Server " + std::to_string(index);
}

void frmMain::LinkChanged(std::int16_t Index, bool up, const std::string& detail) {
    ServerSet* set = findSet(Index);
    if (set == nullptr) {
        return;
    }
    if (!up) {
        summarise(Index, "link lost (" + detail + ")");
        return;
    }
    summarise(Index, std::string(set->linkUpBefore ? "connected again, " : "connected, ") + detail);
    set->linkUpBefore = true;
}

void frmMain::LinkNotice(std::int16_t Index, const std::string& text) {
    if (findSet(Index) == nullptr) {
        return;
    }
    AddStatus(serverName(Index) + ": " + text);
}

const std::string& frmMain::ButtonName(std::int16_t Index, int conn, int slot) const {
    static const std::string none;
    const ServerSet* set = findSet(Index);
    if (set == nullptr || slot < 0 || slot >= screen::kSlots) {
        return none;
    }
    auto it = set->buttonNames.find(conn);
    return it == set->buttonNames.end() ? none : it->second[static_cast<std::size_t>(slot)];
}

} // namespace pm::app
