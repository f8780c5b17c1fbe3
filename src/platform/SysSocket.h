#pragma once
// The system's socket calls, one file per system behind these declarations
// (SysSocketPosix.cpp, SysSocketWindows.cpp). The socket stand-in, the loop
// and the simulated host's own endpoint are built on it; it names no system
// type, so no system header leaks to its users.
// Every error is a Windows Sockets number: native on Windows, mapped from
// errno elsewhere.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace pm::platform::sys {

// A socket as the event loop watches it. Windows socket handles are kernel
// handles, whose significant bits fit in 32 (the system guarantees that for
// 32-bit interoperability), so one int serves both systems.
using Fd = int;
constexpr Fd kNoFd = -1;

// Once per process; later calls are free. 0 or an error number.
int startup();

// A non-blocking IPv4 socket, not inherited by child processes.
Fd open(bool stream, int protocol, int& error);
void close(Fd fd);

// Addresses and ports in network byte order. Each returns 0 or an error.
int bind(Fd fd, std::uint32_t ip, std::uint16_t port);
int listen(Fd fd, int backlog);
// Before bind: a listener may take its port again while connections it
// closed still linger (TIME_WAIT), as a server restarted on its port must.
// 0 or an error.
int reuseListeningPort(Fd fd);
int connect(Fd fd, std::uint32_t ip, std::uint16_t port); // in progress: 10035
Fd accept(Fd fd, std::uint32_t& ip, std::uint16_t& port, int& error);
int localAddress(Fd fd, std::uint32_t& ip, std::uint16_t& port);
// For a socket someone else opened (a library's accept): every call on it
// returns at once, as on the sockets open() makes. 0 or an error.
int makeNonBlocking(Fd fd);
// The outcome of a connection attempt that was in progress.
int pendingError(Fd fd);

// Bytes read, or -1 with error set. A datagram longer than len is an error
// (10040), never silently cut. ip and port receive the sender, if any.
long receive(Fd fd, std::uint8_t* buf, std::size_t len, bool stream, std::uint32_t& ip, std::uint16_t& port,
             int& error);
// Datagrams sent to one address in as few calls as the system allows
// (sendmmsg on Linux): how many went, from the first, or -1 with error set
// when the first one did not.
long sendDatagrams(Fd fd, std::span<const std::span<const std::uint8_t>> datagrams, std::uint32_t ip,
                   std::uint16_t port, int& error);
// Bytes sent, or -1 with error set. A stream socket ignores the address.
long send(Fd fd, const std::uint8_t* buf, std::size_t len, bool stream, std::uint32_t ip, std::uint16_t port,
          int& error);
// 1 when data waits on a stream socket, 0 when the peer closed, -1 with
// error set otherwise (10035: nothing yet).
int peek(Fd fd, int& error);

// IPv4 text to a network-order address; false for anything else.
bool parseIPv4(const std::string& text, std::uint32_t& address);
std::string formatIPv4(std::uint32_t address);
// The IPv4 addresses of a host name, network order; empty when unknown.
std::vector<std::uint32_t> lookup(const std::string& name);

struct PollItem {
    Fd fd = kNoFd;
    bool wantRead = false;
    bool wantWrite = false;
    bool readable = false;
    bool writable = false;
    bool error = false;
};
// Waits up to timeoutMs (-1: no limit) for readiness; the number of items
// ready, 0 on timeout, -1 on an error other than an interruption.
int poll(std::vector<PollItem>& items, int timeoutMs);

} // namespace pm::platform::sys
