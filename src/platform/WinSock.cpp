#include "platform/WinSock.h"

#include "platform/SysSocket.h"

namespace pm::platform {

WinSock::WinSock(EventLoop& loop, WindowSystem& windows) : loop_(loop), windows_(windows) {}

WinSock::~WinSock() {
    for (auto& [s, e] : sockets_) {
        if (e.watch != 0) {
            loop_.unwatch(e.watch);
        }
        sys::close(e.fd);
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

std::optional<SockAddrIn> WinSock::localAddress(SOCKET s) const {
    auto it = sockets_.find(s);
    if (it == sockets_.end()) {
        return std::nullopt;
    }
    SockAddrIn addr{};
    if (sys::localAddress(it->second.fd, addr.sin_addr.s_addr, addr.sin_port) != 0) {
        return std::nullopt;
    }
    addr.sin_family = AF_INET_W;
    return addr;
}

int WinSock::WSAStartup(std::uint16_t version) {
    if (fails(Op::Startup)) {
        return lastError_;
    }
    if ((version & 0xFF) < 2) {
        return WSAVERNOTSUPPORTED;
    }
    if (const int error = sys::startup(); error != 0) {
        return error;
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
    int error = 0;
    const sys::Fd fd = sys::open(stream, protocol, error);
    if (fd == sys::kNoFd) {
        fail(error);
        return INVALID_SOCKET;
    }
    const SOCKET s = nextHandle_++;
    Entry e;
    e.fd = fd;
    e.stream = stream;
    sockets_.emplace(s, e);
    return s;
}

int WinSock::bind(SOCKET s, const SockAddrIn& addr) {
    Entry* e = find(s);
    if (e == nullptr) {
        return fail(WSAENOTSOCK);
    }
    if (fails(Op::Bind)) {
        return SOCKET_ERROR;
    }
    if (const int error = sys::bind(e->fd, addr.sin_addr.s_addr, addr.sin_port); error != 0) {
        return fail(error);
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
    if (const int error = sys::listen(e->fd, backlog); error != 0) {
        return fail(error);
    }
    e->listening = true;
    refreshWatch(s, *e);
    return 0;
}

SOCKET WinSock::accept(SOCKET s, SockAddrIn* peer) {
    Entry* e = find(s);
    if (e == nullptr) {
        fail(WSAENOTSOCK);
        return INVALID_SOCKET;
    }
    e->readPending = false; // accept() re-enables FD_ACCEPT
    refreshWatch(s, *e);
    SockAddrIn addr{};
    addr.sin_family = AF_INET_W;
    int error = 0;
    const sys::Fd fd = sys::accept(e->fd, addr.sin_addr.s_addr, addr.sin_port, error);
    if (fd == sys::kNoFd) {
        fail(error);
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

int WinSock::connect(SOCKET s, const SockAddrIn& addr) {
    Entry* e = find(s);
    if (e == nullptr) {
        return fail(WSAENOTSOCK);
    }
    const int err = sys::connect(e->fd, addr.sin_addr.s_addr, addr.sin_port);
    if (err == 0) {
        e->connectDone = true;
        refreshWatch(s, *e);
        if (e->stream && (e->events & FD_CONNECT) != 0) {
            notify(s, *e, FD_CONNECT, 0);
        }
        return 0;
    }
    if (e->stream && err == WSAEWOULDBLOCK) {
        e->connecting = true;
        refreshWatch(s, *e);
    }
    return fail(err);
}

int WinSock::recv(SOCKET s, std::uint8_t* buf, int len, int /*flags*/, SockAddrIn* from) {
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
    std::uint32_t ip = 0;
    std::uint16_t port = 0;
    int error = 0;
    const long n = sys::receive(e->fd, buf, static_cast<std::size_t>(len), e->stream, ip, port, error);
    if (from != nullptr && !e->stream) {
        from->sin_family = AF_INET_W;
        from->sin_addr.s_addr = ip;
        from->sin_port = port;
    }
    if (n < 0) {
        return fail(error);
    }
    return static_cast<int>(n);
}

int WinSock::sendto(SOCKET s, const std::uint8_t* buf, int len, int /*flags*/, const SockAddrIn& to) {
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
    int err = 0;
    const long n = sys::send(e->fd, buf, static_cast<std::size_t>(len), e->stream, to.sin_addr.s_addr, to.sin_port, err);
    if (n < 0) {
        if (err == WSAEWOULDBLOCK) {
            e->writeWanted = true;
            refreshWatch(s, *e);
        }
        return fail(err);
    }
    return static_cast<int>(n);
}

int WinSock::sendtoMany(SOCKET s, std::span<const std::span<const std::uint8_t>> datagrams, const SockAddrIn& to) {
    Entry* e = find(s);
    if (e == nullptr) {
        return fail(WSAENOTSOCK);
    }
    // A failure a test has arranged for the next send is that of the first
    // datagram, as if it were sent alone.
    if (e->stream || datagrams.empty() || injected_.count(static_cast<int>(Op::Send)) != 0) {
        if (datagrams.empty()) {
            return 0;
        }
        const auto& first = datagrams.front();
        return sendto(s, first.data(), static_cast<int>(first.size()), 0, to) == SOCKET_ERROR ? SOCKET_ERROR : 1;
    }
    int err = 0;
    const long n = sys::sendDatagrams(e->fd, datagrams, to.sin_addr.s_addr, to.sin_port, err);
    if (n < 0) {
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
    sys::close(it->second.fd);
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
            const int soError = sys::pendingError(e->fd);
            e->connecting = false;
            e->connectDone = true;
            notify(s, *e, FD_CONNECT, soError);
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
            int error = 0;
            const int n = sys::peek(e->fd, error);
            if (n > 0) {
                if ((e->events & FD_READ) != 0) {
                    e->readPending = true;
                    notify(s, *e, FD_READ, 0);
                }
            } else if (n == 0 || error != WSAEWOULDBLOCK) {
                e->closePosted = true;
                if ((e->events & FD_CLOSE) != 0) {
                    notify(s, *e, FD_CLOSE, n == 0 ? 0 : error);
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
    std::uint32_t address = 0;
    if (!sys::parseIPv4(std::string(text), address)) {
        return INADDR_NONE_W;
    }
    return address;
}

std::string WinSock::inet_ntoa(std::uint32_t addressNetworkOrder) { return sys::formatIPv4(addressNetworkOrder); }

std::vector<std::uint32_t> WinSock::gethostbyname(const std::string& name) {
    std::vector<std::uint32_t> out = sys::lookup(name);
    if (out.empty()) {
        lastError_ = WSAHOST_NOT_FOUND;
    }
    return out;
}

} // namespace pm::platform
