#pragma once
// One InSim client per server: its settings panel, the UDP link with its
// handshake, watch and reconnection, reception into the connection and player
// tables with events to the owner, and the send operations.

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "insim/Packets.h"
#include "insim/StreamFramer.h"
#include "net/okSocket.h"
#include "platform/Controls.h"
#include "platform/HostLookup.h"
#include "platform/Platform.h"
#include "platform/Timer.h"

namespace pm::insim {

// The owner's side of the client's events. Every handler may call back into
// the client (lookups, sends) and sees the tables as they stand.
class ucInSimEvents {
public:
    virtual ~ucInSimEvents() = default;
    virtual void DataReceived(std::span<const std::uint8_t> /*Bytes*/, std::int32_t /*lngLength*/) {}
    virtual void Status(const std::string& /*strInfo*/) {}
    virtual void PlayerRaceFinished(std::span<const std::uint8_t> /*Result*/) {}
    virtual void PlayerRaceJoin(const std::string& /*Username*/, const std::string& /*PlayerName*/) {}
    virtual void PlayerRaceLeave(const std::string& /*Username*/, const std::string& /*PlayerName*/) {}
    virtual void RaceStateChange(std::int16_t /*LastState*/, std::int16_t /*ThisState*/) {}
    virtual void RaceFinished() {}
    virtual void ButtonClick(std::int16_t /*btnId*/, const std::string& /*Username*/) {}
    virtual void ButtonShiftClick(std::int16_t /*btnId*/, const std::string& /*Username*/,
                                  std::int16_t /*Button*/) {}
    virtual void UserRequest(const std::string& /*Username*/, const std::string& /*Request*/) {}
    virtual void AdminRequest(const std::string& /*Username*/, const std::string& /*Request*/) {}
    virtual void NewConnection(const std::string& /*Username*/, std::uint8_t /*UserId*/,
                               const std::string& /*PlayerName*/) {}
    virtual void EndConnection(const std::string& /*Username*/) {}
    virtual void VoteAction(std::int16_t /*Vote*/) {}
    virtual void Vote(const std::string& /*Username*/, std::int16_t /*VoteType*/) {}
    virtual void RaceOrder(std::span<const std::uint8_t> /*Data*/) {}
    // A datagram arrived after a Connect: a new link. The connection and
    // player tables have just been emptied, because a restarted host numbers
    // its connections and players afresh; its replies to TINY_NCN/TINY_NPL
    // refill them.
    virtual void LinkUp() {}
    // The host's IS_RST: a new race or qualifying session has begun.
    virtual void RaceStart() {}
    // Something the operator should see in the status log (a link that
    // cannot be made, a stranger answering); the owner adds the server's name.
    virtual void LinkNotice(const std::string& /*text*/) {}
    // The link is up and its generation settled ("InSim 10 over TCP, LFS
    // 0.8C"), or a link that was up is gone (why, in plain words). Once each
    // way per link; nothing when the program ends.
    virtual void LinkChanged(bool /*up*/, const std::string& /*detail*/) {}
};

struct ConnInfo {
    std::uint8_t UCID = 0;
    std::string UName;
    std::string PName;
    std::string PNameColoured; // with its colour codes (^0 to ^9), for drawing
    std::uint8_t Admin = 0;
    std::uint8_t Flags = 0;
};

struct PlayerInfo {
    std::uint8_t PLID = 0;
    std::uint8_t UCID = 0;
    std::int32_t PType = 0;
    std::int32_t Flags = 0;
    std::string PName;
    std::string Plate;
    std::string CName;
    std::string SName;
    std::array<std::uint8_t, 4> Tyres{};
    std::uint8_t H_Mass = 0;
    std::uint8_t H_TRes = 0;
    std::uint8_t Model = 0;
    std::uint8_t Pass = 0;
};

struct RaceInfoRecord {
    float ReplaySpeed = 0;
    std::string Flags;
    std::uint8_t InGameCam = 0;
    std::uint8_t ViewPLID = 0;
    std::uint8_t NumP = 0;
    std::uint8_t NumConns = 0;
    std::uint8_t NumFinished = 0;
    std::int16_t RaceInProg = 0;
    std::uint8_t QualMins = 0;
    std::uint8_t RaceLaps = 0;
    std::string Track;
    std::int32_t Weather = 0;
    std::int32_t Wind = 0;
};

// The IS_ISI values as the client fills them before each handshake.
struct InitRecordValues {
    std::int32_t Size = 0;
    std::int32_t Type = 0;
    std::uint8_t ReqI = 0;
    std::int32_t Zero = 0;
    std::int32_t UDPPort = 0;
    std::uint8_t Flags = 0;
    std::uint8_t Sp0 = 0;
    std::string Prefix;
    std::int16_t Interval = 0;
    std::string Admin;
    std::string IName;
};

// The connection and player tables, indexed by UCID or PLID. A host has a few
// dozen of each, never 255, and a program with a hundred servers would carry
// ~60 KiB of empty records per server if every entry were a record: an entry
// is allocated when first written and freed when cleared, and reading an
// empty entry gives a default record.
template <typename T, std::size_t N> class SlotTable {
public:
    const T& operator[](std::size_t i) const { return slots_[i] ? *slots_[i] : empty(); }
    const T& at(std::size_t i) const { return slots_.at(i) ? *slots_[i] : empty(); }
    T& write(std::size_t i) {
        if (!slots_[i]) {
            slots_[i] = std::make_unique<T>();
        }
        return *slots_[i];
    }
    void clear(std::size_t i) { slots_[i].reset(); }

    class const_iterator {
    public:
        const_iterator(const SlotTable& t, std::size_t i) : table_(&t), i_(i) {}
        const T& operator*() const { return (*table_)[i_]; }
        const_iterator& operator++() {
            ++i_;
            return *this;
        }
        bool operator==(const const_iterator&) const = default;

    private:
        const SlotTable* table_;
        std::size_t i_;
    };
    const_iterator begin() const { return {*this, 0}; }
    const_iterator end() const { return {*this, N}; }

private:
    static const T& empty() {
        static const T none{};
        return none;
    }
    std::array<std::unique_ptr<T>, N> slots_{};
};

enum class LinkState { Idle, Handshake, Connected, RetryPending };
std::string_view linkStateName(LinkState state);

class ucInSim final : private net::okSocketEvents {
public:
    static constexpr int kTables = 255;
    static constexpr std::chrono::milliseconds kTick{1000};       // handshake and watch
    static constexpr std::chrono::milliseconds kRetryDelay{5000}; // reconnect after a drop
    static constexpr int kTryEvery = 10;    // ticks between handshake tries
    static constexpr int kGiveUpAt = 30;    // ticks: three tries unanswered
    static constexpr int kAskStateEvery = 30; // ticks between TINY_SST while connected
    static constexpr int kSilenceLimit = 120; // ticks without a packet before a drop
    static constexpr int kAskVersionEvery = 5; // ticks between TINY_VER while auto is unsettled
    // How long a Connect waits for a host name's lookup before leaving it to
    // finish for the next try.
    static constexpr std::chrono::milliseconds kLookupWait{250};

