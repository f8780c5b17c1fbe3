#pragma once
// A simulated Live for Speed host with InSim on one port number for TCP and
// UDP alike, as "/insim 29999" opens both, serving one InSim client: the
// test peer of the InSim client, the demo without LFS, and a load
// generator. It shares only the packet layouts (insim/Packets.h) with the
// client; sockets, dispatch and bookkeeping are its own, so that each side
// checks the other.
//
// In-process use, on the same PollEventLoop as the real client, driven by a
// ManualClock so nothing sleeps:
//
//   platform::PlatformStack stack(std::make_unique<platform::ManualClock>());
//   sim::SimServer server(stack.loop(), stack.clock());     // SimOptions{}: any free port
//   insim::ucInSim client(stack.platform());
//   client.setPort(std::to_string(server.port()));
//   client.setPortListen(std::to_string(listenPort));
//   client.Connect();
//   stack.loop().advance(1s);                  // the client's first handshake try
//   server.clientConnected();                  // true: its IS_ISI arrived
//   server.join("alice", "Alice", true);       // IS_NCN, IS_NPL, IS_STA
//   server.join("bob");
//   server.startRace();                        // IS_REO, IS_RST, IS_STA
//   server.finish({"bob", "alice"});           // IS_RES 0 and 1, IS_STA
//   server.voteRestart();                      // SMALL_VTA: one IS_REO is taken now
//   stack.loop().drain();                      // the client answers
//   server.lastAppliedGrid();                  // {"bob", "alice"}
//   server.messagesFor("bob");                 // texts of the IS_MTCs bob received
//   server.buttonsFor("alice");                // alice's screen, by ClickID
//   server.click("alice", 102, insim::kClickShiftLeft);
//   server.chat("alice", "*reverse 3");        // IS_MSO "Alice : *reverse 3"
//
// Operations return an Outcome: false, with the reason, when a real host
// could not do it (a name not connected, a finish with no race running, a
// click on a button that is not there). Names are the user names the
// operations were given; the host's own connection (UCID 0) is "host".
//
// Host behaviour worth knowing:
// - It plays one LFS release (SimOptions::lfs) and speaks to each client in
//   the generation its IS_ISI asks for, as far as the release can: a Size
//   byte of 44 is an old client (InSim 4, byte sizes); 11 counts 4-byte
//   units and byte 8 asks for 9 or 10 (0.5Z does not understand that one).
//   Everything received and sent on the link is framed in its generation.
// - From 0.8C on, a client below InSim 10 gets no IS_REO at all.
// - A UDP client: replies go to the IS_ISI's UDPPort at the client's source
//   address, from this port; UDPPort 0 means the source port. Only the
//   address and port the IS_ISI came from count as the client.
// - A TCP client gets everything on its stream (it sends UDPPort 0: no UDP).
//   The stream is framed by the Size byte in the generation its IS_ISI
//   names (InboundStream); one that cannot be framed (Size byte 0, no IS_ISI
//   first) is closed, and so is one whose IS_ISI the host refuses. What
//   waits unsent is bounded (streamWaitingLimit): a client that reads
//   nothing loses its stream, the host never waits for it.
// - One client at a time: an IS_ISI from anywhere else, on either
//   transport, replaces the client (the old stream is closed). TINY_CLOSE
//   ends the link; on TCP the host closes the stream.
// - Requests (IS_TINY) with ReqI 0 are ignored, as a real host does.
// - A keep-alive TINY_NONE (ReqI 0) goes out every 30 s while a client is
//   connected; replies are counted, an unanswered one is noted.
// - IS_STA goes out whenever what it reports changes.
// - An IS_REO is taken only in its generation's size (36, 44 or 52 bytes;
//   an old client's 36 bytes on 0.8C too, which no document rules out),
//   only after the sim sent SMALL_VTA restart or qualify, and only once; the vote is carried out
//   voteTakesEffectAfter later (the race restarts), which closes that window. Others are ignored and noted.
// - A race start sends the host's race order (IS_REO, when the release sends
//   one to this client), IS_RST and IS_STA.
// - With product "DEMO" drivers have no user name on the wire (UName empty).
// - Datagrams of any shape are survived: too short, wrong Size byte, unknown
//   type, from a stranger. Each is noted in the transcript and dropped.
// - Fault injection (FaultInjector) acts on what the sim sends: loss,
//   duplicates and reordering on UDP, packets cut apart on TCP.

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "insim/Packets.h"
#include "platform/Clock.h"
#include "platform/EventLoop.h"
#include "sim/FaultInjector.h"
#include "sim/InboundStream.h"
#include "sim/Outcome.h"
#include "sim/SimOptions.h"
#include "sim/TcpEndpoint.h"
#include "sim/Transcript.h"
#include "sim/UdpEndpoint.h"
#include "sim/World.h"

