#include "net/okSocket.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>

#include "net/SocketHelpers.h"

namespace pm::net {

using namespace platform;

namespace {
constexpr std::uint16_t kWinsockVersion = 0x0202;
constexpr int kProtocolTcp = 6;

bool isTransientDatagramError(int error) {
    return error == WSAECONNREFUSED || error == WSAEHOSTUNREACH || error == WSAENETUNREACH;
}
} // namespace

okSocket::okSocket(Platform& platform, okSocketEvents* events)
    : platform_(platform), ws_(platform.sockets), events_(events) {}

okSocket::~okSocket() {
    events_ = nullptr; // nobody is listening any more
    *alive_ = false;
    Terminate();
    // The hook would otherwise keep calling into a destroyed object.
    if (hook_ != nullptr && hookedWindow_ != 0 && hook_->IsSubclassed(hookedWindow_)) {
        hook_->UnSubclassWindow(hookedWindow_);
    }
}

template <typename F> bool okSocket::raise(F&& f) {
    if (events_ == nullptr) {
        return true;
    }
    std::weak_ptr<bool> alive = alive_;
    f(*events_);
    return !alive.expired() && *alive.lock();
}

std::string okSocket::lastErrorText() const { return WinsockErrorText(ws_.WSAGetLastError()); }

bool okSocket::Initilize(HWND hWnd, cWndHook& cSubclass) {
    if (initialized_) {
        return true;
    }
    if (ws_.WSAStartup(kWinsockVersion) != 0) {
        return false;
    }
    static std::mt19937 rng(static_cast<std::uint32_t>(
        std::chrono::steady_clock::now().time_since_epoch().count()));
    const float r = std::uniform_real_distribution<float>(0.0f, 1.0f)(rng);
    char number[32];
    std::snprintf(number, sizeof number, "%.7g", static_cast<double>(r * 10000.0f));
    messageId_ = platform_.windows.RegisterWindowMessage("okSocket" + std::string(number) +
                                                         std::to_string(hWnd));
    hWnd_ = hWnd;
    initialized_ = true;
    connections_.assign(1, ConnEntry{});

    // Once hooked, the window stays hooked for this object; a second
    // Initilize after Terminate only adds the new message.
    if (hook_ != &cSubclass || hookedWindow_ != hWnd || !cSubclass.IsSubclassed(hWnd)) {
        hook_ = &cSubclass;
        hookedWindow_ = cSubclass.SubclassWindow(hWnd, this) ? hWnd : 0;
    }
    cSubclass.SubclassMessage(hWnd, static_cast<long>(messageId_), cWndHook::WHEN_BEFORE);
    return true;
}

void okSocket::Terminate() {
    if (!initialized_) {
        return;
    }
    messageId_ = 0;
    hWnd_ = 0;
    initialized_ = false;
    std::weak_ptr<bool> alive = alive_;
    while (connections_.size() > 1) {
        const SOCKET s = connections_[1].Socket;
        CloseSocket(static_cast<std::int32_t>(s));
        if (alive.expired()) {
            return;
        }
        // CloseSocket always removes the entry; guard against an entry a
        // handler re-added with the same handle.
        if (connections_.size() > 1 && connections_[1].Socket == s) {
            ConnRemove(1);
        }
    }
    connections_.assign(1, ConnEntry{});
    ws_.WSACleanup();
}

SOCKET okSocket::createSocket(std::int32_t Protocol) {
    const int type = Protocol == kProtocolTcp ? SOCK_STREAM_W : SOCK_DGRAM_W;
    const SOCKET s = ws_.socket(AF_INET_W, type, Protocol);
    if (s != INVALID_SOCKET) {
        owned_.insert(s);
    }
    return s;
}

bool okSocket::SocketSelect(SOCKET socket, long mask) {
    if (socket == INVALID_SOCKET) {
        raise([&](okSocketEvents& e) { e.Error(-1, "create socket error: " + lastErrorText()); });
        return false;
    }
    if (ws_.WSAAsyncSelect(socket, hWnd_, messageId_, mask) == SOCKET_ERROR) {
        const std::string text = lastErrorText();
        if (!raise([&](okSocketEvents& e) {
                e.Error(static_cast<std::int32_t>(socket), "wsaasyncselect error: " + text);
            })) {
            return false;
        }
        CloseSocket(static_cast<std::int32_t>(socket));
        return false;
    }
    return true;
}

std::int32_t okSocket::Connect(std::int32_t Protocol, std::int32_t Port, const std::string& Host) {
    const SOCKET s = createSocket(Protocol);
    if (!SocketSelect(s, kConnectMask)) {
        return 0;
    }
    const std::uint32_t address = WinSock::inet_addr(ResolveHost(ws_, Host));
    if (address == INADDR_NONE_W) {
        std::weak_ptr<bool> alive = alive_;
        CloseSocket(static_cast<std::int32_t>(s));
        if (!alive.expired()) {
            raise([&](okSocketEvents& e) {
                e.Error(static_cast<std::int32_t>(s), "connect error: server not found");
            });
        }
        return 0;
    }
    SockAddrIn addr{};
    addr.sin_family = AF_INET_W;
    addr.sin_port = hostToNet16(static_cast<std::uint16_t>(Port));
    addr.sin_addr.s_addr = address;
    ConnAdd(s, addr, Protocol != kProtocolTcp);
    // For TCP this normally "would block" and completes as FD_CONNECT; for
    // UDP it only fixes the default peer.
    ws_.connect(s, addr);
    return static_cast<std::int32_t>(s);
}

std::int32_t okSocket::Listen(std::int32_t Protocol, std::int32_t Port, const std::string& IP) {
    const SOCKET s = createSocket(Protocol);
    if (!SocketSelect(s, kListenMask)) {
        return 0;
    }
    SockAddrIn addr{};
    addr.sin_family = AF_INET_W;
    addr.sin_port = hostToNet16(static_cast<std::uint16_t>(Port));
    addr.sin_addr.s_addr = WinSock::inet_addr(IP); // no name lookup: "0" is every address
    ConnAdd(s, addr, Protocol != kProtocolTcp);
    if (ws_.bind(s, addr) == SOCKET_ERROR) {
        CloseSocket(static_cast<std::int32_t>(s));
        return 0;
    }
    // Fails harmlessly on a UDP socket, which stays bound and receives.
    ws_.listen(s, kBacklog);
    return static_cast<std::int32_t>(s);
}

void okSocket::WndProcHook(bool, bool&, LRESULT&, HWND, UINT uMsg, WPARAM wParam, LPARAM lParam,
                           std::intptr_t&) {
    if (!initialized_ || uMsg != messageId_) {
        return;
    }
    const auto socket = static_cast<SOCKET>(wParam);
    // The error half of lParam is deliberately not examined.
    switch (LoWord(static_cast<std::int32_t>(lParam))) {
    case FD_READ:
        SocketReceive(socket);
        break;
    case FD_WRITE:
        raise([&](okSocketEvents& e) { e.ReadyToSend(static_cast<std::int32_t>(socket)); });
        break;
    case FD_ACCEPT:
        SocketAccept(socket);
        break;
    case FD_CONNECT:
        // Raised for a failed attempt too; the owner learns more by sending.
        raise([&](okSocketEvents& e) { e.Connected(static_cast<std::int32_t>(socket)); });
        break;
    case FD_CLOSE:
        CloseSocket(static_cast<std::int32_t>(socket));
        break;
    default:
        break; // codes we never asked for
    }
}

void okSocket::SocketAccept(SOCKET listening) {
    SockAddrIn peer{};
    const SOCKET s = ws_.accept(listening, &peer);
    if (s != INVALID_SOCKET) {
        owned_.insert(s);
    }
    if (!SocketSelect(s, kAcceptedMask)) {
        return;
    }
    ConnAdd(s, peer);
    raise([&](okSocketEvents& e) {
        e.Accepted(static_cast<std::int32_t>(s), AddrToString(peer.sin_addr.s_addr),
                   static_cast<std::int32_t>(netToHost16(peer.sin_port)));
    });
}

void okSocket::SocketReceive(SOCKET socket) {
    const auto handle = static_cast<std::int32_t>(socket);
    std::uint8_t buffer[kReceiveBuffer];
    try {
        for (;;) {
            lastSource_ = SockAddrIn{};
            const int n = ws_.recv(socket, buffer, kReceiveBuffer, 0, &lastSource_);
            if (n == SOCKET_ERROR) {
                const int error = ws_.WSAGetLastError();
                if (error != 0 && error != WSAEWOULDBLOCK) {
                    raise([&](okSocketEvents& e) {
                        e.Error(handle, "receive error: " + WinsockErrorText(error));
                    });
                }
                return;
            }
            // Looked up afresh each time: a handler may have closed sockets
            // and shifted the table.
            const int index = ConnFind(socket);
            if (index == 0) {
                if (n > 0) {
                    continue; // not ours: discard and keep draining
                }
                return;
            }
            if (n > 0) {
                if (!raise([&](okSocketEvents& e) {
                        e.Received(handle, std::span<const std::uint8_t>(buffer, static_cast<std::size_t>(n)), n);
                    })) {
                    return;
                }
                continue;
            }
            if (!connections_[index].PeerClosed) {
                connections_[index].PeerClosed = true;
                const std::uint8_t zero[1] = {0};
                raise([&](okSocketEvents& e) { e.Received(handle, std::span<const std::uint8_t>(zero, 1), 0); });
            }
            return;
        }
    } catch (...) {
        // A handler failed in a way nobody caught: give the socket up rather
        // than the program.
        CloseSocket(handle);
    }
}

void okSocket::Send(std::int32_t lngSocket, std::span<const std::uint8_t> Data, std::int32_t lngStart) {
    const auto socket = static_cast<SOCKET>(lngSocket);
    const int index = ConnFind(socket);
    if (index == 0) {
        CloseSocket(lngSocket);
        return;
    }
    if (lngStart < 0) {
        return; // there is no data before the array's start
    }
    const SockAddrIn to = connections_[index].Addr;
    const auto size = static_cast<std::int64_t>(Data.size());
    for (;;) {
        const std::int64_t remaining = size - lngStart;
        const int chunk = static_cast<int>(std::min<std::int64_t>(remaining, kSendChunk));
        if (chunk <= 0) {
            return;
        }
        const int n = ws_.sendto(socket, Data.data() + lngStart, chunk, 0, to);
        if (n == SOCKET_ERROR) {
            const int error = ws_.WSAGetLastError();
            if (error == WSAEWOULDBLOCK) {
                raise([&](okSocketEvents& e) { e.DataSent(lngSocket, -1); });
                return;
            }
            if (connections_[index].Datagram && isTransientDatagramError(error)) {
                // An ICMP answer to an earlier datagram (the host not up yet,
                // a route gone for a moment): that datagram is lost, the
                // socket is fine. Closing it would silence every later try.
                // The peer's address names the server: this layer knows no server names.
                platform_.trace.WriteStatus("datagram to " + WinSock::inet_ntoa(to.sin_addr.s_addr) + ":" +
                                            std::to_string(netToHost16(to.sin_port)) +
                                            " lost, socket kept: " + WinsockErrorText(error));
                return;
            }
            if (!raise([&](okSocketEvents& e) { e.Error(lngSocket, "send error: " + WinsockErrorText(error)); })) {
                return;
            }
            CloseSocket(lngSocket);
            return;
        }
        lngStart += n;
        if (!raise([&](okSocketEvents& e) { e.DataSent(lngSocket, lngStart); })) {
            return;
        }
        if (n == 0) {
            return;
        }
    }
}

void okSocket::SendMany(std::int32_t lngSocket, const std::vector<std::vector<std::uint8_t>>& datagrams) {
    const auto socket = static_cast<SOCKET>(lngSocket);
    std::weak_ptr<bool> alive = alive_;
    std::vector<std::span<const std::uint8_t>> pieces(datagrams.begin(), datagrams.end());
    std::size_t done = 0;
    while (done < pieces.size()) {
        const int index = ConnFind(socket);
        const bool oneAtATime = index == 0 || !connections_[index].Datagram ||
                                std::any_of(pieces.begin() + static_cast<std::ptrdiff_t>(done), pieces.end(),
                                            [](const auto& p) { return p.size() > static_cast<std::size_t>(kSendChunk); });
        if (oneAtATime) {
            Send(lngSocket, pieces[done], 0);
            if (alive.expired()) {
                return;
            }
            ++done;
            continue;
        }
        const int sent = ws_.sendtoMany(socket, std::span(pieces).subspan(done), connections_[index].Addr);
        if (sent == SOCKET_ERROR || sent == 0) {
            // This one alone, so that its trouble is met as Send meets it.
            Send(lngSocket, pieces[done], 0);
            if (alive.expired()) {
                return;
            }
            ++done;
            continue;
        }
        for (int i = 0; i < sent; ++i, ++done) {
            const auto total = static_cast<std::int32_t>(pieces[done].size());
            if (!raise([&](okSocketEvents& e) { e.DataSent(lngSocket, total); })) {
                return;
            }
        }
    }
}

void okSocket::CloseSocket(std::int32_t lngSocket) {
    const auto socket = static_cast<SOCKET>(lngSocket);
    // Only a socket this object made is closed: a stale or foreign handle
    // must never close another client's socket.
    if (owned_.erase(socket) != 0) {
        ws_.closesocket(socket);
    }
    ConnRemove(ConnFind(socket));
    raise([&](okSocketEvents& e) { e.Closed(lngSocket); });
}

int okSocket::ConnAdd(SOCKET socket, const SockAddrIn& address, bool datagram) {
    if (connections_.size() >= 32767) {
        return 0;
    }
    connections_.push_back(ConnEntry{socket, address, false, datagram});
    return static_cast<int>(connections_.size()) - 1;
}

int okSocket::ConnFind(SOCKET socket) const {
    for (std::size_t i = 1; i < connections_.size(); ++i) {
        if (connections_[i].Socket == socket) {
            return static_cast<int>(i);
        }
    }
    return 0;
}

void okSocket::ConnRemove(int index) {
    if (index <= 0 || index >= static_cast<int>(connections_.size())) {
        return;
    }
    connections_.erase(connections_.begin() + index);
}

} // namespace pm::net