    explicit ucInSim(platform::Platform& platform, ucInSimEvents* owner = nullptr);
    ~ucInSim() override;
    ucInSim(const ucInSim&) = delete;
    ucInSim& operator=(const ucInSim&) = delete;

    void setOwner(ucInSimEvents* owner) { owner_ = owner; }
    // Prefixed to this client's trace lines, so several servers can be told apart.
    void setTraceLabel(std::string label) { traceLabel_ = std::move(label); }

    // The panel. The settings live in the text boxes; Connect reads them.
    platform::TextBox txtHost{"127.0.0.1"};
    platform::TextBox txtPort{"55"};
    platform::TextBox txtPortListen{"56"};
    platform::TextBox txtPass{"pitboard"};
    // The protocol generation: "4", "9", "10" or "auto" (found from the
    // host's IS_VER). Read at each Connect.
    platform::TextBox txtInSimVer{"4"};
    // How packets travel: "udp" (a datagram each) or "tcp" (one stream to
    // the host's InSim port, which needs no port of ours). Read at each
    // Connect; anything else is udp.
    platform::TextBox txtTransport{"udp"};
    platform::CommandButton cmdConnect{"Connect"};
    // Why the link is not up, in plain words, for the panel; empty while
    // it is up, and before anyone asked for it.
    platform::TextBox txtLinkError;
    platform::Timer myTimer;
    platform::Timer timRetry;

