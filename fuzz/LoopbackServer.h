#pragma once
// The far end of a fuzzed client: a UDP socket on loopback that takes what
// the client sends, so each datagram can be checked, and a listen port for
// the client that was free when the program started. Both live as long as
// the fuzz program, so that every input reuses the same two ports.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace pm::fuzz {

class LoopbackServer {
public:
    LoopbackServer() : fd_(openBound(port_)) {
        int probe = openBound(listenPort_);
        ::close(probe);
    }
    ~LoopbackServer() { ::close(fd_); }
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    std::uint16_t port() const { return port_; }
    std::uint16_t listenPort() const { return listenPort_; }

    std::vector<std::vector<std::uint8_t>> take() {
        std::vector<std::vector<std::uint8_t>> out;
        std::uint8_t buf[65536];
        for (;;) {
            const ssize_t n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
            if (n < 0) {
                return out;
            }
            out.emplace_back(buf, buf + n);
        }
    }

private:
    static int openBound(std::uint16_t& port) {
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
            std::perror("fuzz: no loopback UDP socket");
            std::exit(1);
        }
        port = ntohs(a.sin_port);
        return fd;
    }

    std::uint16_t port_ = 0;
    std::uint16_t listenPort_ = 0;
    int fd_;
};

} // namespace pm::fuzz
