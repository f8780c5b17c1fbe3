// POSIX systems only: their errno values become the Windows Sockets numbers
// the error texts are keyed by. Windows gives those numbers itself.

#include <gtest/gtest.h>

#include <cerrno>

#include "platform/WinSock.h"

namespace pm::platform {
namespace {

TEST(SocketErrors, errno_maps_to_the_windows_sockets_numbers) {
    struct Row {
        int err;
        int wsa;
    };
    const Row rows[] = {
        {0, 0},
        {EINTR, WSAEINTR},
        {EAGAIN, WSAEWOULDBLOCK},
        {EWOULDBLOCK, WSAEWOULDBLOCK},
        {EINPROGRESS, WSAEWOULDBLOCK},
        {EBADF, WSAENOTSOCK},
        {ENOTSOCK, WSAENOTSOCK},
        {EMSGSIZE, WSAEMSGSIZE},
        {EADDRINUSE, WSAEADDRINUSE},
        {EADDRNOTAVAIL, 10049},
        {ENETUNREACH, 10051},
        {ECONNABORTED, 10053},
        {ECONNRESET, WSAECONNRESET},
        {ENOTCONN, 10057},
        {ETIMEDOUT, 10060},
        {ECONNREFUSED, WSAECONNREFUSED},
        {EHOSTUNREACH, 10065},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(wsaErrorFromErrno(row.err), row.wsa) << "errno " << row.err;
    }
}

} // namespace
} // namespace pm::platform