namespace pm::sim {

enum class Transport : std::uint8_t { Udp, Tcp };
std::string_view transportName(Transport transport); // "UDP", "TCP"

class SimServer {
public:
    struct Stats {
        int received = 0;
        int sent = 0; // packets that left, duplicates included
        int dropped = 0;
        int duplicated = 0;
        int heldBack = 0;
        int ignored = 0; // received datagrams the host did nothing with
        int keepAlivesSent = 0;
        int keepAliveReplies = 0;
        int keepAlivesUnanswered = 0;
        int startOrdersIgnored = 0;
        int cut = 0; // packets the split fault cut apart
    };

    // Streams beyond this many are closed at once: a real host serves up
    // to 8 InSim programs.
    static constexpr std::size_t kMaxStreams = 8;
    // How long the rest of a cut packet waits for something to run into:
    // long enough that a client in another process reads the first piece
    // on its own.
    static constexpr std::chrono::milliseconds kCutRestAfter{5};

    SimServer(platform::EventLoop& loop, platform::Clock& clock, SimOptions options = {});
    ~SimServer();
    SimServer(const SimServer&) = delete;
    SimServer& operator=(const SimServer&) = delete;

    // ---- The InSim port and its client
    std::uint16_t port() const { return port_; }
    bool listening() const { return endpoint_.isOpen() && streams_.isOpen(); }
    const std::string& openError() const { return openError_; } // why the port is not open
    bool clientConnected() const { return client_.has_value(); }
    // The generation spoken on the link; nullptr without a client.
    const insim::WireGeneration* clientWire() const { return client_ ? client_->wire : nullptr; }
    // "127.0.0.1:40000 (Brenhollow ISC)", "... over TCP"; empty when none.
    std::string clientText() const;
    std::optional<Transport> clientTransport() const;
    std::size_t openStreams() const { return streams_.streamCount(); }
    // Called each time an IS_ISI is accepted.
    void setOnClientConnected(std::function<void()> fn) { onClientConnected_ = std::move(fn); }

    // ---- Drivers
    // Connects (when not yet connected) and takes a car: IS_NCN, IS_NPL.
    Outcome join(const std::string& name, const std::string& nick = {}, bool admin = false);
    // Connects as a spectator: IS_NCN only.
    Outcome connect(const std::string& name, const std::string& nick = {}, bool admin = false);
    Outcome spectate(const std::string& name); // IS_PLL
    Outcome leave(const std::string& name);    // IS_PLL when racing, then IS_CNL
    // IS_MSO "<nickname> : <text>"; a text that starts with the client's
    // prefix is a hidden prefix message (user type 2).
    Outcome chat(const std::string& name, const std::string& text);
    // IS_BTC for a clickable button on the name's screen; flags 1, 9, 10, ...
    Outcome click(const std::string& name, int clickId, std::uint8_t flags = insim::ISB_LMB);

    // ---- Sessions and votes
    Outcome startRace();
    Outcome startQualifying();
    Outcome endRace();
    // IS_RES for each, in order, numbered on from the session's results so far.
    Outcome finish(const std::vector<std::string>& names);
    Outcome vote(std::uint8_t action); // SMALL_VTA; VOTE_END, VOTE_RESTART or VOTE_QUALIFY
    Outcome voteRestart() { return vote(insim::VOTE_RESTART); }
    Outcome reportOrder(); // the host's own IS_REO with the current grid
    // A keep-alive (TINY_NONE) now rather than on the timer. The client
    // answers in turn with the datagrams before it, so its answer, counted in
    // stats().keepAliveReplies, says that everything sent earlier was handled.
    Outcome keepAlive();

    // ---- The release
    LfsRelease release() const { return options_.lfs; }
    // The host comes back as another release: the client is forgotten and
    // must send a new IS_ISI; drivers stay, even beyond the new car limit.
    void changeRelease(LfsRelease release);

    // ---- Faults
    FaultInjector& faults() { return faults_; }
    // Bytes to the client as they are, from the InSim port: what a broken
    // or hostile host could send.
    void sendRaw(const std::vector<std::uint8_t>& bytes) { send(bytes); }
    // Nothing answered and nothing sent for that long.
    void silence(std::chrono::milliseconds duration);
    // The host process restarts: the client is forgotten (it must send a new
    // IS_ISI), the session ends, buttons go, the port is closed for the
    // downtime and opened again. Drivers stay, with their IDs.
    void restartServer(std::chrono::milliseconds downtime = std::chrono::milliseconds(0));

