#pragma once
// The benchmark's own InSim peer, standing in for an LFS host on loopback:
// one UDP socket, or a listening TCP socket and the one connection it took,
// whose bytes it cuts into packets by their Size byte itself. It answers the
// client's handshake and state requests, seats a field of drivers with a
// finished race, sends restart votes, and notes when each private message
// and start order arrives, by the kernel's receive timestamp so that the
// benchmark's own scheduling does not count. (Over TCP that stamp is the
// newest segment's of a read, for every packet it holds: the start order
// comes last, so its time is its own.)

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace pm::bench {

using Datagram = std::vector<std::uint8_t>;

inline constexpr int kDrivers = 32;
inline constexpr int kMessagesPerVote = 2 * kDrivers;

// What an LFS host sends about driver k (1..kDrivers): connection k, player k.
Datagram driverConnection(int k);
Datagram driverPlayer(int k);
// Driver k finished in position k (ResultNum k - 1), or in `position`.
Datagram driverResult(int k);
Datagram driverResult(int k, int position);
Datagram driverChat(int k);
// The reception mix: IS_NCN, IS_NPL, IS_MSO, IS_RES, IS_TINY, one of each per
// driver, round the field.
std::vector<Datagram> receptionMix();

enum class Transport { Udp, Tcp };

inline const char* transportName(Transport t) {
    return t == Transport::Tcp ? "tcp" : "udp";
}

class InSimPeer {
public:
    // sizeUnit: bytes per unit of the Size byte on a stream (1 in InSim 4,
    // 4 from InSim 9 on); the peer's own packets are InSim 4 either way.
    explicit InSimPeer(Transport transport = Transport::Udp, int sizeUnit = 1);
    ~InSimPeer();
    InSimPeer(const InSimPeer&) = delete;
    InSimPeer& operator=(const InSimPeer&) = delete;

    Transport transport() const { return transport_; }
    // The socket to wait on: the UDP socket, or the listening one.
    int fd() const { return fd_; }
    // The connection taken over TCP, to wait on as well; -1 while none.
    int streamFd() const { return conn_; }
    // Connections taken so far: a new one may reuse a closed one's number.
    int streamsTaken() const { return streamsTaken_; }
    bool connected() const { return transport_ == Transport::Udp || conn_ >= 0; }
    std::uint16_t port() const { return port_; }
    // Where datagrams go. An IS_ISI sets it to the UDPPort it names.
    void setTarget(std::uint16_t port) { target_ = port; }
    std::uint16_t target() const { return target_; }

    // Takes a new connection if one waits, then reads and handles every
    // packet waiting; returns how many.
    int drain();

    void send(std::span<const std::uint8_t> bytes);
    void sendVersion();
    // The field: connections, players, and the finished race.
    void sendField();
    void sendKeepAlive();
    // A new race's results: the field finishes rotated by `race` places, so
    // that every race's order differs from the last.
    void sendRace(int race);
    // A passed restart vote; returns the time it left (realNowNs).
    std::int64_t sendVote();

    // ---- What arrived
    bool sawIsi() const { return firstIsiNs_ != 0; }
    std::int64_t firstIsiNs() const { return firstIsiNs_; }
    int received() const { return received_; }
    int keepAliveReplies() const { return keepAliveReplies_; }
    std::int64_t lastKeepAliveReplyNs() const { return lastKeepAliveReplyNs_; }
    int stateRequests() const { return stateRequests_; }

    // The current vote: messages so far, and the start order once it came.
    bool orderArrived() const { return reoNs_ != 0; }
    std::int64_t orderArrivedNs() const { return reoNs_; }
    int messagesBeforeOrder() const { return messagesAtReo_; }
    int messages() const { return messages_; }
    // True when the start order named all drivers in the last race's
    // finishing order.
    bool orderIsFinishingOrder() const;

    // Answer TINY_SST with IS_STA, as a host does. Off while a benchmark
    // floods the client and the answers would only add load.
    bool answerRequests = true;

private:
    void handle(std::span<const std::uint8_t> d, std::int64_t stampNs);
    int drainDatagrams();
    int drainStream();
    void acceptStream();
    void dropStream();

    Transport transport_;
    int sizeUnit_;
    int fd_ = -1;
    int conn_ = -1;
    int streamsTaken_ = 0;
    std::vector<std::uint8_t> inbox_; // stream bytes not yet a whole packet
    std::uint16_t port_ = 0;
    std::uint16_t target_ = 0;
    std::int64_t firstIsiNs_ = 0;
    int received_ = 0;
    int keepAliveReplies_ = 0;
    std::int64_t lastKeepAliveReplyNs_ = 0;
    int stateRequests_ = 0;
    int messages_ = 0;
    int messagesAtReo_ = 0;
    std::int64_t reoNs_ = 0;
    std::array<std::uint8_t, 4 + kDrivers> reo_{};
    int race_ = 0; // the rotation of the last race sent
};

} // namespace pm::bench
