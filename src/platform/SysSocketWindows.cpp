// Windows Sockets proper. Its error numbers are the ones the program's error
// texts are keyed by, so they pass through unchanged.
#include "platform/SysSocket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <mutex>
#include <thread>

namespace pm::platform::sys {

namespace {

SOCKET native(Fd fd) { return static_cast<SOCKET>(static_cast<std::uint32_t>(fd)); }

sockaddr_in inet(std::uint32_t ip, std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = port;
    a.sin_addr.s_addr = ip;
    return a;
}

int lastError() { return ::WSAGetLastError(); }

} // namespace

int startup() {
    static std::once_flag once;
    static int result = 0;
    // Never cleaned up: the system releases it with the process, and a
    // socket still closing at the end must not find the library gone.
    std::call_once(once, [] {
        WSADATA data{};
        result = ::WSAStartup(MAKEWORD(2, 2), &data);
    });
    return result;
}

Fd open(bool stream, int protocol, int& error) {
    if ((error = startup()) != 0) {
        return kNoFd;
    }
    // Not inherited: a child process must not keep our ports open.
    const SOCKET s = ::WSASocketW(AF_INET, stream ? SOCK_STREAM : SOCK_DGRAM, protocol, nullptr, 0,
                                  WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) {
        error = lastError();
        return kNoFd;
    }
    u_long nonBlocking = 1;
    if (::ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
        error = lastError();
        ::closesocket(s);
        return kNoFd;
    }
    if (stream) {
        // Every write is whole packets, gathered already: Nagle would only
        // hold a lone reply back until the peer's delayed ACK.
        const BOOL on = TRUE;
        ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    }
    error = 0;
    return static_cast<Fd>(s);
}

void close(Fd fd) { ::closesocket(native(fd)); }

int bind(Fd fd, std::uint32_t ip, std::uint16_t port) {
    const sockaddr_in a = inet(ip, port);
    return ::bind(native(fd), reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0 ? 0 : lastError();
}

int listen(Fd fd, int backlog) { return ::listen(native(fd), backlog) == 0 ? 0 : lastError(); }

// Windows already lets a listener bind over its own connections in
// TIME_WAIT; its SO_REUSEADDR would rather let another program share the
// port, which no server wants.
int reuseListeningPort(Fd) { return 0; }

int connect(Fd fd, std::uint32_t ip, std::uint16_t port) {
    const sockaddr_in a = inet(ip, port);
    return ::connect(native(fd), reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0 ? 0 : lastError();
}

Fd accept(Fd fd, std::uint32_t& ip, std::uint16_t& port, int& error) {
    sockaddr_in a{};
    int len = sizeof a;
    const SOCKET s = ::accept(native(fd), reinterpret_cast<sockaddr*>(&a), &len);
    if (s == INVALID_SOCKET) {
        error = lastError();
        return kNoFd;
    }
    u_long nonBlocking = 1;
    ::ioctlsocket(s, FIONBIO, &nonBlocking);
    ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    error = 0;
    ip = a.sin_addr.s_addr;
    port = a.sin_port;
    return static_cast<Fd>(s);
}

int makeNonBlocking(Fd fd) {
    u_long nonBlocking = 1;
    return ::ioctlsocket(native(fd), FIONBIO, &nonBlocking) == 0 ? 0 : lastError();
}

int localAddress(Fd fd, std::uint32_t& ip, std::uint16_t& port) {
    sockaddr_in a{};
    int len = sizeof a;
    if (::getsockname(native(fd), reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        return lastError();
    }
    ip = a.sin_addr.s_addr;
    port = a.sin_port;
    return 0;
}

int pendingError(Fd fd) {
    int soError = 0;
    int len = sizeof soError;
    ::getsockopt(native(fd), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &len);
    return soError;
}

long receive(Fd fd, std::uint8_t* buf, std::size_t len, bool stream, std::uint32_t& ip, std::uint16_t& port,
             int& error) {
    error = 0;
    const int size = static_cast<int>(len);
    if (stream) {
        const int n = ::recv(native(fd), reinterpret_cast<char*>(buf), size, 0);
        if (n == SOCKET_ERROR) {
            error = lastError();
            return -1;
        }
        return n;
    }
    // A datagram longer than the buffer fails with WSAEMSGSIZE by itself.
    sockaddr_in source{};
    int sourceLen = sizeof source;
    const int n =
        ::recvfrom(native(fd), reinterpret_cast<char*>(buf), size, 0, reinterpret_cast<sockaddr*>(&source), &sourceLen);
    ip = source.sin_addr.s_addr;
    port = source.sin_port;
    if (n == SOCKET_ERROR) {
        error = lastError();
        return -1;
    }
    return n;
}

long send(Fd fd, const std::uint8_t* buf, std::size_t len, bool stream, std::uint32_t ip, std::uint16_t port,
          int& error) {
    int n;
    if (stream) {
        n = ::send(native(fd), reinterpret_cast<const char*>(buf), static_cast<int>(len), 0);
    } else {
        const sockaddr_in a = inet(ip, port);
        n = ::sendto(native(fd), reinterpret_cast<const char*>(buf), static_cast<int>(len), 0,
                     reinterpret_cast<const sockaddr*>(&a), sizeof a);
    }
    error = n == SOCKET_ERROR ? lastError() : 0;
    return n == SOCKET_ERROR ? -1 : n;
}

long sendDatagrams(Fd fd, std::span<const std::span<const std::uint8_t>> datagrams, std::uint32_t ip,
                   std::uint16_t port, int& error) {
    // Windows has no call for several datagrams at once: one each.
    long sent = 0;
    for (const auto& d : datagrams) {
        if (send(fd, d.data(), d.size(), false, ip, port, error) < 0) {
            return sent == 0 ? -1 : sent;
        }
        ++sent;
    }
    error = 0;
    return sent;
}

int peek(Fd fd, int& error) {
    char probe;
    const int n = ::recv(native(fd), &probe, 1, MSG_PEEK);
    if (n == SOCKET_ERROR) {
        error = lastError();
        return -1;
    }
    error = 0;
    return n > 0 ? 1 : 0;
}

bool parseIPv4(const std::string& text, std::uint32_t& address) {
    // inet_addr, like inet_aton elsewhere, takes the short forms ("0",
    // "127.1") that start-up files may hold.
    const unsigned long a = ::inet_addr(text.c_str());
    if (a == INADDR_NONE && text != "255.255.255.255") {
        return false;
    }
    address = static_cast<std::uint32_t>(a);
    return true;
}

std::vector<std::uint32_t> lookup(const std::string& name) {
    std::vector<std::uint32_t> out;
    if (name.empty() || startup() != 0) {
        return out;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* res = nullptr;
    if (::getaddrinfo(name.c_str(), nullptr, &hints, &res) != 0 || res == nullptr) {
        return out;
    }
    for (addrinfo* p = res; p != nullptr; p = p->ai_next) {
        out.push_back(reinterpret_cast<const sockaddr_in*>(p->ai_addr)->sin_addr.s_addr);
    }
    ::freeaddrinfo(res);
    return out;
}

int poll(std::vector<PollItem>& items, int timeoutMs) {
    if (items.empty()) {
        // WSAPoll refuses an empty set; the loop still has to wait for its
        // next timer.
        if (timeoutMs != 0) {
            ::Sleep(timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
        }
        return 0;
    }
    // Kept between calls: a loop polls on every pass, and need not
    // allocate on each. Per thread, as the web page's threads poll too.
    thread_local std::vector<WSAPOLLFD> fds;
    fds.clear();
    for (const auto& item : items) {
        WSAPOLLFD p{};
        p.fd = native(item.fd);
        p.events = static_cast<short>((item.wantRead ? POLLRDNORM : 0) | (item.wantWrite ? POLLWRNORM : 0));
        fds.push_back(p);
    }
    const int n = ::WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), timeoutMs);
    if (n == SOCKET_ERROR) {
        return ::WSAGetLastError() == WSAEINTR ? 0 : -1;
    }
    for (std::size_t i = 0; i < fds.size(); ++i) {
        items[i].readable = (fds[i].revents & POLLRDNORM) != 0;
        items[i].writable = (fds[i].revents & POLLWRNORM) != 0;
        items[i].error = (fds[i].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
    }
    return n;
}

} // namespace pm::platform::sys