    std::string Host() const { return txtHost.text(); }
    void setHost(std::string value) { txtHost.setText(std::move(value)); }
    std::string Port() const { return txtPort.text(); }
    void setPort(std::string value) { txtPort.setText(std::move(value)); }
    std::string AdminPW() const { return txtPass.text(); }
    void setAdminPW(std::string value) { txtPass.setText(std::move(value)); }
    std::string PortListen() const { return txtPortListen.text(); }
    std::string InSimVersion() const { return txtInSimVer.text(); }
    void setInSimVersion(std::string value) { txtInSimVer.setText(std::move(value)); }
    static constexpr const char* kAutoGeneration = "auto";
    // A port as typed in the panel or the start-up file: 1 to 65535, blanks
    // around it forgiven; nullopt for anything else.
    // zeroAllowed: 0 is a port too (the listen port, where it means none of
    // its own).
    static std::optional<std::int32_t> ParsePort(const std::string& text, bool zeroAllowed = false);
    static constexpr const char* kTcp = "tcp";
    static constexpr const char* kUdp = "udp";
    std::string Transport() const { return txtTransport.text(); }
    void setTransport(std::string value) { txtTransport.setText(std::move(value)); }
    // The host has said its version on this link: it is an InSim host.
    bool linkSettledNow() const { return linkAnnounced_; }
    // The transport of the link now (or of the last Connect).
    bool overTcp() const { return tcp_; }
    // Unsent bytes of the stream, waiting for the host to read.
    std::size_t streamBacklog() const { return streamOut_.size(); }
    // A host that reads nothing for this long a backlog is dropped.
    static constexpr std::size_t kStreamBacklogLimit = 256 * 1024;
    // The generation this client speaks now.
    const WireGeneration& wire() const { return *wire_; }
    void setPortListen(std::string value) { txtPortListen.setText(std::move(value)); }

    void Connect();
    void Disconnect();
    void cmdConnect_Click();

    // Sending. Byte arguments outside 0..255 are refused: nothing is sent
    // and the trace says why.
    void SendInSim(std::span<const std::uint8_t> Data);
    void ISS_MTC(const std::string& strCommand, int bytConn = 0, int bytPlayer = 0);
    void ISS_MST(const std::string& strCommand);
    void ISS_BTN(const std::string& strText, int bStyle, int iConn, int l, int T, int W, int H,
                 int bID = 1);
    void ISS_BFN(int iConn, int bButton = 0);
    void ISS_TINY(int myTiny);

    // The template panel's client is never a server: its Connect stays off,
    // because nothing could show or stop a link it made.
    void setConnectable(bool connectable);
    bool connectable() const { return connectable_; }

    // Lookups by user name (exact, case-sensitive; the last match wins).
    std::string GetPlayerName(const std::string& Username) const;
    // The nickname with its colour codes, for a view that draws them.
    std::string GetPlayerNameColoured(const std::string& Username) const;
    std::int16_t GetPlayerId(const std::string& Username) const;
    std::int16_t GetConnectionId(const std::string& Username) const;
    std::string GetConnFromPLID(const std::string& PLID) const;
    std::int16_t GetPlayerNum(const std::string& Username) const;
    std::string GetPlayers() const;
    // While a chat command, a button click or a leaving connection is being
    // handled: the UCID it came from, which tells apart two connections with one name (a demo
    // host's shared nicknames). -1 at any other time.
    int SenderUCID() const { return *senderUcid_; }
    // Another connection than `ucid` with this user name, or -1.
    int OtherConnectionId(const std::string& Username, int ucid) const;

