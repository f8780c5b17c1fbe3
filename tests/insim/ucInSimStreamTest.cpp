// The InSim client over TCP against a loopback host of the test's own making,
// which can close, refuse or go quiet where a real host might; a manual
// clock drives the client's timers.

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

#include "insim/Packets.h"
#include "insim/ucInSim.h"
#include "platform/SysSocket.h"

using namespace pm;
using namespace pm::insim;
using namespace std::chrono_literals;
namespace sys = pm::platform::sys;

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Notices : ucInSimEvents {
    std::vector<std::string> lines;
    void LinkNotice(const std::string& text) override { lines.push_back(text); }
    bool has(const std::string& part) const {
        return std::any_of(lines.begin(), lines.end(),
                           [&](const std::string& l) { return l.find(part) != std::string::npos; });
    }
};

// The host's side: a listening port, and the streams it accepted.
class TcpHost {
public:
    TcpHost() { open(0); }
    ~TcpHost() {
        sys::close(listener_);
        for (const sys::Fd fd : streams_) {
            sys::close(fd);
        }
    }
    TcpHost(const TcpHost&) = delete;
    TcpHost& operator=(const TcpHost&) = delete;

    std::uint16_t port() const { return port_; }
    // Closed: connections to the port are refused until listen() again.
    void stopListening() {
        sys::close(listener_);
        listener_ = sys::kNoFd;
    }
    void listen() { open(port_); }

    // The stream the client opened last, or kNoFd.
    sys::Fd accept() {
        std::uint32_t ip = 0;
        std::uint16_t port = 0;
        int error = 0;
        const sys::Fd fd = sys::accept(listener_, ip, port, error);
        if (fd != sys::kNoFd) {
            streams_.push_back(fd);
        }
        return fd;
    }
    void close(sys::Fd fd) {
        streams_.erase(std::remove(streams_.begin(), streams_.end(), fd), streams_.end());
        sys::close(fd);
    }
    static void send(sys::Fd fd, const Bytes& bytes) {
        int error = 0;
        sys::send(fd, bytes.data(), bytes.size(), true, 0, 0, error);
    }
    // Everything waiting on a stream.
    static Bytes read(sys::Fd fd) {
        Bytes all;
        std::uint8_t buf[4096];
        for (;;) {
            std::uint32_t ip = 0;
            std::uint16_t port = 0;
            int error = 0;
            const long n = sys::receive(fd, buf, sizeof buf, true, ip, port, error);
            if (n <= 0) {
                return all;
            }
            all.insert(all.end(), buf, buf + n);
        }
    }

private:
    void open(std::uint16_t port) {
        int error = 0;
        listener_ = sys::open(true, 0, error);
        std::uint32_t ip = 0;
        sys::parseIPv4("127.0.0.1", ip);
        sys::reuseListeningPort(listener_);
        if (listener_ == sys::kNoFd || sys::bind(listener_, ip, platform::hostToNet16(port)) != 0 ||
            sys::listen(listener_, 4) != 0) {
            throw std::runtime_error("TcpHost: cannot listen");
        }
        std::uint16_t bound = 0;
        sys::localAddress(listener_, ip, bound);
        port_ = platform::netToHost16(bound);
    }

    sys::Fd listener_ = sys::kNoFd;
    std::uint16_t port_ = 0;
    std::vector<sys::Fd> streams_;
};

Bytes verFrom(const char* release, int inSimVer, const WireGeneration& wire) {
    IsVer ver;
    ver.ReqI = 1;
    ver.Version = release;
    ver.Product = "S3";
    ver.InSimVer = static_cast<std::uint16_t>(inSimVer);
    return ver.toBytes(wire);
}

class StreamClientTest : public ::testing::Test {
protected:
    StreamClientTest() : stack(std::make_unique<platform::ManualClock>()) {
        client = std::make_unique<ucInSim>(stack.platform(), &owner);
        client->setPort(std::to_string(host.port()));
        client->setTransport(ucInSim::kTcp);
    }

    void drain() { stack.loop().drain(); }
    void tick(std::chrono::milliseconds by) { stack.loop().advance(by); }

    // The stream the client opens next, once it has sent its IS_ISI.
    sys::Fd acceptWithIsi(Bytes& isi) {
        for (int i = 0; i < 100; ++i) {
            drain();
            if (const sys::Fd fd = host.accept(); fd != sys::kNoFd) {
                drain();
                isi = TcpHost::read(fd);
                return fd;
            }
        }
        return sys::kNoFd;
    }

