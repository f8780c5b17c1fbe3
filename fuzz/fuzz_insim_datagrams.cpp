// Datagrams from a hostile or broken server, into a client owned by the real
// window logic: one server set up from the input's first bytes, then a
// sequence of datagrams and clock steps. Several datagrams per input let the
// connection and player tables fill up, so that finishes, votes, chat
// commands and button clicks meet the state they depend on.
//
// Input:
//   byte 0   rules: bits 0-1 Last Race, bits 2-3 Reverse Top (0, 1, 2 grey;
//            3 reads as 1), bit 4 Custom, bit 5 trace on (its texts are
//            built from the received bytes, so they are worth reaching),
//            bits 6-7 the InSim version: 4, 9, 10 or auto
//   byte 1   Reverse Top count: 0-199 as that number, 200-255 as a text
//            that is no number
//   then     records: a length byte L and L bytes of datagram (fewer at the
//            end of the input); L = 0 is an action instead, named by the
//            next byte: 0-127 let that many seconds plus one pass on the
//            clock (handshake tries, silence drop, reconnection), 128 the
//            Connect button, 129 a click on a connections list item (next
//            byte), 130 the start order sent by hand.
//
// After the run the lists must still hold the invariants the rules rely on,
// and everything the client sent must be a whole packet.

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "FuzzInput.h"
#include "LoopbackServer.h"
#include "app/frmMain.h"
#include "insim/Packets.h"
#include "platform/Platform.h"

using namespace pm;
using namespace std::chrono_literals;

namespace {

constexpr std::uint8_t kAction = 0;
constexpr std::uint8_t kLastClockStep = 127;
constexpr std::uint8_t kConnectButton = 128;
constexpr std::uint8_t kConnectionsClick = 129;
constexpr std::uint8_t kSendOrder = 130;

[[noreturn]] void broken(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

int checkState(std::uint8_t bits) { return bits == 3 ? 1 : bits; }

std::string reverseCount(std::uint8_t b) {
    if (b < 200) {
        return std::to_string(b);
    }
    static const char* const kWords[] = {"", "all", "1e9", "-3", " 4 ", "0x10", "nan", "1,5"};
    return kWords[b % 8];
}

void checkLists(const app::ServerViews& views) {
    std::set<std::string> names;
    for (const auto& item : views.lstConnections.items()) {
        if (item.text.empty()) {
            broken("an empty name in lstConnections");
        }
        if (!names.insert(item.text).second) {
            broken("a name twice in lstConnections");
        }
    }
    const auto& finish = views.lstFinish.items();
    for (std::size_t k = 1; k < finish.size(); ++k) {
        if (finish[k].text < finish[k - 1].text) {
            broken("lstFinish out of finishing order");
        }
    }
}

// Every datagram the client sends must be one whole packet: a server reads
// the size byte to find the next packet's start. It counts bytes (InSim 4,
// which auto also opens with) or fours.
void checkSent(const std::vector<std::vector<std::uint8_t>>& sent) {
    for (const auto& d : sent) {
        const bool inBytes = !d.empty() && d[0] == d.size();
        const bool inFours = !d.empty() && d[0] * 4u == d.size();
        if (d.size() < 4 || d.size() % 4 != 0 || (!inBytes && !inFours)) {
            broken("a sent datagram whose size byte is not its length");
        }
        if (d[1] == insim::ISP_REO) {
            const insim::WireGeneration& wire =
                inBytes ? insim::kWire4 : d.size() == 44 ? insim::kWire9 : insim::kWire10;
            if (d.size() != static_cast<std::size_t>(insim::IsReo::lengthFor(wire))) {
                broken("an IS_REO of the wrong length");
            }
            if (d[3] > wire.startOrderSlots) {
                broken("an IS_REO with more drivers than slots");
            }
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static fuzz::LoopbackServer server;
    fuzz::FuzzInput in({data, size});

    platform::PlatformStack stack(std::make_unique<platform::ManualClock>());
    const std::uint8_t rules = in.byte();
    if (rules & 0x20) {
        stack.trace().enable([](std::string_view) {});
    }
    {
        app::frmMain form(stack.platform(), "/nonexistent/autostart.cfg");
        form.Form_Load();
        form.txtNewServer.setText("Fuzz");
        const std::int16_t index = form.AddServer();
        app::ServerViews* views = form.server(index);
        views->chkLastRace.setValue(checkState(rules & 3));
        views->chkReverse.setValue(checkState((rules >> 2) & 3));
        views->chkCustom.setValue((rules >> 4) & 1);
        views->txtReverse.setText(reverseCount(in.byte()));

        insim::ucInSim& client = views->ucInSim;
        static const char* const kVersions[] = {"4", "9", "10", "auto"};
        client.setInSimVersion(kVersions[(rules >> 6) & 3]);
        client.setHost("127.0.0.1");
        client.setPort(std::to_string(server.port()));
        client.setPortListen(std::to_string(server.listenPort()));
        client.Connect();

        while (!in.empty()) {
            const std::uint8_t length = in.byte();
            if (length != kAction) {
                client.ReceivePacket(in.take(length));
                continue;
            }
            const std::uint8_t action = in.byte();
            if (action <= kLastClockStep) {
                stack.loop().advance(std::chrono::seconds(action + 1));
            } else if (action == kConnectButton) {
                client.cmdConnect_Click();
            } else if (action == kConnectionsClick) {
                form.lstConnections_Click(index, in.byte());
            } else if (action == kSendOrder) {
                form.SendStartOrder(index, false);
            }
            stack.loop().drain();
        }
        stack.loop().drain();
        checkLists(*views);
    }
    stack.loop().drain();
    checkSent(server.take());
    return 0;
}
