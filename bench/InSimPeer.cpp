#include "InSimPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "Child.h"
#include "insim/Packets.h"

namespace pm::bench {

using namespace pm::insim;

namespace {

std::string twoDigits(int k) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02d", k);
    return buf;
}

std::string userName(int k) {
    return "driver" + twoDigits(k);
}
std::string nickName(int k) {
    return "Driver " + twoDigits(k);
}

} // namespace

Datagram driverConnection(int k) {
    IsNcn p;
    p.ReqI = 0;
    p.UCID = static_cast<std::uint8_t>(k);
    p.UName = userName(k);
    p.PName = nickName(k);
    p.Admin = k == 1 ? 1 : 0;
    p.Total = kDrivers + 1;
    return p.toBytes();
}

Datagram driverPlayer(int k) {
    IsNpl p;
    p.PLID = static_cast<std::uint8_t>(k);
    p.UCID = static_cast<std::uint8_t>(k);
    p.PName = nickName(k);
    p.Plate = twoDigits(k);
    p.CName = "XRT";
    p.SName = "race";
    p.Tyres = {1, 1, 1, 1};
    return p.toBytes();
}

Datagram driverResult(int k) {
    return driverResult(k, k);
}

Datagram driverResult(int k, int position) {
    IsRes p;
    p.PLID = static_cast<std::uint8_t>(k);
    p.UName = userName(k);
    p.PName = nickName(k);
    p.Plate = twoDigits(k);
    p.CName = "XRT";
    p.TTime = 300000 + static_cast<std::uint32_t>(position) * 1000;
    p.BTime = 58000;
    p.LapsDone = 5;
    p.ResultNum = static_cast<std::uint8_t>(position - 1);
    p.NumRes = kDrivers;
    return p.toBytes();
}

Datagram driverChat(int k) {
    IsMso p;
    p.UCID = static_cast<std::uint8_t>(k);
    p.PLID = static_cast<std::uint8_t>(k);
    p.UserType = 1;
    p.Msg = nickName(k) + " : good race everyone";
    p.TextStart = static_cast<std::uint8_t>(nickName(k).size() + 3);
    return p.toBytes();
}

std::vector<Datagram> receptionMix() {
    std::vector<Datagram> mix;
    for (int k = 1; k <= kDrivers; ++k) {
        mix.push_back(driverConnection(k));
        mix.push_back(driverPlayer(k));
        mix.push_back(driverChat(k));
        mix.push_back(driverResult(k));
        IsTiny reply;
        reply.ReqI = 1;
        reply.SubT = TINY_REPLY;
        mix.push_back(reply.toBytes());
    }
    return mix;
}

InSimPeer::InSimPeer(Transport transport, int sizeUnit) : transport_(transport), sizeUnit_(sizeUnit) {
    const bool tcp = transport == Transport::Tcp;
    fd_ = ::socket(AF_INET, (tcp ? SOCK_STREAM : SOCK_DGRAM) | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        throw std::runtime_error("peer: cannot bind");
    }
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    const int on = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    // A vote brings 65 packets at once, a flood of replies more; room for
    // all of them keeps a slow reader from losing any (or, over TCP, from
    // holding the sender back). Set before listen() so that a connection
    // takes it, window scale included.
    const int buffer = 4 << 20;
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    if (tcp && ::listen(fd_, 4) != 0) {
        throw std::runtime_error("peer: cannot listen");
    }
}

