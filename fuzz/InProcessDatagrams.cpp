// Defined in the program, these take the place of the C library's socket
// calls for every caller (as OfflineNameLookup.cpp does for name lookups).
//
// Why: a fuzz input of fuzz_insim_fast costs tens of microseconds of packet
// handling, and the client's link would cost more in system calls than that:
// a poll for every loop pass (several per second of a clock step), a send per
// answer, and two sockets made and closed for every reconnection. Packets
// reach the client through ucInSim::ReceivePacket, so nothing ever arrives on
// its sockets; a datagram socket can always be written; so the kernel has
// nothing to say that this file cannot say at once.
//
// What: datagram sockets made after keepDatagramsTo() get descriptors from a
// range no real descriptor reaches. Binding one to a port another of them
// holds fails as the kernel's would (EADDRINUSE), and so does a bind the
// fuzz input refuses, as if another program held the port for a moment. What they send to the far end is
// kept for the checks; anything else sent is dropped. Stream sockets and
// every real descriptor go to the C library as usual.

#include "InProcessDatagrams.h"

#include <dlfcn.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>

namespace {

constexpr int kFirstFd = 1 << 28;
constexpr std::uint16_t kFirstEphemeral = 40000;

struct Socket {
    sockaddr_in local{};
    bool bound = false;
};

struct Network {
    bool on = false;
    std::uint16_t keptPort = 0; // network order
    std::map<int, Socket> sockets;
    int nextFd = kFirstFd;
    std::uint16_t nextEphemeral = kFirstEphemeral;
    std::vector<std::vector<std::uint8_t>> kept;
    std::map<std::uint16_t, int> refusals; // by port, network order
};

// Never destroyed: sockets are closed by objects that static destruction
// may reach after it.
Network& net() {
    static Network* const n = new Network;
    return *n;
}

Socket* find(int fd) {
    if (fd < kFirstFd) {
        return nullptr;
    }
    auto it = net().sockets.find(fd);
    return it == net().sockets.end() ? nullptr : &it->second;
}

bool portTaken(std::uint16_t port) {
    for (const auto& [fd, s] : net().sockets) {
        if (s.bound && s.local.sin_port == port) {
            return true;
        }
    }
    return false;
}

void bindAnyPort(Socket& s) {
    Network& n = net();
    while (n.nextEphemeral < kFirstEphemeral || portTaken(htons(n.nextEphemeral))) {
        n.nextEphemeral = n.nextEphemeral < kFirstEphemeral ? kFirstEphemeral : n.nextEphemeral + 1;
    }
    s.local.sin_family = AF_INET;
    s.local.sin_port = htons(n.nextEphemeral++);
    s.bound = true;
}

bool kept(const void* name, socklen_t length) {
    if (name == nullptr || length < sizeof(sockaddr_in)) {
        return false;
    }
    const auto* a = static_cast<const sockaddr_in*>(name);
    return a->sin_family == AF_INET && a->sin_port == net().keptPort &&
           a->sin_addr.s_addr == htonl(INADDR_LOOPBACK);
}

std::size_t send(const msghdr& m) {
    std::vector<std::uint8_t> d;
    for (std::size_t i = 0; i < m.msg_iovlen; ++i) {
        const auto* p = static_cast<const std::uint8_t*>(m.msg_iov[i].iov_base);
        d.insert(d.end(), p, p + m.msg_iov[i].iov_len);
    }
    const std::size_t size = d.size();
    if (kept(m.msg_name, m.msg_namelen)) {
        net().kept.push_back(std::move(d));
    }
    return size;
}

int fail(int error) {
    errno = error;
    return -1;
}

template <typename Fn> Fn real(const char* name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

} // namespace

namespace pm::fuzz {

void keepDatagramsTo(std::uint16_t port) {
    net().on = true;
    net().keptPort = htons(port);
    net().refusals.clear();
}

void refuseNextBind(std::uint16_t port) {
    ++net().refusals[htons(port)];
}

std::vector<std::vector<std::uint8_t>> takeDatagrams() {
    std::vector<std::vector<std::uint8_t>> out;
    out.swap(net().kept);
    return out;
}

} // namespace pm::fuzz

extern "C" int socket(int domain, int type, int protocol) {
    if (net().on && domain == AF_INET && (type & 0xF) == SOCK_DGRAM) {
        const int fd = net().nextFd++;
        net().sockets.emplace(fd, Socket{});
        return fd;
    }
    static const auto next = real<int (*)(int, int, int)>("socket");
    return next(domain, type, protocol);
}

extern "C" int close(int fd) {
    if (fd >= kFirstFd) {
        return net().sockets.erase(fd) != 0 ? 0 : fail(EBADF);
    }
    static const auto next = real<int (*)(int)>("close");
    return next(fd);
}

extern "C" int bind(int fd, const sockaddr* addr, socklen_t length) {
    if (Socket* s = find(fd)) {
        if (s->bound || addr == nullptr || length < sizeof(sockaddr_in)) {
            return fail(EINVAL);
        }
        sockaddr_in a;
        std::memcpy(&a, addr, sizeof a);
        if (a.sin_port == 0) {
            bindAnyPort(*s);
            s->local.sin_addr = a.sin_addr;
            return 0;
        }
        if (auto refused = net().refusals.find(a.sin_port); refused != net().refusals.end()) {
            if (--refused->second == 0) {
                net().refusals.erase(refused);
            }
            return fail(EADDRINUSE);
        }
        if (portTaken(a.sin_port)) {
            return fail(EADDRINUSE);
        }
        s->local = a;
        s->bound = true;
        return 0;
    }
    static const auto next = real<int (*)(int, const sockaddr*, socklen_t)>("bind");
    return next(fd, addr, length);
}

extern "C" int connect(int fd, const sockaddr* addr, socklen_t length) {
    if (Socket* s = find(fd)) {
        if (!s->bound) {
            bindAnyPort(*s);
        }
        return 0;
    }
    static const auto next = real<int (*)(int, const sockaddr*, socklen_t)>("connect");
    return next(fd, addr, length);
}

extern "C" int listen(int fd, int backlog) {
    if (find(fd) != nullptr) {
        return fail(EOPNOTSUPP); // as for any datagram socket
    }
    static const auto next = real<int (*)(int, int)>("listen");
    return next(fd, backlog);
}

extern "C" int getsockname(int fd, sockaddr* addr, socklen_t* length) {
    if (Socket* s = find(fd)) {
        if (addr != nullptr && length != nullptr) {
            std::memcpy(addr, &s->local, std::min<std::size_t>(*length, sizeof s->local));
            *length = sizeof s->local;
        }
        return 0;
    }
    static const auto next = real<int (*)(int, sockaddr*, socklen_t*)>("getsockname");
    return next(fd, addr, length);
}

extern "C" int setsockopt(int fd, int level, int name, const void* value, socklen_t length) {
    if (find(fd) != nullptr) {
        return 0;
    }
    static const auto next = real<int (*)(int, int, int, const void*, socklen_t)>("setsockopt");
    return next(fd, level, name, value, length);
}

extern "C" int getsockopt(int fd, int level, int name, void* value, socklen_t* length) {
    if (find(fd) != nullptr) {
        if (value != nullptr && length != nullptr && *length >= sizeof(int)) {
            *static_cast<int*>(value) = 0;
            *length = sizeof(int);
        }
        return 0;
    }
    static const auto next = real<int (*)(int, int, int, void*, socklen_t*)>("getsockopt");
    return next(fd, level, name, value, length);
}

extern "C" ssize_t recvfrom(int fd, void* buf, size_t len, int flags, sockaddr* from, socklen_t* fromLength) {
    if (find(fd) != nullptr) {
        return fail(EAGAIN);
    }
    static const auto next = real<ssize_t (*)(int, void*, size_t, int, sockaddr*, socklen_t*)>("recvfrom");
    return next(fd, buf, len, flags, from, fromLength);
}

extern "C" ssize_t recv(int fd, void* buf, size_t len, int flags) {
    if (find(fd) != nullptr) {
        return fail(EAGAIN);
    }
    static const auto next = real<ssize_t (*)(int, void*, size_t, int)>("recv");
    return next(fd, buf, len, flags);
}

extern "C" ssize_t sendto(int fd, const void* buf, size_t len, int flags, const sockaddr* to,
                          socklen_t toLength) {
    if (find(fd) != nullptr) {
        iovec piece{const_cast<void*>(buf), len};
        msghdr m{};
        m.msg_name = const_cast<sockaddr*>(to);
        m.msg_namelen = toLength;
        m.msg_iov = &piece;
        m.msg_iovlen = 1;
        return static_cast<ssize_t>(send(m));
    }
    static const auto next =
        real<ssize_t (*)(int, const void*, size_t, int, const sockaddr*, socklen_t)>("sendto");
    return next(fd, buf, len, flags, to, toLength);
}

extern "C" int sendmmsg(int fd, mmsghdr* messages, unsigned int count, int flags) {
    if (find(fd) != nullptr) {
        for (unsigned int i = 0; i < count; ++i) {
            messages[i].msg_len = static_cast<unsigned int>(send(messages[i].msg_hdr));
        }
        return static_cast<int>(count);
    }
    static const auto next = real<int (*)(int, mmsghdr*, unsigned int, int)>("sendmmsg");
    return next(fd, messages, count, flags);
}

extern "C" int poll(pollfd* fds, nfds_t count, int timeout) {
    bool allHere = true;
    for (nfds_t i = 0; i < count; ++i) {
        allHere = allHere && find(fds[i].fd) != nullptr;
    }
    if (allHere && (count > 0 || timeout == 0)) {
        int ready = 0;
        for (nfds_t i = 0; i < count; ++i) {
            fds[i].revents = static_cast<short>(fds[i].events & POLLOUT);
            ready += fds[i].revents != 0 ? 1 : 0;
        }
        return ready;
    }
    static const auto next = real<int (*)(pollfd*, nfds_t, int)>("poll");
    return next(fds, count, timeout);
}
