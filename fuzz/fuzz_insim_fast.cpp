// Datagrams from a hostile or broken server, into a client owned by the real
// window logic, as fuzz_insim_datagrams does and with the same inputs (see
// DatagramSession.h), at a far higher rate: the window logic, its server and
// the client's sockets are made once per process. Before each input, what an
// input can change is put back as a new one would have it: the client's
// tables, link state and timers (ucInSim::resetForFuzzing), the server's
// lists and what the window logic keeps of the last race and link. Packets
// go in where a received datagram goes after the socket's sender checks.
//
// Reset through the window logic's own operations, it is not quite new: its
// last winner's time is a fixed one (kResetWinnerTime) rather than none,
// which only matters to a winner's result with that very time listed twice.
// What matters is that every input starts from the same state, so that a
// finding replays from its input alone.
//
// After each input the lists must still hold the invariants the rules rely
// on, everything the client sent must be a whole packet, and the client must
// hold no more sockets than its link needs.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "DatagramSession.h"
#include "FuzzInput.h"
#include "InProcessDatagrams.h"
#include "LoopbackServer.h"
#include "app/frmMain.h"
#include "insim/Packets.h"
#include "platform/Platform.h"
#include "platform/PollEventLoop.h"

using namespace pm;
using namespace pm::fuzz;

namespace {

constexpr std::uint32_t kResetWinnerTime = 0xFFFFFFFF;
// Time on the clock per input: enough for the longest chain of timers, a
// silence drop (2 minutes) with the retry after it and a handshake's three
// tries. Past that, an input only repeats what it reached, at the cost of a
// loop pass (a few microseconds) per second.
constexpr std::chrono::seconds kClockPerInput{160};
// The status log's lines say what happened; nothing reads them back. One
// line kept: each line then goes out as it comes, in the same run, so that
// a run frees what it made (see the end of LLVMFuzzerTestOneInput).
constexpr std::size_t kStatusLines = 1;

// The program's own loop and timers, minus the polling of sockets: nothing
// arrives on the client's sockets (packets go in by ReceivePacket), and the
// only readiness they would report, "writable", is ignored by a datagram
// client. Each pass of the loop would otherwise gather and poll them, and a
// clock step has a pass for every second.
class QuietSocketsLoop final : public platform::EventLoop {
public:
    explicit QuietSocketsLoop(platform::Clock& clock) : loop_(clock) {}

    WatchId watchSocket(int, bool, bool, ReadyFn) override { return ++watches_; }
    void updateWatch(WatchId, bool, bool) override {}
    void unwatch(WatchId) override {}
    TimerId startTimer(std::chrono::milliseconds interval, std::function<void()> onTick) override {
        return loop_.startTimer(interval, std::move(onTick));
    }
    void stopTimer(TimerId id) override { loop_.stopTimer(id); }
    void post(std::function<void()> fn) override { loop_.post(std::move(fn)); }
    int run() override { return loop_.run(); }
    void quit(int exitCode) override { loop_.quit(exitCode); }
    platform::Clock& clock() override { return loop_.clock(); }

    void advance(std::chrono::milliseconds by) { loop_.advance(by); }
    void drain() { loop_.drain(); }

private:
    platform::PollEventLoop loop_;
    WatchId watches_ = 0;
};

class Rig {
public:
    Rig() {
        form_.Form_Load();
        form_.txtStatus.setRetention(kStatusLines);
        form_.txtNewServer.setText("Fuzz");
        index_ = form_.AddServer();
        views_ = form_.server(index_);
        insim::ucInSim& c = client();
        c.setHost("127.0.0.1");
        c.setPort(std::to_string(server_.port()));
        c.setPortListen(std::to_string(server_.listenPort()));
        keepDatagramsTo(server_.port());
        c.Connect();
        // After the first input every link is one after another: the first
        // input must meet the same.
        form_.LinkChanged(index_, true, "InSim 4 over UDP, LFS 0.7F");
    }

    insim::ucInSim& client() { return views_->ucInSim; }
    app::ServerViews& views() { return *views_; }
    app::frmMain& form() { return form_; }
    std::int16_t index() const { return index_; }
    QuietSocketsLoop& loop() { return loop_; }
    LoopbackServer& server() { return server_; }