InSimPeer::~InSimPeer() {
    dropStream();
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

void InSimPeer::send(std::span<const std::uint8_t> bytes) {
    if (transport_ == Transport::Tcp) {
        // The connection blocks on send, so a packet is never cut short
        // and the stream never loses its place.
        std::size_t done = 0;
        while (conn_ >= 0 && done < bytes.size()) {
            const ssize_t n = ::send(conn_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) {
                if (n < 0 && errno == EINTR) {
                    continue;
                }
                dropStream();
                return;
            }
            done += static_cast<std::size_t>(n);
        }
        return;
    }
    if (target_ == 0) {
        return;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(target_);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

void InSimPeer::acceptStream() {
    for (;;) {
        const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) {
            return;
        }
        // A client that connects again has given up the old stream.
        dropStream();
        conn_ = c;
        ++streamsTaken_;
        const int on = 1;
        ::setsockopt(conn_, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
        ::setsockopt(conn_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
}

void InSimPeer::dropStream() {
    if (conn_ >= 0) {
        ::close(conn_);
        conn_ = -1;
    }
    inbox_.clear();
}

void InSimPeer::sendVersion() {
    const IsVer v{.ReqI = 1, .Version = "0.7F", .Product = "S2", .InSimVer = 4};
    send(v.toBytes());
}

void InSimPeer::sendField() {
    for (int k = 1; k <= kDrivers; ++k) {
        send(driverConnection(k));
    }
    for (int k = 1; k <= kDrivers; ++k) {
        send(driverPlayer(k));
    }
    race_ = 0;
    for (int k = 1; k <= kDrivers; ++k) {
        send(driverResult(k));
    }
}

void InSimPeer::sendRace(int race) {
    race_ = race;
    for (int position = 1; position <= kDrivers; ++position) {
        send(driverResult((position - 1 + race) % kDrivers + 1, position));
    }
}

void InSimPeer::sendKeepAlive() {
    IsTiny t;
    t.ReqI = 0;
    t.SubT = TINY_NONE;
    send(t.toBytes());
}

std::int64_t InSimPeer::sendVote() {
    messages_ = 0;
    messagesAtReo_ = 0;
    reoNs_ = 0;
    reo_.fill(0);
    IsSmall vta;
    vta.SubT = SMALL_VTA;
    vta.UVal = VOTE_RESTART;
    const auto bytes = vta.toBytes();
    const std::int64_t at = realNowNs();
    send(bytes);
    return at;
}

bool InSimPeer::orderIsFinishingOrder() const {
    if (reo_[3] != kDrivers) {
        return false;
    }
    for (int k = 0; k < kDrivers; ++k) {
        if (reo_[4 + static_cast<std::size_t>(k)] != (k + race_) % kDrivers + 1) {
            return false;
        }
    }
    return true;
}

namespace {

std::int64_t stampOf(msghdr& msg) {
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
            timespec ts{};
            std::copy_n(reinterpret_cast<const char*>(CMSG_DATA(c)), sizeof ts, reinterpret_cast<char*>(&ts));
            return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
        }
    }
    return realNowNs();
}

} // namespace

int InSimPeer::drain() {
    if (transport_ == Transport::Udp) {
        return drainDatagrams();
    }
    acceptStream();
    return drainStream();
}

int InSimPeer::drainDatagrams() {
    int count = 0;
    std::uint8_t buf[1024];
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    for (;;) {
        iovec iov{buf, sizeof buf};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        const ssize_t n = ::recvmsg(fd_, &msg, MSG_DONTWAIT);
        if (n < 0) {
            return count;
        }
        ++count;
        handle(std::span<const std::uint8_t>(buf, static_cast<std::size_t>(n)), stampOf(msg));
    }
}

int InSimPeer::drainStream() {
    int count = 0;
    std::uint8_t buf[64 * 1024];
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    while (conn_ >= 0) {
        iovec iov{buf, sizeof buf};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        const ssize_t n = ::recvmsg(conn_, &msg, MSG_DONTWAIT);
        if (n == 0) {
            dropStream(); // the client closed it; it connects again if it wants
            return count;
        }
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                dropStream();
            }
            return count;
        }
        const std::int64_t stamp = stampOf(msg);
        inbox_.insert(inbox_.end(), buf, buf + n);
        // Packets one after another, each as long as its Size byte says.
        std::size_t at = 0;
        while (at < inbox_.size()) {
            const std::size_t length =
                static_cast<std::size_t>(inbox_[at]) * static_cast<std::size_t>(sizeUnit_);
            if (length < 4) {
                // Nothing after a Size this small can be told apart: the
                // stream has lost its place, and the client must reconnect.
                dropStream();
                return count;
            }
            if (inbox_.size() - at < length) {
                break;
            }
            ++count;
            handle(std::span<const std::uint8_t>(inbox_.data() + at, length), stamp);
            if (conn_ < 0) {
                return count; // an answer found the stream closed
            }
            at += length;
        }
        inbox_.erase(inbox_.begin(), inbox_.begin() + static_cast<std::ptrdiff_t>(at));
    }
    return count;
}

void InSimPeer::handle(std::span<const std::uint8_t> d, std::int64_t stampNs) {
    ++received_;
    if (d.size() < 4) {
        return;
    }
    switch (d[1]) {
    case ISP_ISI:
        if (d.size() >= 6) {
            if (firstIsiNs_ == 0) {
                firstIsiNs_ = stampNs;
            }
            if (transport_ == Transport::Udp) {
                target_ = static_cast<std::uint16_t>(d[4] | (d[5] << 8));
            }
        }
        return;
    case ISP_TINY:
        if (d[3] == TINY_NONE) {
            ++keepAliveReplies_;
            lastKeepAliveReplyNs_ = stampNs;
        } else if (d[3] == TINY_SST) {
            ++stateRequests_;
            if (answerRequests) {
                IsSta sta;
                sta.ReqI = d[2];
                sta.NumP = kDrivers;
                sta.NumConns = kDrivers + 1;
                sta.RaceInProg = 1;
                sta.RaceLaps = 5;
                sta.Track = "BL1";
                send(sta.toBytes());
            }
        } else if (d[3] == TINY_VER && answerRequests) {
            sendVersion();
        }
        return;
    case ISP_MTC: ++messages_; return;
    case ISP_REO:
        if (reoNs_ == 0) {
            reoNs_ = stampNs;
            messagesAtReo_ = messages_;
            std::copy_n(d.begin(), std::min(d.size(), reo_.size()), reo_.begin());
        }
        return;
    default: return; // the rest of the client's requests need no answer here
    }
}

} // namespace pm::bench
