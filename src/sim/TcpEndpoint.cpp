#include "sim/TcpEndpoint.h"

#include "platform/SysSocket.h"
#include "platform/WinSock.h"

namespace pm::sim {

namespace {

namespace sys = platform::sys;

constexpr int kWouldBlock = platform::WSAEWOULDBLOCK;
constexpr int kInterrupted = platform::WSAEINTR;
// Pending connections the system keeps before the host takes them.
constexpr int kBacklog = 8;

std::string streamErrorText(int error) {
    switch (error) {
    case 10053: return "connection aborted";
    case 10054: return "connection reset by the client";
    case 10058: return "the client shut the connection";
    case 10060: return "connection timed out";
    default: return "socket error " + std::to_string(error);
    }
}

} // namespace

std::string TcpEndpoint::open(const std::string& address, std::uint16_t port, Handlers handlers) {
    close();
    std::uint32_t ip = 0;
    if (!parseDottedAddress(address, ip)) {
        return "not an IPv4 address: " + address;
    }
    int error = 0;
    const sys::Fd fd = sys::open(true, 0, error);
    if (fd == sys::kNoFd) {
        return "socket: " + portErrorText(error);
    }
    const std::string where = "TCP " + address + ":" + std::to_string(port);
    sys::reuseListeningPort(fd);
    if (const int bindError = sys::bind(fd, ip, platform::hostToNet16(port)); bindError != 0) {
        sys::close(fd);
        return "cannot bind " + where + ": " + portErrorText(bindError);
    }
    if (const int listenError = sys::listen(fd, kBacklog); listenError != 0) {
        sys::close(fd);
        return "cannot listen on " + where + ": " + portErrorText(listenError);
    }
    std::uint32_t boundIp = 0;
    std::uint16_t boundPort = 0;
    sys::localAddress(fd, boundIp, boundPort);
    listenFd_ = fd;
    port_ = platform::netToHost16(boundPort);
    handlers_ = std::move(handlers);
    listenWatch_ = loop_.watchSocket(listenFd_, true, false, [this](platform::Readiness) { acceptSome(); });
    return {};
}

void TcpEndpoint::close() {
    while (!streams_.empty()) {
        drop(streams_.begin()->first);
    }
    if (listenFd_ >= 0) {
        loop_.unwatch(listenWatch_);
        sys::close(listenFd_);
        listenFd_ = -1;
    }
}

void TcpEndpoint::acceptSome() {
    for (int i = 0; i < kMaxAcceptsPerWake && listenFd_ >= 0; ++i) {
        std::uint32_t ip = 0;
        std::uint16_t port = 0;
        int error = 0;
        const sys::Fd fd = sys::accept(listenFd_, ip, port, error);
        if (fd == sys::kNoFd) {
            if (error == kInterrupted) {
                continue;
            }
            // Would block: none left. Anything else (a connection reset
            // before it was taken) concerns that one only.
            return;
        }
        const StreamId id = nextId_++;
        Stream& s = streams_[id];
        s.fd = fd;
        s.watch = loop_.watchSocket(fd, true, false, [this, id](platform::Readiness r) { onReady(id, r); });
        if (handlers_.accepted) {
            handlers_.accepted(id, Address{ip, platform::netToHost16(port)});
        }
    }
}

void TcpEndpoint::onReady(StreamId id, platform::Readiness ready) {
    auto it = streams_.find(id);
    if (it == streams_.end()) {
        return;
    }
    if (ready.writable || (ready.error && !it->second.out.empty())) {
        if (const int error = flush(it->second); error != 0) {
            lose(id, streamErrorText(error));
            return;
        }
    }
    if (ready.readable || ready.error) {
        readSome(id);
    }
}

void TcpEndpoint::readSome(StreamId id) {
    for (int i = 0; i < kMaxReadsPerWake; ++i) {
        auto it = streams_.find(id);
        if (it == streams_.end()) {
            return; // closed by what was handed on
        }
        std::uint32_t ip = 0;
        std::uint16_t port = 0;
        int error = 0;
        const long n = sys::receive(it->second.fd, buffer_.data(), buffer_.size(), true, ip, port, error);
        if (n > 0) {
            if (handlers_.received) {
                handlers_.received(
                    id, std::span<const std::uint8_t>(buffer_.data(), static_cast<std::size_t>(n)));
            }
            continue;
        }
        if (n == 0) {
            lose(id, "the client closed the stream");
            return;
        }
        if (error == kInterrupted) {
            continue;
        }
        if (error != kWouldBlock) {
            lose(id, streamErrorText(error));
        }
        return;
    }
}

int TcpEndpoint::flush(Stream& s) {
    while (s.outStart < s.out.size()) {
        int error = 0;
        const long n =
            sys::send(s.fd, s.out.data() + s.outStart, s.out.size() - s.outStart, true, 0, 0, error);
        if (n < 0) {
            if (error == kInterrupted) {
                continue;
            }
            if (error == kWouldBlock) {
                break;
            }
            return error;
        }
        s.outStart += static_cast<std::size_t>(n);
    }
    if (s.outStart == s.out.size()) {
        s.out.clear();
        s.outStart = 0;
    }
    // Woken for writing only while something waits, or the loop would spin.
    loop_.updateWatch(s.watch, true, !s.out.empty());
    return 0;
}

std::string TcpEndpoint::send(StreamId id, std::span<const std::uint8_t> bytes) {
    auto it = streams_.find(id);
    if (it == streams_.end()) {
        return "no such stream";
    }
    Stream& s = it->second;
    if (s.outStart > 0 && s.outStart >= s.out.size() / 2) {
        s.out.erase(s.out.begin(), s.out.begin() + static_cast<std::ptrdiff_t>(s.outStart));
        s.outStart = 0;
    }
    // Behind what already waits, never beside it.
    s.out.insert(s.out.end(), bytes.begin(), bytes.end());
    if (const int error = flush(s); error != 0) {
        drop(id);
        return streamErrorText(error);
    }
    if (const std::size_t left = s.out.size() - s.outStart; left > limit_) {
        drop(id);
        return "the client reads too slowly: " + std::to_string(left) + " bytes wait unsent, more than " +
               std::to_string(limit_);
    }
    return {};
}

std::size_t TcpEndpoint::waiting(StreamId id) const {
    auto it = streams_.find(id);
    return it == streams_.end() ? 0 : it->second.out.size() - it->second.outStart;
}

void TcpEndpoint::closeStream(StreamId id) {
    drop(id);
}

void TcpEndpoint::drop(StreamId id) {
    auto it = streams_.find(id);
    if (it == streams_.end()) {
        return;
    }
    loop_.unwatch(it->second.watch);
    sys::close(it->second.fd);
    streams_.erase(it);
}

void TcpEndpoint::lose(StreamId id, const std::string& why) {
    drop(id);
    if (handlers_.lost) {
        handlers_.lost(id, why);
    }
}

} // namespace pm::sim