    void reset(std::uint8_t rules, std::uint8_t count) {
        trace_.disable();
        keepDatagramsTo(server_.port());
        insim::ucInSim& c = client();
        c.setInSimVersion(inSimVersion(rules));
        c.resetForFuzzing();
        loop_.drain();

        // What the window logic keeps of a link: a new link clears it.
        form_.LinkUp(index_);
        // What it keeps of the last race: a race start with nobody listed,
        // then a winner, leave no race open and nobody carried over.
        views_->lstFinish.clear();
        form_.RaceStart(index_);
        insim::IsRes winner;
        winner.UName = "reset";
        winner.TTime = kResetWinnerTime;
        form_.PlayerRaceFinished(index_, winner.toBytes(c.wire()));
        views_->lstFinish.clear();
        views_->lstOrder.clear();
        views_->lstConnections.clear();
        views_->txtGridCheck.setText("");
        views_->txtPlayerNum.setText("");
        // The last grid would outlive the input, and libFuzzer takes what
        // outlives an input for a possible leak and runs it again to see.
        form_.resetStatusForFuzzing(index_);
        applyRules(*views_, rules, count);
        loop_.drain();
        (void)takeDatagrams();
        dialogs_.shown.clear();
        if ((rules & 0x20) != 0) {
            trace_.enable([](std::string_view) {});
        }
    }

    // The client's listen socket and its socket to the host, at most.
    void checkSockets() {
        if (sockets_.openCount() > 2) {
            broken("the client holds sockets its link no longer names");
        }
    }

private:
    // What PlatformStack holds, with the loop above. The server outlives the
    // window logic, whose client says goodbye to it.
    LoopbackServer server_;
    platform::ManualClock clock_;
    QuietSocketsLoop loop_{clock_};
    platform::WindowSystem windows_{loop_};
    platform::WinSock sockets_{loop_, windows_};
    platform::ScriptedDialogs dialogs_;
    platform::Trace trace_{clock_};
    platform::EventLog eventLog_;
    platform::Platform platform_{loop_, clock_, windows_, sockets_, dialogs_, trace_, eventLog_, nullptr};
    struct HookLast {
        platform::Platform& platform;
        ~HookLast() { platform.sharedHook.reset(); }
    } hookLast_{platform_};
    app::frmMain form_{platform_, "/nonexistent/autostart.cfg"};
    std::int16_t index_ = 0;
    app::ServerViews* views_ = nullptr;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Made at the first input that is not empty: libFuzzer's own first run,
    // on an empty input, counts no coverage, and the making is worth some.
    static std::unique_ptr<Rig> rig;
    if (size == 0 && !rig) {
        return 0;
    }
    if (!rig) {
        rig = std::make_unique<Rig>();
    }
    FuzzInput in({data, size});
    const std::uint8_t rules = in.byte();
    const std::uint8_t count = in.byte();
    rig->reset(rules, count);
    std::chrono::seconds clockLeft = kClockPerInput;
    bool restarted = false;

    while (!in.empty()) {
        insim::ucInSim& client = rig->client();
        const std::uint8_t length = in.byte();
        if (length != kAction) {
            client.ReceivePacket(in.take(length));
            continue;
        }
        const std::uint8_t action = in.byte();
        if (action <= kLastClockStep) {
            const auto step = std::min(clockLeft, std::chrono::seconds(action + 1));
            clockLeft -= step;
            rig->loop().advance(step);
        } else if (action == kConnectButton) {
            // A greyed-out button cannot be clicked.
            if (client.cmdConnect.enabled()) {
                client.cmdConnect_Click();
            }
        } else if (action == kConnectionsClick) {
            rig->form().lstConnections_Click(rig->index(), in.byte());
        } else if (action == kSendOrder) {
            rig->form().SendStartOrder(rig->index(), false);
        } else if (action == kTakeListenPort) {
            refuseNextBind(rig->server().listenPort());
        } else if (action == kRestart && !restarted) {
            // Once per input: making the program costs several inputs' worth,
            // and a second time reaches nothing the first did not. The
            // goodbye of the ending program is checked with the rest.
            restarted = true;
            rig.reset();
            checkSent(takeDatagrams());
            rig = std::make_unique<Rig>();
            rig->reset(rules, count);
        }
        rig->loop().drain();
        checkSent(takeDatagrams());
    }
    rig->loop().drain();
    checkLists(rig->views());
    checkSent(takeDatagrams());
    rig->checkSockets();
    // Tidied now as well as before the next input: what this input made is
    // freed within its own run. libFuzzer takes a run that ends with more
    // allocations than it began with for a possible leak, and runs it again
    // with a leak check of the whole heap.
    rig->reset(rules, count);
    return 0;
}