    platform::PlatformStack stack;
    TcpHost host;
    Notices owner;
    std::unique_ptr<ucInSim> client;
};

// How a host may turn down the stream auto moves up to.
enum class TurnDown { ClosesIt, RefusesIt };

class StreamUpgradeTest : public StreamClientTest, public ::testing::WithParamInterface<TurnDown> {};

TEST_P(StreamUpgradeTest, a_host_that_turns_down_the_higher_stream_keeps_the_next_try_on_four) {
    client->setInSimVersion(ucInSim::kAutoGeneration);
    client->Connect();
    Bytes isi;
    const sys::Fd first = acceptWithIsi(isi);
    ASSERT_NE(first, sys::kNoFd);
    ASSERT_GT(isi.size(), 8U);
    EXPECT_EQ(isi[8], 0) << "auto opens on InSim 4";

    if (GetParam() == TurnDown::RefusesIt) {
        host.stopListening();
    }
    TcpHost::send(first, verFrom("0.8C", 4, kWire4)); // the client moves to InSim 10
    drain();
    if (GetParam() == TurnDown::ClosesIt) {
        Bytes higher;
        const sys::Fd second = acceptWithIsi(higher);
        ASSERT_NE(second, sys::kNoFd);
        host.close(second);
    } else {
        host.listen();
    }
    drain();
    EXPECT_FALSE(client->connected());
    EXPECT_TRUE(owner.has("did not answer InSim 10; staying on InSim 4"));

    tick(ucInSim::kRetryDelay + 1s);
    const sys::Fd retried = acceptWithIsi(isi);
    ASSERT_NE(retried, sys::kNoFd);
    ASSERT_GT(isi.size(), 8U);
    EXPECT_EQ(isi[8], 0);
    TcpHost::send(retried, verFrom("0.8C", 4, kWire4));
    drain();
    EXPECT_TRUE(client->connected()) << "the retry stays on the stream the host answers";
    EXPECT_EQ(client->wire().version, 4);
}

TEST_F(StreamClientTest, a_host_that_keeps_the_stream_but_falls_silent_is_dropped_with_a_line_and_tried_again) {
    client->setInSimVersion("4");
    client->Connect();
    Bytes isi;
    const sys::Fd first = acceptWithIsi(isi);
    ASSERT_NE(first, sys::kNoFd);
    TcpHost::send(first, verFrom("0.5Z", 4, kWire4));
    drain();
    ASSERT_TRUE(client->connected());

    for (int s = 0; s <= ucInSim::kSilenceLimit + 1 && client->connected(); ++s) {
        tick(1s);
        drain();
    }
    EXPECT_FALSE(client->connected());
    EXPECT_TRUE(owner.has("no packet from 127.0.0.1:" + std::to_string(host.port()) + " for 2 minutes"))
        << ::testing::PrintToString(owner.lines);
    tick(ucInSim::kRetryDelay + 1s);
    EXPECT_NE(acceptWithIsi(isi), sys::kNoFd);
}

TEST_F(StreamClientTest, a_port_that_answers_but_is_no_insim_host_is_reported_once_not_every_retry) {
    client->setInSimVersion("4");
    Bytes isi;
    client->Connect();
    for (int attempt = 0; attempt < 3; ++attempt) {
        const sys::Fd fd = acceptWithIsi(isi);
        ASSERT_NE(fd, sys::kNoFd);
        const std::string reply(80, 'H'); // a web server's answer: one "packet" of 72 bytes in InSim 4
        TcpHost::send(fd, Bytes(reply.begin(), reply.end()));
        drain();
        host.close(fd);
        drain();
        EXPECT_FALSE(client->linkSettledNow());
        tick(ucInSim::kRetryDelay + 1s);
    }
    EXPECT_EQ(std::count_if(owner.lines.begin(), owner.lines.end(),
                            [](const std::string& l) { return l.find("closed the InSim connection") != std::string::npos; }),
              1)
        << ::testing::PrintToString(owner.lines);
    EXPECT_FALSE(owner.has("the host answers")) << ::testing::PrintToString(owner.lines);
}

INSTANTIATE_TEST_SUITE_P(Hosts, StreamUpgradeTest, ::testing::Values(TurnDown::ClosesIt, TurnDown::RefusesIt));

} // namespace
