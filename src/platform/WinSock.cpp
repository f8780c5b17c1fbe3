#include "platform/WinSock.h"

#include "platform/HostLookup.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

WinSock::WinSock(EventLoop& loop, WindowSystem& windows) : loop_(loop), windows_(windows) {}

WinSock::~WinSock() {
    for (auto& [s, e] : sockets_) {
        if (e.watch != 0) {
            loop_.unwatch(e.watch);
        }
        ::close(e.fd);
    }
}

void WinSock::failNext(Op op, int wsaError) { injected_[static_cast<int>(op)] = wsaError; }

bool WinSock::fails(Op op) {
    auto it = injected_.find(static_cast<int>(op));
    if (it == injected_.end()) {
        return false;
    }
    lastError_ = it->second;
    injected_.erase(it);
    return true;
}

int WinSock::fail(int wsaError) {
    lastError_ = wsaError;
    return SOCKET_ERROR;
}

WinSock::Entry* WinSock::find(SOCKET s) {
    auto it = sockets_.find(s);
    return it == sockets_.end() ? nullptr : &it->second;
}

int WinSock::nativeFd(SOCKET s) const {
    auto it = sockets_.find(s);
    return it == sockets_.end() ? -1 : it->second.fd;
}

std::optional<sockaddr_in> WinSock::localAddress(SOCKET s) const {
    auto it = sockets_.find(s);
    if (it == sockets_.end()) {
        return std::nullopt;
    }
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (::getsockname(it->second.fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        return std::nullopt;
    }
    return addr;
}

int WinSock::WSAStartup(std::uint16_t version) {
    if (fails(Op::Startup)) {
        return lastError_;
    }
    if ((version & 0xFF) < 2) {
        return WSAVERNOTSUPPORTED;
    }
    ++startups_;
    return 0;
}

int WinSock::WSACleanup() {
    if (startups_ == 0) {
        return fail(WSANOTINITIALISED);
    }
    --startups_;
    return 0;
}

SOCKET WinSock::socket(int af, int type, int protocol) {
    if (startups_ == 0) {
        fail(WSANOTINITIALISED);
        return INVALID_SOCKET;
    }
    if (fails(Op::Socket)) {
        return INVALID_SOCKET;
    }
    if (af != AF_INET_W) {
        fail(10047);
        return INVALID_SOCKET;
    }
    const bool stream = type == SOCK_STREAM_W;
    const int fd = ::socket(AF_INET, (stream ? SOCK_STREAM : SOCK_DGRAM) | SOCK_NONBLOCK | SOCK_CLOEXEC,
                            protocol);
    if (fd < 0) {
        fail(wsaErrorFromErrno(errno));
        return INVALID_SOCKET;
    }
    const SOCKET s = nextHandle_++;
    Entry e;
    e.fd = fd;
    e.stream = stream;
    sockets_.emplace(s, e);
    return s;
}

int WinSock::bind(SOCKET s, const sockaddr_in& addr) {
    Entry* e = find(s);
    if (e == nullptr) {
        return fail(WSAENOTSOCK);
    }
    if (fails(Op::Bind)) {
        return SOCKET_ERROR;
    }
    if (::bind(e->fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        return fail(wsaErrorFromErrno(errno));
    }
    return 0;
}

int WinSock::listen(SOCKET s, int backlog) {
    Entry* e = find(s);
    if (e == nullptr) {
        return fail(WSAENOTSOCK);
    }
    if (!e->stream) {
        return fail(10045); // operation not supported on a datagram socket
    }
    if (::listen(e->fd, backlog) != 0) {
        return fail(wsaErrorFromErrno(errno));
    }
    e->listening = true;
    refreshWatch(s, *e);
    return 0;
}

SOCKET WinSock::accept(SOCKET s, sockaddr_in* peer) {
    Entry* e = find(s);
    if (e == nullptr) {
        fail(WSAENOTSOCK);
        return INVALID_SOCKET;
    }
    e->readPending = false; // accept() re-enables FD_ACCEPT
    refreshWatch(s, *e);
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    const int fd = ::accept4(e->fd, reinterpret_cast<sockaddr*>(&addr), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        fail(wsaErrorFromErrno(errno));
        return INVALID_SOCKET;
    }
    if (peer != nullptr) {
        *peer = addr;
    }
    const SOCKET n = nextHandle_++;
    Entry ne;
    ne.fd = fd;
    ne.stream = true;
    ne.connectDone = true;
    sockets_.emplace(n, ne);
    return n;
}

int WinSock::connect(SOCKET s, const sockaddr_in& addr) {
    Entry* e = find(s);
    if (e == nullptr) {
        return fail(WSAENOTSOCK);
    }
    if (::connect(e->fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) {
        e->connectDone = true;
        refreshWatch(s, *e);
        if (e->stream && (e->events & FD_CONNECT) != 0) {
            notify(s, *e, FD_CONNECT, 0);
        }
        return 0;
    }
    const int err = errno;
    if (e->stream && err == EINPROGRESS) {
        e->connecting = true;
        refreshWatch(s, *e);
    }
    return fail(wsaErrorFromErrno(err));
}

int WinSock::recv(SOCKET s, std::uint8_t* buf, int len, int flags, sockaddr_in* from) {
    Entry* e = find(s);
    if (e == nullptr) {
        return fail(WSAENOTSOCK);
    }
    // Reading re-enables the read notification: if data is still waiting,
    // the next pass of the loop posts FD_READ again.
    e->readPending = false;
    refreshWatch(s, *e);
    if (fails(Op::Recv)) {
        return SOCKET_ERROR;
    }
    if (e->stream) {
        const ssize_t n = ::recv(e->fd, buf, static_cast<size_t>(len), flags | MSG_DONTWAIT);
        return n < 0 ? fail(wsaErrorFromErrno(errno)) : static_cast<int>(n);
    }
    // MSG_TRUNC makes the kernel report the datagram's real length, so a
    // datagram larger than the buffer is reported, never silently cut.
    sockaddr_in source{};
    socklen_t sourceLen = sizeof source;
    const ssize_t n = ::recvfrom(e->fd, buf, static_cast<size_t>(len), flags | MSG_DONTWAIT | MSG_TRUNC,
                                 reinterpret_cast<sockaddr*>(&source), &sourceLen);
    if (from != nullptr) {
        *from = source;
    }
    if (n < 0) {
        return fail(wsaErrorFromErrno(errno));
    }
    if (n > len) {
        return fail(WSAEMSGSIZE);
    }
    return static_cast<int>(n);
}

int WinSock::sendto(SOCKET s, const std::uint8_t* buf, int len, int flags, const sockaddr_in& to) {
    Entry* e = find(s);
    if (e == nullptr) {
        return fail(WSAENOTSOCK);
    }
    if (fails(Op::Send)) {
        if (lastError_ == WSAEWOULDBLOCK) {
            e->writeWanted = true;
            refreshWatch(s, *e);
        }
        return SOCKET_ERROR;
    }
    ssize_t n;
    if (e->stream) {
        n = ::send(e->fd, buf, static_cast<size_t>(len), flags | MSG_DONTWAIT | MSG_NOSIGNAL);
    } else {
        n = ::sendto(e->fd, buf, static_cast<size_t>(len), flags | MSG_DONTWAIT | MSG_NOSIGNAL,
                     reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }
    if (n < 0) {
        const int err = wsaErrorFromErrno(errno);
        if (err == WSAEWOULDBLOCK) {
            e->writeWanted = true;
            refreshWatch(s, *e);
        }
        return fail(err);
    }
    return static_cast<int>(n);
}

int WinSock::closesocket(SOCKET s) {
    auto it = sockets_.find(s);
    if (it == sockets_.end()) {
        return fail(WSAENOTSOCK);
    }
    if (it->second.watch != 0) {
        loop_.unwatch(it->second.watch);
    }
    ::close(it->second.fd);
    sockets_.erase(it);
    return 0;
}

int WinSock::WSAAsyncSelect(SOCKET s, HWND hWnd, UINT msg, long events) {
    Entry* e = find(s);
    if (e == nullptr) {
        return fail(WSAENOTSOCK);
    }
    if (fails(Op::AsyncSelect)) {
        return SOCKET_ERROR;
    }
    if (!windows_.IsWindow(hWnd)) {
        return fail(10022);
    }
    e->hWnd = hWnd;
    e->msg = msg;
    e->events = events;
    e->readPending = false;
    e->closePosted = false;
    // A fresh socket can be written at once: say so once, as the original does.
    if ((events & FD_WRITE) != 0 && !e->stream) {
        notify(s, *e, FD_WRITE, 0);
    }
    refreshWatch(s, *e);
    return 0;
}

void WinSock::refreshWatch(SOCKET s, Entry& e) {
    // No early return for events == 0: cancelling must also pause the watch,
    // or unread data would wake the loop on every pass.
    bool read = false;
    if (e.listening) {
        read = (e.events & FD_ACCEPT) != 0 && !e.readPending;
    } else if (!e.connecting && (!e.stream || e.connectDone)) {
        read = (e.events & (FD_READ | FD_CLOSE)) != 0 && !e.readPending && !e.closePosted;
    }
    const bool write = (e.connecting && (e.events & FD_CONNECT) != 0) ||
                       (e.writeWanted && (e.events & FD_WRITE) != 0);
    if (e.watch == 0) {
        if (!read && !write) {
            return;
        }
        e.watch = loop_.watchSocket(e.fd, read, write, [this, s](Readiness r) { onReady(s, r); });
    } else {
        loop_.updateWatch(e.watch, read, write);
    }
}

void WinSock::notify(SOCKET s, const Entry& e, long code, int error) {
    const HWND hWnd = e.hWnd;
    const UINT msg = e.msg;
    // A notification still queued when its socket is closed is dropped on
    // delivery: nobody may be told about a socket that no longer exists.
    std::weak_ptr<bool> alive = alive_;
    loop_.post([this, alive, s, hWnd, msg, code, error] {
        if (alive.expired() || sockets_.count(s) == 0) {
            return;
        }
        windows_.SendMessage(hWnd, msg, s, makeSelectReply(code, error));
    });
}

void WinSock::onReady(SOCKET s, Readiness r) {
    Entry* e = find(s);
    if (e == nullptr) {
        return;
    }
    if (e->connecting) {
        if (r.writable || r.error) {
            int soError = 0;
            socklen_t len = sizeof soError;
            ::getsockopt(e->fd, SOL_SOCKET, SO_ERROR, &soError, &len);
            e->connecting = false;
            e->connectDone = true;
            notify(s, *e, FD_CONNECT, wsaErrorFromErrno(soError));
            if (soError == 0 && (e->events & FD_WRITE) != 0) {
                notify(s, *e, FD_WRITE, 0);
            }
        }
        refreshWatch(s, *e);
        return;
    }
    if (e->writeWanted && r.writable) {
        e->writeWanted = false;
        notify(s, *e, FD_WRITE, 0);
    }
    if (r.readable || r.error) {
        if (e->listening) {
            if ((e->events & FD_ACCEPT) != 0 && !e->readPending) {
                e->readPending = true;
                notify(s, *e, FD_ACCEPT, 0);
            }
        } else if (e->stream) {
            std::uint8_t probe;
            const ssize_t n = ::recv(e->fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
            if (n > 0) {
                if ((e->events & FD_READ) != 0) {
                    e->readPending = true;
                    notify(s, *e, FD_READ, 0);
                }
            } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
                e->closePosted = true;
                if ((e->events & FD_CLOSE) != 0) {
                    notify(s, *e, FD_CLOSE, n == 0 ? 0 : wsaErrorFromErrno(errno));
                }
            }
        } else if ((e->events & FD_READ) != 0 && !e->readPending) {
            e->readPending = true;
            notify(s, *e, FD_READ, 0);
        }
    }
    refreshWatch(s, *e);
}

std::uint32_t WinSock::inet_addr(std::string_view text) {
    if (text.empty() || text.size() > 64) {
        return INADDR_NONE_W;
    }
    const std::string copy(text);
    in_addr a{};
    if (::inet_aton(copy.c_str(), &a) == 0) {
        return INADDR_NONE_W;
    }
    return a.s_addr;
}

std::string WinSock::inet_ntoa(std::uint32_t addressNetworkOrder) {
    in_addr a{};
    a.s_addr = addressNetworkOrder;
    char buf[INET_ADDRSTRLEN] = {};
    if (::inet_ntop(AF_INET, &a, buf, sizeof buf) == nullptr) {
        return {};
    }
    return buf;
}

std::vector<std::uint32_t> WinSock::gethostbyname(const std::string& name) {
    auto out = HostLookup::systemResolver(name);
    if (out.empty()) {
        lastError_ = WSAHOST_NOT_FOUND;
    }
    return out;
}

} // namespace pm::platform