    const std::string& Product() const { return product_; }
    const std::string& ServerName() const { return serverName_; }
    std::int16_t RaceMode() const { return raceInfo_.RaceInProg; }
    const std::string& Version() const { return version_; }
    const std::string& InSimVer() const { return inSimVer_; }
    // The host's LFS release as it said it ("0.8C"), safe to print.
    std::string Release() const { return printableVersion(); }

    // State, for the window and the tests.
    LinkState state() const;
    bool connected() const { return bConnected_; }
    bool autoReconnect() const { return bAutoReconnect_; }
    // When the pending retry connects again; meaningful while state() is
    // RetryPending.
    platform::Clock::Monotonic retryDue() const { return retryDue_; }
    // Why the last link went down, when something other than the operator
    // ended it ("no packet from … for 2 minutes"); empty before any did.
    const std::string& LastDownReason() const { return lastDownReason_; }
    int ticks() const { return bytTicks_; }
    std::int16_t lastState() const { return intLastState_; }
    const ConnInfo& conn(int ucid) const { return Conns_.at(static_cast<std::size_t>(ucid)); }
    const PlayerInfo& player(int plid) const { return Players_.at(static_cast<std::size_t>(plid)); }
    const RaceInfoRecord& RaceInfo() const { return raceInfo_; }
    const InitRecordValues& InitRecord() const { return initRecord_; }
    InitRecordValues& InitRecordForTest() { return initRecord_; }
    platform::HWND hWnd() const { return window_.handle; }
    std::int32_t listenSocket() const { return lngListenSocket_; }
    std::int32_t clientSocket() const { return lngClientSocket_; }
    net::okSocket& socket() { return InSimSocket_; }

    // A datagram from the server, after the socket and sender checks; public
    // for fuzzing and benchmarks, which feed packets without a network.
    void ReceivePacket(std::span<const std::uint8_t> data);
    // Back to where Connect() leaves a new client with these settings, for a
    // fuzz program that reuses one client for every input: nothing left of
    // what hosts said or earlier links found, the handshake from its first
    // tick. Datagram sockets still open for these settings are kept; any
    // other link is closed and made again. The owner hears none of it.
    void resetForFuzzing();

private:
    void Received(std::int32_t lngSocket, std::span<const std::uint8_t> Data,
                  std::int32_t lngLength) override;
    void Error(std::int32_t lngSocket, const std::string& strMsg) override;
    void ReadyToSend(std::int32_t lngSocket) override;
    void DataSent(std::int32_t lngSocket, std::int32_t lngTotal) override;
    void Closed(std::int32_t lngSocket) override;

    // Why the last Connect could not make its sockets; each kind is reported
    // once, not once per retry.
    enum class LinkFailure { None, ListenPort, HostName, ClientSocket, NoAnswer, StreamRefused, StreamClosed,
                             StreamUnreadable, HostNotReading, HostSilent };
    void linkFailed(LinkFailure kind, const std::string& text);
    void linkEstablished();
    // The stream (TCP): open one to the host, take what it delivers, and
    // send what is queued for it.
    bool openStream();
    void closeStream();
    void receiveStream(std::span<const std::uint8_t> bytes);
    void flushStream();
    void flushDatagrams();
    // Ends a stretch of gathered sends: the last one out writes them all.
    void endGathering();
    void streamLost(LinkFailure kind, const std::string& text);
    std::string noAnswerAdvice() const;
    void notice(const std::string& text);
    void linkSettled();

    struct OwnWindow {
        explicit OwnWindow(platform::WindowSystem& w) : windows(w), handle(w.CreateMessageWindow()) {}
        ~OwnWindow() { windows.DestroyWindow(handle); }
        platform::WindowSystem& windows;
        platform::HWND handle;
    };

