#pragma once
// A plain TCP client on loopback playing the sim's InSim client: it writes
// what a test tells it to, in pieces of any size, and cuts what it reads
// back into packets by the Size byte, with framing of its own.

#include <cstdint>
#include <span>
#include <stdexcept>
#include <vector>

#include "platform/SysSocket.h"
#include "platform/WinSock.h"

namespace pm::sim::testing {

class TcpPeer {
public:
    explicit TcpPeer(std::uint16_t port) {
        namespace sys = platform::sys;
        int error = 0;
        fd_ = sys::open(true, 0, error);
        std::uint32_t ip = 0;
        sys::parseIPv4("127.0.0.1", ip);
        const int c = fd_ == sys::kNoFd ? -1 : sys::connect(fd_, ip, platform::hostToNet16(port));
        if (c != 0 && c != platform::WSAEWOULDBLOCK) {
            throw std::runtime_error("TcpPeer: cannot connect");
        }
    }
    ~TcpPeer() { platform::sys::close(fd_); }
    TcpPeer(const TcpPeer&) = delete;
    TcpPeer& operator=(const TcpPeer&) = delete;

    // Bytes the socket did not take now; the caller waits and calls flush.
    std::size_t write(std::span<const std::uint8_t> bytes) {
        pending_.insert(pending_.end(), bytes.begin(), bytes.end());
        flush();
        return pending_.size();
    }
    void flush() {
        while (!pending_.empty()) {
            int error = 0;
            const long n = platform::sys::send(fd_, pending_.data(), pending_.size(), true, 0, 0, error);
            if (n <= 0) {
                return; // not connected yet, or full: later
            }
            pending_.erase(pending_.begin(), pending_.begin() + n);
        }
    }

    // Takes what has arrived; false once the sim closed the stream.
    bool read() {
        std::uint8_t buf[4096];
        for (;;) {
            std::uint32_t ip = 0;
            std::uint16_t port = 0;
            int error = 0;
            const long n = platform::sys::receive(fd_, buf, sizeof buf, true, ip, port, error);
            if (n > 0) {
                in_.insert(in_.end(), buf, buf + n);
                continue;
            }
            if (n == 0 || (error != platform::WSAEWOULDBLOCK && error != platform::WSAEINTR)) {
                closed_ = true; // an orderly end, or a reset when our bytes were left unread
            }
            return !closed_;
        }
    }
    bool closed() const { return closed_; }
    std::size_t arrived() const { return in_.size() - taken_; }

    // Whole packets not yet taken, framed in unit bytes per Size count.
    std::vector<std::vector<std::uint8_t>> packets(int unit) {
        std::vector<std::vector<std::uint8_t>> out;
        while (arrived() > 0) {
            const std::size_t length = static_cast<std::size_t>(in_[taken_]) * static_cast<std::size_t>(unit);
            if (length == 0 || arrived() < length) {
                break;
            }
            out.emplace_back(in_.begin() + static_cast<std::ptrdiff_t>(taken_),
                             in_.begin() + static_cast<std::ptrdiff_t>(taken_ + length));
            taken_ += length;
        }
        return out;
    }

private:
    int fd_ = -1;
    std::vector<std::uint8_t> pending_;
    std::vector<std::uint8_t> in_;
    std::size_t taken_ = 0;
    bool closed_ = false;
};

} // namespace pm::sim::testing
