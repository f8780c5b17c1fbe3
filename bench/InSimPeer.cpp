#include "InSimPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
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

InSimPeer::InSimPeer() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
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
    // A vote brings 65 datagrams at once, a flood of replies more; room for
    // all of them keeps a slow reader from losing any.
    const int buffer = 4 << 20;
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
}

InSimPeer::~InSimPeer() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

void InSimPeer::send(std::span<const std::uint8_t> bytes) {
    if (target_ == 0) {
        return;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(target_);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
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

int InSimPeer::drain() {
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
        std::int64_t stamp = 0;
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                timespec ts{};
                std::copy_n(reinterpret_cast<const char*>(CMSG_DATA(c)), sizeof ts,
                            reinterpret_cast<char*>(&ts));
                stamp = static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
            }
        }
        if (stamp == 0) {
            stamp = realNowNs();
        }
        ++count;
        handle(std::span<const std::uint8_t>(buf, static_cast<std::size_t>(n)), stamp);
    }
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
            target_ = static_cast<std::uint16_t>(d[4] | (d[5] << 8));
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