    void myTimer_Timer();
    void timRetry_Timer();
    void ISS_ISI();
    void sendHandshake();
    std::string printableVersion() const;
    void chooseGeneration();
    void versionReceived(int hostInSimVer);
    bool framedForWire(std::span<const std::uint8_t> d);
    void SendPacket(std::int32_t lngSocket, std::span<const std::uint8_t> Data, std::int32_t lngStart);
    void ClearPlayer(int index);
    void handlePacket(std::span<const std::uint8_t> data);
    bool byteArgument(int value, std::string_view what, std::string_view op);

    void WriteStatus(std::string_view text);
    // Formats only when the trace is on: reception must not pay for it.
    template <typename MakeText> void status(MakeText&& make) {
        if (platform_.trace.on()) {
            WriteStatus(make());
        }
    }

    platform::Platform& platform_;
    ucInSimEvents* owner_;
    std::string traceLabel_;
    OwnWindow window_;
    net::okSocket InSimSocket_;

    platform::HostLookup hostLookup_;
    InitRecordValues initRecord_;
    std::string host_;
    std::int32_t serverPort_ = 0;
    std::int32_t listenPort_ = 0;
    std::uint32_t serverAddress_ = 0; // network order; datagrams from elsewhere are refused
    bool connectable_ = true;
    LinkFailure lastFailure_ = LinkFailure::None;
    // The failure a link that has not settled yet seemed to end; said over
    // only when the host says its version.
    LinkFailure recoveredFrom_ = LinkFailure::None;
    bool everSettled_ = false;
    std::string lastSocketError_;
    bool linkedBefore_ = false;
    const WireGeneration* wire_ = &kWire4;
    bool autoGeneration_ = false;
    bool negotiated_ = false; // auto: the generation is settled for this Connect
    bool upgrading_ = false;  // auto: closed InSim 4 and awaiting the higher one's IS_VER
    const WireGeneration* upgradeUnanswered_ = nullptr;
    int reportedGeneration_ = 0; // the last generation the status log named
    bool mismatchReported_ = false; // an explicit generation answered with another, said this Connect
    int versionAskTicks_ = 0;
    bool handshakeSent_ = false; // since the last Connect
    std::string noticedStranger_; // the foreign sender the status log last named
    bool tcp_ = false;
    bool linkAnnounced_ = false; // LinkChanged(true) said for this link
    std::string downReason_;     // why the next Disconnect happens, when it is not the host's silence
    std::int32_t streamSocket_ = 0; // the stream while it is ours; 0 when none
    bool streamOpen_ = false;       // connected: sends may go out
    StreamFramer framer_;
    std::vector<std::uint8_t> streamOut_; // queued for the stream, not yet taken by the system
    std::int32_t streamSent_ = 0;         // of the bytes being sent now
    bool flushingStream_ = false;
    // While a read is handled, whatever its handlers send goes out in one
    // write when it is over: a vote's 65 packets are one write, not 65.
    int gathering_ = 0;
    std::vector<std::vector<std::uint8_t>> datagramsOut_; // gathered for one batch
    std::int32_t lngListenSocket_ = 0;
    std::int32_t lngClientSocket_ = 0;
    bool bConnected_ = false;
    bool bAutoReconnect_ = false;
    platform::Clock::Monotonic retryDue_{};
    std::string lastDownReason_;
    std::uint8_t bytTicks_ = 0;
    std::int16_t intLastState_ = -1;

    SlotTable<ConnInfo, kTables> Conns_;
    SlotTable<PlayerInfo, kTables> Players_;
    std::string version_;
    std::string product_;
    std::string inSimVer_;
    std::string serverName_;
    RaceInfoRecord raceInfo_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    std::shared_ptr<int> senderUcid_ = std::make_shared<int>(-1);
};

} // namespace pm::insim
