#pragma once
// A plain UDP socket on loopback that plays the far end in tests: it collects
// what arrives and sends what a test tells it to.

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/SysSocket.h"
#include "platform/WinSock.h"

namespace pm::test {

class UdpPeer {
public:
    explicit UdpPeer(const char* address = "127.0.0.1", std::uint16_t port = 0) {
        namespace sys = platform::sys;
        int error = 0;
        fd_ = sys::open(false, 0, error);
        std::uint32_t ip = 0;
        if (fd_ == sys::kNoFd || !sys::parseIPv4(address, ip) ||
            sys::bind(fd_, ip, platform::hostToNet16(port)) != 0) {
            throw std::runtime_error("UdpPeer: cannot bind");
        }
        std::uint16_t bound = 0;
        sys::localAddress(fd_, ip, bound);
        port_ = platform::netToHost16(bound);
    }
    ~UdpPeer() { platform::sys::close(fd_); }
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    std::uint16_t port() const { return port_; }

    void sendTo(std::uint16_t port, std::span<const std::uint8_t> bytes,
                const char* address = "127.0.0.1") const {
        std::uint32_t ip = 0;
        platform::sys::parseIPv4(address, ip);
        int error = 0;
        platform::sys::send(fd_, bytes.data(), bytes.size(), false, ip, platform::hostToNet16(port), error);
    }

    // Everything that has arrived so far, oldest first.
    std::vector<std::vector<std::uint8_t>> take() {
        std::vector<std::vector<std::uint8_t>> out;
        std::vector<std::uint8_t> buf(65536);
        for (;;) {
            std::uint32_t ip = 0;
            std::uint16_t port = 0;
            int error = 0;
            const long n = platform::sys::receive(fd_, buf.data(), buf.size(), false, ip, port, error);
            if (n < 0) {
                // Windows reports a refused earlier send on the next read;
                // the datagrams behind it are still there.
                if (error == platform::WSAECONNRESET) {
                    continue;
                }
                break;
            }
            out.emplace_back(buf.begin(), buf.begin() + n);
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
