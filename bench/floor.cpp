// pm-bench-floor: the least work any program could do on loopback for what
// the benchmarks ask of Paddock Marshal. It waits in poll() on one UDP socket
// per server and makes the same system calls the program must, and no more:
// - an 8-byte IS_SMALL (a vote) is answered with 64 datagrams of 72 bytes and
//   one of 36, shaped like the private messages and the start order, so the
//   benchmark's peer counts them the same way, and 34 lines to stdout in one
//   write (the program's status log of a vote);
// - an IS_NPL is answered with a 4-byte IS_TINY (the program asks for the
//   state), an IS_TINY keep-alive with one, and an IS_RES writes a line to
//   stdout (the program's status log).
// No tables, no text: what remains is the kernel's cost of waking, receiving,
// sending and writing, the yardstick the program's numbers are divided by.
//
//   pm-bench-floor PORT [PORT...]       (127.0.0.1; ends on SIGTERM/SIGINT)

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
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
extern "C" void onStop(int) {
    stop = 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: pm-bench-floor PORT [PORT...]\n");
        return 2;
    }
    struct sigaction sa {};
    sa.sa_handler = onStop;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    std::vector<pollfd> fds;
    for (int i = 1; i < argc; ++i) {
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(std::atoi(argv[i])));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            std::perror("pm-bench-floor: bind");
            return 1;
        }
        fds.push_back(pollfd{fd, POLLIN, 0});
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

    std::array<std::uint8_t, 512> in{};
    while (stop == 0) {
        if (::poll(fds.data(), fds.size(), -1) <= 0) {
            continue;
        }
        for (auto& p : fds) {
            if ((p.revents & POLLIN) == 0) {
                continue;
            }
            for (;;) {
                sockaddr_in from{};
                socklen_t len = sizeof from;
                const ssize_t n =
                    ::recvfrom(p.fd, in.data(), in.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
                if (n < 0) {
                    break;
                }
                if (n < 4) {
                    continue;
                }
                const auto* to = reinterpret_cast<sockaddr*>(&from);
                if (in[1] == kTypeNpl) {
                    const std::uint8_t sst[4] = {4, kTypeTiny, 1, kTinySst};
                    ::sendto(p.fd, sst, sizeof sst, 0, to, len);
                    continue;
                }
                if (in[1] == kTypeTiny && in[3] == kTinyNone) {
                    const std::uint8_t reply[4] = {4, kTypeTiny, 1, kTinyNone};
                    ::sendto(p.fd, reply, sizeof reply, 0, to, len);
                    continue;
                }
                if (in[1] == kTypeRes) {
                    static const char line[] = "08/12/26 03:00:00: driver07 has finished the race\n";
                    [[maybe_unused]] const auto w = ::write(1, line, sizeof line - 1);
                    continue;
                }
                if (n != 8 || in[1] != kTypeSmall) {
                    continue;
                }
                for (int m = 0; m < kMessages; ++m) {
                    ::sendto(p.fd, mtc.data(), mtc.size(), 0, to, len);
                }
                ::sendto(p.fd, reo.data(), reo.size(), 0, to, len);
                [[maybe_unused]] const auto w = ::write(1, voteLines.data(), voteLines.size());
            }
        }
    }
    return 0;
}
