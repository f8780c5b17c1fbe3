#pragma once
// The socket interface the socket object was designed around, over POSIX
// sockets: handles, Windows Sockets error numbers and message-notified
// readiness (the async-select model), delivered through message windows.
//
// Handles are never reused while the program runs, so a stale handle held by
// one client can never close or write to another client's socket.

#include <bit>
#include <cstdint>
#include <span>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/EventLoop.h"
#include "platform/WindowSystem.h"

namespace pm::platform {

using SOCKET = std::uint32_t;
constexpr SOCKET INVALID_SOCKET = 0xFFFFFFFFu;
constexpr int SOCKET_ERROR = -1;
constexpr std::uint32_t INADDR_NONE_W = 0xFFFFFFFFu;

// An IPv4 address and port, both in network byte order. The system's
// sockaddr_in stays out of this header: on Windows its header defines macros
// (FD_READ, INVALID_SOCKET, SOCKET_ERROR, ...) that clash with the names here.
struct SockAddrIn {
    std::uint16_t sin_family = 0;
    std::uint16_t sin_port = 0;
    struct {
        std::uint32_t s_addr = 0;
    } sin_addr;
};

constexpr std::uint16_t hostToNet16(std::uint16_t v) {
    return std::endian::native == std::endian::big ? v : static_cast<std::uint16_t>((v >> 8) | (v << 8));
}
constexpr std::uint16_t netToHost16(std::uint16_t v) { return hostToNet16(v); }
constexpr std::uint32_t hostToNet32(std::uint32_t v) {
    return std::endian::native == std::endian::big
               ? v
               : (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}

constexpr int AF_INET_W = 2;
constexpr int SOCK_STREAM_W = 1;
constexpr int SOCK_DGRAM_W = 2;

constexpr long FD_READ = 1;
constexpr long FD_WRITE = 2;
constexpr long FD_ACCEPT = 8;
constexpr long FD_CONNECT = 16;
constexpr long FD_CLOSE = 32;

constexpr int WSAEINTR = 10004;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSASYSNOTREADY = 10091;
constexpr int WSAVERNOTSUPPORTED = 10092;
constexpr int WSANOTINITIALISED = 10093;
constexpr int WSAHOST_NOT_FOUND = 11001;

// The Windows Sockets number for an errno value (0 stays 0).
int wsaErrorFromErrno(int err);

inline LPARAM makeSelectReply(long event, int error) {
    return static_cast<LPARAM>((static_cast<std::uint32_t>(error & 0xFFFF) << 16) |
                               (static_cast<std::uint32_t>(event) & 0xFFFF));
}

class WinSock {
public:
    WinSock(EventLoop& loop, WindowSystem& windows);
    ~WinSock();
    WinSock(const WinSock&) = delete;
    WinSock& operator=(const WinSock&) = delete;

    int WSAStartup(std::uint16_t version);
    int WSACleanup();
    int WSAGetLastError() const { return lastError_; }
    void WSASetLastError(int error) { lastError_ = error; }

    SOCKET socket(int af, int type, int protocol);
    int bind(SOCKET s, const SockAddrIn& addr);
    int listen(SOCKET s, int backlog);
    SOCKET accept(SOCKET s, SockAddrIn* peer);
    int connect(SOCKET s, const SockAddrIn& addr);
    // from, when given, receives the sender's address (recvfrom).
    int recv(SOCKET s, std::uint8_t* buf, int len, int flags, SockAddrIn* from = nullptr);
    int sendto(SOCKET s, const std::uint8_t* buf, int len, int flags, const SockAddrIn& to);
    // Several datagrams to one address at once: how many went, from the
    // first, or SOCKET_ERROR when the first did not (its error as sendto's).
    int sendtoMany(SOCKET s, std::span<const std::span<const std::uint8_t>> datagrams, const SockAddrIn& to);
    int closesocket(SOCKET s);

    // One posted message per readiness notification, with the socket as
    // wParam and (error << 16 | code) as lParam. FD_READ is posted again only
    // after recv() was called, FD_WRITE once after registration and again
    // after a send that would block, as the original interface does.
    int WSAAsyncSelect(SOCKET s, HWND hWnd, UINT msg, long events);

    static std::uint32_t inet_addr(std::string_view text); // network order
    static std::string inet_ntoa(std::uint32_t addressNetworkOrder);
    // IPv4 addresses (network order) of a host name; empty when not found,
    // with WSAGetLastError set.
    std::vector<std::uint32_t> gethostbyname(const std::string& name);

    // For tests: the next call of op fails with the given error number.
    enum class Op { Startup, Socket, AsyncSelect, Bind, Recv, Send };
    void failNext(Op op, int wsaError);

    bool isOpen(SOCKET s) const { return sockets_.count(s) != 0; }
    std::size_t openCount() const { return sockets_.size(); }
    int nativeFd(SOCKET s) const;
    std::optional<SockAddrIn> localAddress(SOCKET s) const;
    int startupCount() const { return startups_; }

private:
    struct Entry {
        int fd = -1; // the system's socket, as the loop watches it
        bool stream = false;
        bool listening = false;
        bool connecting = false;
        // A stream socket has nothing to read or close before its connection
        // attempt ends, yet poll() calls a fresh one hung up; watching it then
        // would report a close that never happened and stop all later reads.
        bool connectDone = false;
        HWND hWnd = 0;
        UINT msg = 0;
        long events = 0;
        bool readPending = false;
        bool closePosted = false;
        bool writeWanted = false;
        EventLoop::WatchId watch = 0;
    };

    bool fails(Op op);
    Entry* find(SOCKET s);
    int fail(int wsaError);
    void refreshWatch(SOCKET s, Entry& e);
    void onReady(SOCKET s, Readiness r);
    void notify(SOCKET s, const Entry& e, long code, int error);

    EventLoop& loop_;
    WindowSystem& windows_;
    std::unordered_map<SOCKET, Entry> sockets_;
    SOCKET nextHandle_ = 1000;
    int startups_ = 0;
    int lastError_ = 0;
    std::unordered_map<int, int> injected_;
    // Notifications queued on the loop may outlive this object.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

} // namespace pm::platform
