#include "platform/SysSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include "platform/WinSock.h"

namespace pm::platform {

int wsaErrorFromErrno(int err) {
    switch (err) {
    case 0: return 0;
    case EINTR: return 10004;
    case EACCES:
    case EPERM: return 10013;
    case EFAULT: return 10014;
    case EINVAL: return 10022;
    case EMFILE:
    case ENFILE: return 10024;
#if EAGAIN != EWOULDBLOCK
    case EAGAIN:
#endif
    case EWOULDBLOCK:
    case EINPROGRESS: return 10035;
    case EALREADY: return 10037;
    case EBADF:
    case ENOTSOCK: return 10038;
    case EDESTADDRREQ: return 10039;
    case EMSGSIZE: return 10040;
    case EPROTOTYPE: return 10041;
    case ENOPROTOOPT: return 10042;
    case EPROTONOSUPPORT: return 10043;
    case ESOCKTNOSUPPORT: return 10044;
    case EOPNOTSUPP: return 10045;
    case EPFNOSUPPORT: return 10046;
    case EAFNOSUPPORT: return 10047;
    case EADDRINUSE: return 10048;
    case EADDRNOTAVAIL: return 10049;
    case ENETDOWN: return 10050;
    case ENETUNREACH: return 10051;
    case ENETRESET: return 10052;
    case ECONNABORTED: return 10053;
    case ECONNRESET: return 10054;
    case ENOBUFS:
    case ENOMEM: return 10055;
    case EISCONN: return 10056;
    case ENOTCONN: return 10057;
    case ESHUTDOWN:
    case EPIPE: return 10058;
    case ETOOMANYREFS: return 10059;
    case ETIMEDOUT: return 10060;
    case ECONNREFUSED: return 10061;
    case ENAMETOOLONG: return 10063;
    case EHOSTDOWN: return 10064;
    case EHOSTUNREACH: return 10065;
    default: return 10000 + err; // no counterpart: keep the number visible
    }
}

namespace sys {

namespace {

sockaddr_in inet(std::uint32_t ip, std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = port;
    a.sin_addr.s_addr = ip;
    return a;
}

int lastError() { return wsaErrorFromErrno(errno); }

} // namespace

int startup() { return 0; }

Fd open(bool stream, int protocol, int& error) {
    const int fd = ::socket(AF_INET, (stream ? SOCK_STREAM : SOCK_DGRAM) | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
    error = fd < 0 ? lastError() : 0;
    if (fd >= 0 && stream) {
        // Every write is whole packets, gathered already: Nagle would only
        // hold a lone reply back until the peer's delayed ACK. Sockets
        // accepted from a listener inherit it.
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    return fd < 0 ? kNoFd : fd;
}

void close(Fd fd) { ::close(fd); }

int bind(Fd fd, std::uint32_t ip, std::uint16_t port) {
    const sockaddr_in a = inet(ip, port);
    return ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0 ? 0 : lastError();
}

int listen(Fd fd, int backlog) { return ::listen(fd, backlog) == 0 ? 0 : lastError(); }

int reuseListeningPort(Fd fd) {
    const int on = 1;
    return ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 ? 0 : lastError();
}

int connect(Fd fd, std::uint32_t ip, std::uint16_t port) {
    const sockaddr_in a = inet(ip, port);
    return ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0 ? 0 : lastError();
}

Fd accept(Fd fd, std::uint32_t& ip, std::uint16_t& port, int& error) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    const int n = ::accept4(fd, reinterpret_cast<sockaddr*>(&a), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (n < 0) {
        error = lastError();
        return kNoFd;
    }
    error = 0;
    ip = a.sin_addr.s_addr;
    port = a.sin_port;
    return n;
}

int makeNonBlocking(Fd fd) {
    const int flags = ::fcntl(fd, F_GETFL, 0);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 ? 0 : lastError();
}

int localAddress(Fd fd, std::uint32_t& ip, std::uint16_t& port) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        return lastError();
    }
    ip = a.sin_addr.s_addr;
    port = a.sin_port;
    return 0;
}

int pendingError(Fd fd) {
    int soError = 0;
    socklen_t len = sizeof soError;
    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len);
    return wsaErrorFromErrno(soError);
}

long receive(Fd fd, std::uint8_t* buf, std::size_t len, bool stream, std::uint32_t& ip, std::uint16_t& port,
             int& error) {
    error = 0;
    if (stream) {
        const ssize_t n = ::recv(fd, buf, len, MSG_DONTWAIT);
        if (n < 0) {
            error = lastError();
        }
        return static_cast<long>(n);
    }
    // MSG_TRUNC makes the kernel report the datagram's real length, so a
    // datagram larger than the buffer is reported, never silently cut.
    sockaddr_in source{};
    socklen_t sourceLen = sizeof source;
    const ssize_t n = ::recvfrom(fd, buf, len, MSG_DONTWAIT | MSG_TRUNC, reinterpret_cast<sockaddr*>(&source),
                                 &sourceLen);
    ip = source.sin_addr.s_addr;
    port = source.sin_port;
    if (n < 0) {
        error = lastError();
        return -1;
    }
    if (static_cast<std::size_t>(n) > len) {
        error = WSAEMSGSIZE;
        return -1;
    }
    return static_cast<long>(n);
}

long send(Fd fd, const std::uint8_t* buf, std::size_t len, bool stream, std::uint32_t ip, std::uint16_t port,
          int& error) {
    ssize_t n;
    if (stream) {
        n = ::send(fd, buf, len, MSG_DONTWAIT | MSG_NOSIGNAL);
    } else {
        const sockaddr_in a = inet(ip, port);
        n = ::sendto(fd, buf, len, MSG_DONTWAIT | MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    }
    error = n < 0 ? lastError() : 0;
    return static_cast<long>(n);
}

long sendDatagrams(Fd fd, std::span<const std::span<const std::uint8_t>> datagrams, std::uint32_t ip,
                   std::uint16_t port, int& error) {
    // A vote is some 65 datagrams to one host: one system call, not 65.
    constexpr std::size_t kBatch = 128;
    const sockaddr_in a = inet(ip, port);
    std::array<mmsghdr, kBatch> messages{};
    std::array<iovec, kBatch> pieces{};
    std::size_t sent = 0;
    error = 0;
    while (sent < datagrams.size()) {
        const std::size_t count = std::min(kBatch, datagrams.size() - sent);
        for (std::size_t i = 0; i < count; ++i) {
            const auto& d = datagrams[sent + i];
            pieces[i] = iovec{const_cast<std::uint8_t*>(d.data()), d.size()};
            messages[i] = mmsghdr{};
            messages[i].msg_hdr.msg_name = const_cast<sockaddr_in*>(&a);
            messages[i].msg_hdr.msg_namelen = sizeof a;
            messages[i].msg_hdr.msg_iov = &pieces[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        const int n = ::sendmmsg(fd, messages.data(), static_cast<unsigned>(count), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0) {
            if (sent == 0) {
                error = lastError();
                return -1;
            }
            break; // the caller learns this one's trouble by sending it alone
        }
        sent += static_cast<std::size_t>(n);
        if (static_cast<std::size_t>(n) < count) {
            break;
        }
    }
    return static_cast<long>(sent);
}

int peek(Fd fd, int& error) {
    std::uint8_t probe;
    const ssize_t n = ::recv(fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n < 0) {
        error = lastError();
        return -1;
    }
    error = 0;
    return n > 0 ? 1 : 0;
}

bool parseIPv4(const std::string& text, std::uint32_t& address) {
    in_addr a{};
    if (::inet_aton(text.c_str(), &a) == 0) {
        return false;
    }
    address = a.s_addr;
    return true;
}

std::vector<std::uint32_t> lookup(const std::string& name) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* res = nullptr;
    std::vector<std::uint32_t> out;
    if (name.empty() || ::getaddrinfo(name.c_str(), nullptr, &hints, &res) != 0 || res == nullptr) {
        return out;
    }
    for (addrinfo* p = res; p != nullptr; p = p->ai_next) {
        out.push_back(reinterpret_cast<const sockaddr_in*>(p->ai_addr)->sin_addr.s_addr);
    }
    ::freeaddrinfo(res);
    return out;
}

int poll(std::vector<PollItem>& items, int timeoutMs) {
    // Kept between calls: a loop polls on every pass, and need not
    // allocate on each. Per thread, as the web page's threads poll too.
    thread_local std::vector<pollfd> fds;
    fds.clear();
    for (const auto& item : items) {
        fds.push_back(pollfd{item.fd, static_cast<short>((item.wantRead ? POLLIN : 0) | (item.wantWrite ? POLLOUT : 0)), 0});
    }
    const int n = ::poll(fds.data(), fds.size(), timeoutMs);
    if (n < 0) {
        return errno == EINTR ? 0 : -1;
    }
    for (std::size_t i = 0; i < fds.size(); ++i) {
        items[i].readable = (fds[i].revents & POLLIN) != 0;
        items[i].writable = (fds[i].revents & POLLOUT) != 0;
        items[i].error = (fds[i].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
    }
    return n;
}

} // namespace sys
} // namespace pm::platform
