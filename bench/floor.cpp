// pm-bench-floor: the least work any program could do on loopback for what
// the benchmarks ask of Paddock Marshal. It waits in poll() on one socket per
// server and makes the same system calls the program must, and no more:
// - an 8-byte IS_SMALL (a vote) is answered with 64 packets of 72 bytes and
//   one of 36, shaped like the private messages and the start order, so the
//   benchmark's peer counts them the same way, and 34 lines to stdout in one
//   write (the program's status log of a vote). Over UDP the 65 datagrams
//   leave in one sendmmsg, as the program's do; over TCP they are one write;
// - an IS_NPL is answered with a 4-byte IS_TINY (the program asks for the
//   state), an IS_TINY keep-alive with one, and an IS_RES writes a line to
//   stdout (the program's status log).
// No tables, no text: what remains is the kernel's cost of waking, receiving,
// sending and writing, the yardstick the program's numbers are divided by.
//
//   pm-bench-floor PORT [PORT...]         binds each UDP port on 127.0.0.1
//   pm-bench-floor --tcp PORT [PORT...]   connects to each on 127.0.0.1, as the
//                                         program connects to a host; InSim 4
//                                         framing (the Size byte counts bytes)
// Ends on SIGTERM/SIGINT.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr std::uint8_t kTypeTiny = 3;
constexpr std::uint8_t kTypeSmall = 4;
constexpr std::uint8_t kTypeNpl = 21;
constexpr std::uint8_t kTypeRes = 35;
constexpr std::uint8_t kTinyNone = 0;
constexpr std::uint8_t kTinySst = 7;
constexpr std::uint8_t kTypeMtc = 14;
constexpr std::uint8_t kTypeReo = 36;
constexpr int kMessages = 64;
constexpr int kDrivers = 32;

volatile sig_atomic_t stop = 0;

// All of it, waiting for room if need be: a stream cut in the middle of a
// packet would be unreadable to the peer.
void sendAll(int fd, const std::uint8_t* bytes, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::send(fd, bytes + done, size - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return;
        } else if (n < 0 && errno == EAGAIN) {
            pollfd w{fd, POLLOUT, 0};
            ::poll(&w, 1, -1);
        }
    }
}