    // ---- What the client did
    std::vector<std::string> grid() const { return world_.gridNames(); }
    // The grid right after the last start order the host took; empty if none.
    std::vector<std::string> lastAppliedGrid() const;
    const std::vector<AppliedGrid>& appliedGrids() const { return world_.appliedGrids(); }
    std::vector<std::string> messagesFor(std::string_view name) const;
    std::vector<Button> buttonsFor(std::string_view name) const; // ascending ClickID
    std::string screenFor(std::string_view name) const;          // readable, one button a line
    const Stats& stats() const { return stats_; }

    World& world() { return world_; }
    const World& world() const { return world_; }
    Transcript& transcript() { return transcript_; }
    const SimOptions& options() const { return options_; }

private:
    // Where a packet came from: a datagram's sender, or a stream.
    struct Origin {
        Transport transport = Transport::Udp;
        Address address;
        TcpEndpoint::StreamId stream = 0;
    };
    struct ClientLink {
        Transport transport = Transport::Udp;
        TcpEndpoint::StreamId stream = 0;
        Address source;  // where its packets come from
        Address replyTo; // where ours go, on UDP
        std::string name;
        char prefix = 0;
        std::uint16_t flags = 0;
        const insim::WireGeneration* wire = &insim::kWire4;
        bool awaitingKeepAlive = false;

        bool isAt(const Origin& o) const {
            return o.transport == transport &&
                   (transport == Transport::Tcp ? o.stream == stream : o.address == source);
        }
    };
    struct InboundState {
        Address peer;
        InboundStream in;
    };

    // Link (SimServer.cpp)
    void openPort();
    void onPacket(const Origin& from, std::span<const std::uint8_t> packet);
    void dispatch(std::span<const std::uint8_t> d);
    void handleIsi(const Origin& from, std::span<const std::uint8_t> d);
    void refuseIsi(const Origin& from, const std::string& why);
    void handleTiny(std::span<const std::uint8_t> d);
    void handleMtc(std::span<const std::uint8_t> d);
    void handleMst(std::span<const std::uint8_t> d);
    void handleBtn(std::span<const std::uint8_t> d);
    void handleBfn(std::span<const std::uint8_t> d);
    void handleReo(std::span<const std::uint8_t> d);
    void forgetClient(std::string_view why);
    void ignored(std::string_view why);
    void keepAliveTick();
    void send(const std::vector<std::uint8_t>& bytes);

    // Streams (SimServerStream.cpp)
    void onStreamAccepted(TcpEndpoint::StreamId id, const Address& peer);
    void onStreamBytes(TcpEndpoint::StreamId id, std::span<const std::uint8_t> bytes);
    void onStreamLost(TcpEndpoint::StreamId id, const std::string& why);
    // Closed by the host: the client is forgotten when it is the client's.
    void closeStream(TcpEndpoint::StreamId id, const std::string& why);
    void dropStream(TcpEndpoint::StreamId id);
    void sendOnStream(const std::vector<std::uint8_t>& bytes);
    void writeToClientStream(std::span<const std::uint8_t> bytes);
    void sendCutRest();
    // Built in the link's generation.
    template <typename Packet> void sendPacket(const Packet& packet) { send(packet.toBytes(wire())); }
    const insim::WireGeneration& wire() const { return client_ ? *client_->wire : insim::kWire4; }
    bool reoWithheld() const;
    void sendRaceOrder(std::uint8_t reqI);
    void releaseHeld();
    bool demo() const;

    // World operations (SimServerOps.cpp)
    void sendSta(std::uint8_t reqI);
    void syncSta();
    Outcome beginSession(RaceState state);
    void cancelPendingVote();
    void carryOutVote(std::uint8_t action);
    std::chrono::milliseconds now() const { return transcript_.elapsed(); }

    platform::EventLoop& loop_;
    platform::Clock& clock_;
    SimOptions options_;
    Transcript transcript_;
    UdpEndpoint endpoint_;
    TcpEndpoint streams_;
    std::map<TcpEndpoint::StreamId, InboundState> inbound_;
    std::vector<std::uint8_t> cutRest_; // of the last packet cut, for the client's stream
    platform::EventLoop::TimerId cutRestTimer_ = 0;
    FaultInjector faults_;
    World world_;
    std::uint16_t port_ = 0;
    std::string openError_;
    std::optional<ClientLink> client_;
    std::optional<insim::IsSta> lastSta_; // what the client was last told
    std::deque<std::vector<std::uint8_t>> held_;
    bool flushPosted_ = false;
    platform::EventLoop::TimerId keepAliveTimer_ = 0;
    platform::EventLoop::TimerId voteTimer_ = 0;
    platform::EventLoop::TimerId reopenTimer_ = 0;
    std::function<void()> onClientConnected_;
    Stats stats_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

} // namespace pm::sim
