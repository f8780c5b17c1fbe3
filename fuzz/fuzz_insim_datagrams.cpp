// Datagrams from a hostile or broken server, into a client owned by the real
// window logic: one server set up from the input's first bytes, then a
// sequence of datagrams and clock steps. Several datagrams per input let the
// connection and player tables fill up, so that finishes, votes, chat
// commands and button clicks meet the state they depend on.
//
// The input's layout and the invariants are in DatagramSession.h, shared
// with fuzz_insim_fast, which runs the same inputs on one client kept for
// the whole process. This one makes a window logic, a client and its
// sockets for every input: slow, and kept to compare the two.
//
// After the run the lists must still hold the invariants the rules rely on,
// and everything the client sent must be a whole packet.

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "DatagramSession.h"
#include "FuzzInput.h"
#include "LoopbackServer.h"
#include "app/frmMain.h"
#include "platform/Platform.h"

using namespace pm;
using namespace pm::fuzz;

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
        applyRules(*views, rules, in.byte());

        insim::ucInSim& client = views->ucInSim;
        client.setInSimVersion(inSimVersion(rules));
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