extern "C" void onStop(int) {
    stop = 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: pm-bench-floor [--tcp] PORT [PORT...]\n");
        return 2;
    }
    struct sigaction sa {};
    sa.sa_handler = onStop;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    int first = 1;
    const bool tcp = std::string(argv[1]) == "--tcp";
    if (tcp) {
        first = 2;
    }
    std::vector<pollfd> fds;
    for (int i = first; i < argc; ++i) {
        const int fd = ::socket(AF_INET, (tcp ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(std::atoi(argv[i])));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd < 0) {
            std::perror("pm-bench-floor: socket");
            return 1;
        }
        if (tcp) {
            if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
                std::perror("pm-bench-floor: connect");
                return 1;
            }
            const int on = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        } else if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            std::perror("pm-bench-floor: bind");
            return 1;
        }
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        fds.push_back(pollfd{fd, POLLIN, 0});
    }
    if (fds.empty()) {
        std::fprintf(stderr, "usage: pm-bench-floor [--tcp] PORT [PORT...]\n");
        return 2;
    }

    std::array<std::uint8_t, 72> mtc{};
    mtc[0] = 72;
    mtc[1] = kTypeMtc;
    std::array<std::uint8_t, 36> reo{};
    reo[0] = 36;
    reo[1] = kTypeReo;
    reo[3] = kDrivers;
    for (int k = 0; k < kDrivers; ++k) {
        reo[4 + static_cast<std::size_t>(k)] = static_cast<std::uint8_t>(k + 1);
    }

    std::string voteLines = "08/12/26 03:00:00: Bench 1: the restart vote passed\n"
                            "08/12/26 03:00:00: BH RACE ORDER\n";
    for (int k = 1; k <= kDrivers; ++k) {
        voteLines += "08/12/26 03:00:00: " + std::to_string(k) + "=" + std::to_string(k) + "\n";
    }

    // A vote's answer as one stream write, and as 65 datagrams for one sendmmsg.
    std::vector<std::uint8_t> voteBytes;
    for (int m = 0; m < kMessages; ++m) {
        voteBytes.insert(voteBytes.end(), mtc.begin(), mtc.end());
    }
    voteBytes.insert(voteBytes.end(), reo.begin(), reo.end());
    std::array<iovec, kMessages + 1> voteIov{};
    std::array<mmsghdr, kMessages + 1> voteMsgs{};
    for (std::size_t m = 0; m < voteIov.size(); ++m) {
        voteIov[m] = m < kMessages ? iovec{mtc.data(), mtc.size()} : iovec{reo.data(), reo.size()};
        voteMsgs[m].msg_hdr.msg_iov = &voteIov[m];
        voteMsgs[m].msg_hdr.msg_iovlen = 1;
    }

    // Each server's stream bytes not yet a whole packet (TCP only).
    std::vector<std::vector<std::uint8_t>> pending(fds.size());
    std::array<std::uint8_t, 4096> in{};
    while (stop == 0) {
        if (::poll(fds.data(), fds.size(), -1) <= 0) {
            continue;
        }
        for (std::size_t s = 0; s < fds.size(); ++s) {
            auto& p = fds[s];
            if ((p.revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
                continue;
            }
            for (;;) {
                sockaddr_in from{};
                socklen_t len = sizeof from;
                const ssize_t n =
                    ::recvfrom(p.fd, in.data(), in.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
                if (tcp && n == 0) {
                    return 1; // the peer went away: nothing left to answer
                }
                if (n < 0) {
                    break;
                }
                const auto answer = [&](const std::uint8_t* d, std::size_t size, auto&& reply) {
                    if (size < 4) {
                        return;
                    }
                    if (d[1] == kTypeNpl) {
                        static const std::uint8_t sst[4] = {4, kTypeTiny, 1, kTinySst};
                        reply(sst, sizeof sst);
                        return;
                    }
                    if (d[1] == kTypeTiny && d[3] == kTinyNone) {
                        static const std::uint8_t none[4] = {4, kTypeTiny, 1, kTinyNone};
                        reply(none, sizeof none);
                        return;
                    }
                    if (d[1] == kTypeRes) {
                        static const char line[] = "08/12/26 03:00:00: driver07 has finished the race\n";
                        [[maybe_unused]] const auto w = ::write(1, line, sizeof line - 1);
                        return;
                    }
                    if (size != 8 || d[1] != kTypeSmall) {
                        return;
                    }
                    if (tcp) {
                        sendAll(p.fd, voteBytes.data(), voteBytes.size());
                    } else {
                        for (auto& m : voteMsgs) {
                            m.msg_hdr.msg_name = &from;
                            m.msg_hdr.msg_namelen = len;
                        }
                        ::sendmmsg(p.fd, voteMsgs.data(), voteMsgs.size(), 0);
                    }
                    [[maybe_unused]] const auto w = ::write(1, voteLines.data(), voteLines.size());
                };
                if (!tcp) {
                    answer(in.data(), static_cast<std::size_t>(n),
                           [&](const std::uint8_t* b, std::size_t size) {
                               ::sendto(p.fd, b, size, 0, reinterpret_cast<sockaddr*>(&from), len);
                           });
                    continue;
                }
                auto& buf = pending[s];
                buf.insert(buf.end(), in.data(), in.data() + n);
                std::size_t at = 0;
                while (buf.size() - at >= 1) {
                    const std::size_t size = buf[at];
                    if (size < 4) {
                        std::fprintf(stderr,
                                     "pm-bench-floor: a Size byte of %zu: the stream lost its place\n", size);
                        return 1;
                    }
                    if (buf.size() - at < size) {
                        break;
                    }
                    answer(buf.data() + at, size,
                           [&](const std::uint8_t* b, std::size_t bytes) { sendAll(p.fd, b, bytes); });
                    at += size;
                }
                buf.erase(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(at));
            }
        }
    }
    return 0;
}
