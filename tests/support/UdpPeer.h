#pragma once
// A plain UDP socket on loopback that plays the far end in tests: it collects
// what arrives and sends what a test tells it to.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace pm::test {

class UdpPeer {
public:
    explicit UdpPeer(const char* address = "127.0.0.1", std::uint16_t port = 0) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        ::inet_pton(AF_INET, address, &a.sin_addr);
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            throw std::runtime_error("UdpPeer: cannot bind");
        }
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~UdpPeer() { ::close(fd_); }
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    std::uint16_t port() const { return port_; }

    void sendTo(std::uint16_t port, std::span<const std::uint8_t> bytes,
                const char* address = "127.0.0.1") const {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        ::inet_pton(AF_INET, address, &to.sin_addr);
        ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }

    // Everything that has arrived so far, oldest first.
    std::vector<std::vector<std::uint8_t>> take() {
        std::vector<std::vector<std::uint8_t>> out;
        std::uint8_t buf[65536];
        for (;;) {
            const ssize_t n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
            if (n < 0) {
                break;
            }
            out.emplace_back(buf, buf + n);
        }
        return out;
    }

    // Type bytes (and subtype for IS_TINY as "3/7") of what arrived, for
    // asserting packet order compactly.
    std::vector<std::string> takeKinds() {
        std::vector<std::string> out;
        for (const auto& d : take()) {
            if (d.size() < 4) {
                out.push_back("short");
            } else if (d[1] == 3) {
                out.push_back("TINY/" + std::to_string(d[3]));
            } else {
                out.push_back(std::to_string(d[1]));
            }
        }
        return out;
    }

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

// A UDP port that was free a moment ago.
inline std::uint16_t freeUdpPort() {
    UdpPeer probe;
    return probe.port();
}

} // namespace pm::test
