#pragma once
// The host's InSim port on TCP: a non-blocking listener and the streams it
// accepts, watched through the event loop. Arriving bytes are handed on as
// they come, cut anywhere; bytes to send are written as far as the socket
// takes them and the rest waits for it, up to a bound, so a client that
// stops reading costs the host that much memory and never a blocked loop.
// Straight on the system's calls, like UdpEndpoint.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/EventLoop.h"
#include "sim/UdpEndpoint.h"

namespace pm::sim {

class TcpEndpoint {
public:
    using StreamId = std::uint64_t;
    struct Handlers {
        std::function<void(StreamId, const Address& peer)> accepted;
        std::function<void(StreamId, std::span<const std::uint8_t> bytes)> received;
        // The peer closed its end or the connection broke; the stream is
        // already gone when this is called.
        std::function<void(StreamId, const std::string& why)> lost;
    };

    // One wake-up of a stream or the listener does at most this much, so a
    // flooding client cannot starve timers and the other sockets.
    static constexpr int kMaxReadsPerWake = 16;
    static constexpr std::size_t kReadChunk = 4096;
    static constexpr int kMaxAcceptsPerWake = 8;
    static constexpr std::size_t kDefaultWaitingLimit = 1 << 20;

    explicit TcpEndpoint(platform::EventLoop& loop) : loop_(loop) {}
    ~TcpEndpoint() { close(); }
    TcpEndpoint(const TcpEndpoint&) = delete;
    TcpEndpoint& operator=(const TcpEndpoint&) = delete;

    // Empty on success, else why the port could not be had.
    std::string open(const std::string& address, std::uint16_t port, Handlers handlers);
    // The listener and every stream, without a word to the handlers.
    void close();
    bool isOpen() const { return listenFd_ >= 0; }
    std::uint16_t port() const { return port_; }

    // Bytes that may wait unsent on one stream before it is given up.
    void setWaitingLimit(std::size_t bytes) { limit_ = bytes; }
    // Empty when the bytes went out or wait within the bound; otherwise why
    // the stream is closed now (no handler is called for it).
    std::string send(StreamId id, std::span<const std::uint8_t> bytes);
    void closeStream(StreamId id);
    bool hasStream(StreamId id) const { return streams_.contains(id); }
    std::size_t waiting(StreamId id) const;
    std::size_t streamCount() const { return streams_.size(); }

private:
    struct Stream {
        int fd = -1;
        platform::EventLoop::WatchId watch = 0;
        std::vector<std::uint8_t> out; // unsent, from outStart on
        std::size_t outStart = 0;
    };

    void acceptSome();
    void onReady(StreamId id, platform::Readiness ready);
    void readSome(StreamId id);
    // 0, or the error that broke the stream.
    int flush(Stream& s);
    void drop(StreamId id);
    void lose(StreamId id, const std::string& why);

    platform::EventLoop& loop_;
    int listenFd_ = -1;
    platform::EventLoop::WatchId listenWatch_ = 0;
    std::uint16_t port_ = 0;
    Handlers handlers_;
    std::map<StreamId, Stream> streams_;
    StreamId nextId_ = 1;
    std::size_t limit_ = kDefaultWaitingLimit;
    std::vector<std::uint8_t> buffer_ = std::vector<std::uint8_t>(kReadChunk);
};

} // namespace pm::sim
