// Connections that stay: the event stream, idle and slow clients, and the
// limits that keep them from holding the server.

#include <atomic>
#include <future>
#include <mutex>
#include <thread>

#include <nlohmann/json.hpp>

#include "platform/SysSocket.h"
#include "web/WebFixture.h"

using namespace pm;
using namespace pm::test;
using namespace std::chrono_literals;
using nlohmann::json;
namespace sys = pm::platform::sys;

namespace {

// An event stream read on a thread of its own; the messages as they came.
class EventReader {
public:
    explicit EventReader(std::uint16_t port) : client_("127.0.0.1", port) {
        client_.set_read_timeout(60, 0);
        thread_ = std::thread([this] {
            client_.Get("/api/events", [this](const char* data, std::size_t size) {
                std::lock_guard lock(mutex_);
                text_.append(data, size);
                return !stop_.load();
            });
            ended_ = true;
        });
    }
    ~EventReader() {
        stop_ = true;
        client_.stop();
        thread_.join();
    }
    // The "data:" lines of the messages so far.
    std::vector<std::string> messages() {
        std::lock_guard lock(mutex_);
        std::vector<std::string> out;
        for (std::size_t at = text_.find("event: status\ndata: "); at != std::string::npos;
             at = text_.find("event: status\ndata: ", at + 1)) {
            const auto start = at + 20;
            const auto end = text_.find("\n\n", start);
            if (end == std::string::npos) {
                break;
            }
            out.push_back(text_.substr(start, end - start));
        }
        return out;
    }
    bool ended() const { return ended_.load(); }

private:
    httplib::Client client_;
    std::thread thread_;
    std::mutex mutex_;
    std::string text_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> ended_{false};
};

class WebStreamsTest : public WebTest {
protected:
    // Turns the loop, moving the manual clock on so that the publishing
    // timer fires, until `until` holds.
    template <class P> void loopUntil(P until) {
        while (!until()) {
            stack.loop().advance(50ms);
            stack.loop().runOnce(5ms);
        }
    }
};

// A connected socket that sends nothing, or what it is given.
struct RawConnection {
    // from: a loopback address of the client's own, network order (0: any).
    explicit RawConnection(std::uint16_t port, std::uint32_t from = 0) {
        int error = 0;
        fd = sys::open(true, 0, error);
        if (from != 0) {
            sys::bind(fd, from, 0);
        }
        sys::connect(fd, 0x0100007F, htons_(port));
    }
    ~RawConnection() { sys::close(fd); }
    static std::uint16_t htons_(std::uint16_t v) { return static_cast<std::uint16_t>((v >> 8) | (v << 8)); }
    // All of it, unless the server closes the connection first.
    bool send(const std::string& text) {
        std::size_t sent = 0;
        while (sent < text.size()) {
            std::vector<sys::PollItem> items{{fd, false, true}};
            sys::poll(items, 1000);
            int error = 0;
            const long n = sys::send(fd, reinterpret_cast<const std::uint8_t*>(text.data()) + sent,
                                     text.size() - sent, true, 0, 0, error);
            if (n < 0 && error != 10035) {
                return false;
            }
            sent += n > 0 ? static_cast<std::size_t>(n) : 0;
        }
        return true;
    }
    // What the server sent until it closed the connection.
    std::string readToClose() {
        std::string out;
        for (;;) {
            std::vector<sys::PollItem> items{{fd, true, false}};
            sys::poll(items, 1000);
            std::uint8_t buf[4096];
            std::uint32_t ip = 0;
            std::uint16_t port = 0;
            int error = 0;
            const long n = sys::receive(fd, buf, sizeof buf, true, ip, port, error);
            if (n > 0) {
                out.append(reinterpret_cast<const char*>(buf), static_cast<std::size_t>(n));
            } else if (n == 0 || error != 10035) {
                return out;
            }
        }
    }
    sys::Fd fd = sys::kNoFd;
};

} // namespace

TEST_F(WebStreamsTest, the_event_stream_sends_every_server_then_what_changed_gathered) {
    serve();
    const std::int16_t second = addServer("Pub");
    EventReader reader(web->port());
    loopUntil([&] { return reader.messages().size() >= 1; });
    const auto first = reader.messages().front();
    EXPECT_NE(first.find("\"indices\":[1,2]"), std::string::npos) << first;
    EXPECT_NE(first.find("\"name\":\"Club\""), std::string::npos);
    EXPECT_NE(first.find("\"name\":\"Pub\""), std::string::npos);

    // Many changes between two publications make one message, which holds
    // only the server that changed, in its last state.
    for (int i = 1; i <= 40; ++i) {
        views(second).txtReverse.setText(std::to_string(i));
    }
    loopUntil([&] { return reader.messages().size() >= 2; });
    const auto second_message = reader.messages().at(1);
    EXPECT_NE(second_message.find("\"reverseCount\":\"40\""), std::string::npos) << second_message;
    EXPECT_EQ(second_message.find("\"name\":\"Club\""), std::string::npos);
    // Nothing else changed: a further turn of the timer sends nothing.
    stack.loop().advance(1000ms);
    EXPECT_EQ(reader.messages().size(), 2U);
}

TEST_F(WebStreamsTest, after_the_first_message_a_stream_gets_only_the_new_status_lines) {
    serve();
    form->LinkChanged(n, true, "first link");
    form->statusChanged(n);
    for (int look = 0; look < 4; ++look) { // published once quiet
        stack.loop().advance(50ms);
        stack.loop().runOnce(5ms);
    }
    EventReader reader(web->port());
    loopUntil([&] { return reader.messages().size() >= 1; });
    const json first = json::parse(reader.messages().front())["servers"][0];
    ASSERT_EQ(first["statusLines"].size(), 1U) << first;
    EXPECT_FALSE(first.contains("newStatusLines"));

    form->LinkChanged(n, false, "second");
    form->LinkChanged(n, true, "third");
    form->statusChanged(n);
    loopUntil([&] { return reader.messages().size() >= 2; });
    const json change = json::parse(reader.messages().at(1))["servers"][0];
    EXPECT_FALSE(change.contains("statusLines")) << change;
    ASSERT_EQ(change["newStatusLines"].size(), 2U) << change;
    EXPECT_NE(change["newStatusLines"][0].get<std::string>().find("second"), std::string::npos);
    EXPECT_NE(change["newStatusLines"][1].get<std::string>().find("third"), std::string::npos);

    // A change with no new line says so with an empty list.
    views(n).txtReverse.setText("7");
    loopUntil([&] { return reader.messages().size() >= 3; });
    EXPECT_EQ(json::parse(reader.messages().at(2))["servers"][0]["newStatusLines"], json::array());

    // A stream that comes now starts with them all.
    EventReader late(web->port());
    loopUntil([&] { return late.messages().size() >= 1; });
    EXPECT_EQ(json::parse(late.messages().front())["servers"][0]["statusLines"].size(), 3U);
}

TEST_F(WebStreamsTest, stopping_ends_open_event_streams) {
    serve();
    EventReader reader(web->port());
    loopUntil([&] { return reader.messages().size() >= 1; });
    web->stop();
    while (!reader.ended()) {
        std::this_thread::sleep_for(10ms);
    }
    SUCCEED();
}

// At a stop the program tells its servers goodbye before it waits for the
// page's threads, which a busy host may starve for seconds: once stopped,
// the page must touch nothing of the servers, which may go before it.
TEST_F(WebStreamsTest, a_stopped_page_outlives_the_servers_it_showed) {
    serve();
    EventReader reader(web->port());
    loopUntil([&] { return reader.messages().size() >= 1; });
    auto change = std::async(std::launch::async, [this] {
        httplib::Client c = client();
        httplib::Headers headers{{"Authorization", std::string("Bearer ") + kToken}};
        const auto r = c.Put("/api/servers/1/rules", headers, R"({"custom": 1})", "application/json");
        return r ? r->status : 0;
    });
    std::this_thread::sleep_for(20ms); // most often, the change is on its way to the loop
    web->stop();
    const bool made = views(n).chkCustom.value() == 1;
    form.reset();
    // A change made at the stop is answered, not left to look as if it
    // had failed; one too late is refused or never accepted.
    const int status = change.get();
    if (made) {
        EXPECT_EQ(status, 200);
    } else {
        EXPECT_TRUE(status == 0 || status == 503) << status;
    }
    while (!reader.ended()) {
        std::this_thread::sleep_for(10ms);
    }
    web.reset();
}

// Found by review: a change that names a body too large, or a length that
// is no number, and never sends it, held a worker until its time was up.
TEST_F(WebStreamsTest, a_body_too_large_by_its_length_is_refused_before_it_comes) {
    serve(std::string(kToken), web::WebTimeLimits{std::chrono::milliseconds(600000), std::chrono::milliseconds(600000),
                                                  std::chrono::milliseconds(600000)});
    // A chunked body, or one without a length, has no size to refuse by.
    for (const auto& [length, status] :
         {std::pair{"Content-Length: 1000000", "413"}, {"Content-Length: 99999999999999999999", "413"},
          {"Content-Length: -5", "400"}, {"Content-Length: 2x", "400"}, {"Transfer-Encoding: chunked", "411"},
          {"Transfer-Encoding: gzip, chunked", "411"}, {"X-Nothing: 1", "411"}}) {
        RawConnection c(web->port());
        ASSERT_TRUE(c.send(std::string("PUT /api/servers/1/rules HTTP/1.1\r\nHost: 127.0.0.1\r\n") +
                           "Authorization: Bearer " + kToken + "\r\n" + length + "\r\n\r\n"));
        std::vector<sys::PollItem> items{{c.fd, true, false}};
        ASSERT_EQ(sys::poll(items, 60000), 1) << length << ": no answer while the body is awaited";
        EXPECT_NE(c.readToClose().find(std::string("HTTP/1.1 ") + status), std::string::npos) << length;
    }
    // Leading zeros are a length as any other.
    RawConnection c(web->port());
    ASSERT_TRUE(c.send(std::string("PUT /api/servers/1/rules HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n") +
                       "Authorization: Bearer " + kToken + "\r\nContent-Length: 000000012\r\n\r\n{\"custom\":1}"));
    EXPECT_EQ(whileLooping([&c] { return c.readToClose(); }).rfind("HTTP/1.1 200", 0), 0U);
}

TEST_F(WebStreamsTest, two_hundred_idle_connections_leave_room_for_others_and_are_closed) {
    serve(std::string(kToken), web::WebTimeLimits{std::chrono::milliseconds(2000), std::chrono::milliseconds(1000),
                                                  std::chrono::milliseconds(500)});
    std::vector<std::unique_ptr<RawConnection>> idle;
    for (int i = 0; i < 200; ++i) {
        idle.push_back(std::make_unique<RawConnection>(web->port()));
    }
    // Another client gets its answer, trying again while it is turned away.
    for (;;) {
        if (get("/healthz").status == 200) {
            break;
        }
        std::this_thread::sleep_for(100ms);
    }
    // Each idle one is answered 503 (over the limit) or closed unanswered.
    int refused = 0;
    for (auto& connection : idle) {
        const std::string said = connection->readToClose();
        EXPECT_TRUE(said.empty() || said.rfind("HTTP/1.1 503", 0) == 0) << said;
        refused += said.empty() ? 0 : 1;
    }
    EXPECT_GE(refused, 200 - web::WebServer::kMaxOpenConnections);
}

TEST_F(WebStreamsTest, a_request_that_trickles_in_is_cut_off) {
    serve(std::string(kToken), web::WebTimeLimits{std::chrono::milliseconds(1000), std::chrono::milliseconds(800),
                                                  std::chrono::milliseconds(500)});
    RawConnection slow(web->port());
    slow.send("GET /api/servers HTTP/1.1\r\nHost: 127.0.0.1\r\n");
    std::atomic<bool> done{false};
    // A header line now and then, each within the wait for a read, never
    // the blank line that ends them: only the request's own limit ends it.
    std::thread trickle([&] {
        while (!done) {
            slow.send("X-Slow: 1\r\n");
            std::this_thread::sleep_for(300ms);
        }
    });
    const std::string said = slow.readToClose();
    done = true;
    trickle.join();
    EXPECT_EQ(said.find("200 OK"), std::string::npos) << said;
}

TEST_F(WebStreamsTest, a_refused_change_does_not_take_its_unread_body_for_a_next_request) {
    serve();
    RawConnection c(web->port());
    // The body, unread, would otherwise be parsed as a second request.
    c.send("PUT /api/servers/1/rules HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 36\r\n\r\n"
           "GET /api/servers/1 HTTP/1.1\r\nHost: 127.0.0.1\r\n");
    const std::string said = whileLooping([&c] { return c.readToClose(); });
    EXPECT_EQ(said.rfind("HTTP/1.1 401", 0), 0U) << said;
    EXPECT_EQ(said.find("HTTP/1.1 200"), std::string::npos) << said;
}

TEST_F(WebStreamsTest, a_request_with_endless_headers_is_cut_off) {
    serve();
    RawConnection c(web->port());
    std::atomic<bool> done{false};
    // Header lines as fast as the server takes them, well within its time.
    std::thread flood([&] {
        c.send("GET /api/servers HTTP/1.1\r\nHost: 127.0.0.1\r\n");
        const std::string line = "X-Filler: " + std::string(1000, 'a') + "\r\n";
        bool open = true;
        for (int i = 0; i < 2000 && open && !done; ++i) {
            open = c.send(line);
        }
        // Were the flood taken whole, this would end a valid request.
        if (open) {
            c.send("\r\n");
        }
    });
    const std::string said = whileLooping([&c] { return c.readToClose(); });
    done = true;
    flood.join();
    EXPECT_EQ(said.find("200 OK"), std::string::npos) << said.substr(0, 200);
}

TEST_F(WebStreamsTest, requests_that_could_be_turned_against_the_server_are_answered_plainly_or_refused) {
    serve();
    const struct {
        const char* what;
        std::string request;
        const char* statusLine;
        bool secondAnswered; // a request sent right behind it on the connection
    } rows[] = {
        {"a Range header gets the whole answer, not parts built in memory",
         "GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\nRange: bytes=0-0,0-0,0-0\r\n\r\n", "HTTP/1.1 200", true},
        {"a GET's body is not read as the next request",
         "GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 38\r\n\r\n"
         "GET /nosuchpath HTTP/1.1\r\nHost: 1\r\n\r\n",
         "HTTP/1.1 200", false},
        {"two Content-Lengths", "GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 0\r\nContent-Length: 0\r\n\r\n",
         "HTTP/1.1 400", false},
        {"another site's name pointed at this machine",
         "GET /api/servers HTTP/1.1\r\nHost: attacker.example:8270\r\n\r\n", "HTTP/1.1 421", false},
        {"localhost through a tunnel", "GET /healthz HTTP/1.1\r\nHost: LocalHost:8270\r\n\r\n", "HTTP/1.1 200", true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        RawConnection c(web->port());
        c.send(row.request + "GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
        const std::string said = whileLooping([&c] { return c.readToClose(); });
        EXPECT_EQ(said.rfind(row.statusLine, 0), 0U) << said;
        const auto answers = [&] {
            int count = 0;
            for (auto at = said.find("HTTP/1.1 "); at != std::string::npos; at = said.find("HTTP/1.1 ", at + 1)) {
                ++count;
            }
            return count;
        }();
        EXPECT_EQ(answers, row.secondAnswered ? 2 : 1) << said;
        EXPECT_EQ(said.find("multipart/byteranges"), std::string::npos) << said;
    }
}

TEST_F(WebStreamsTest, token_guesses_are_counted_per_address_so_a_guesser_locks_out_only_itself) {
    serve();
    const auto askAccess = [&](std::uint32_t from, const std::string& token) {
        RawConnection c(web->port(), from);
        c.send("GET /api/access HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " + token +
               "\r\nConnection: close\r\n\r\n");
        return c.readToClose();
    };
    constexpr std::uint32_t kGuesser = 0x0200007F; // 127.0.0.2
    constexpr std::uint32_t kAdmin = 0x0300007F;   // 127.0.0.3
    for (int i = 0; i < web::TokenGuessLimit::kWrongAllowed; ++i) {
        ASSERT_NE(askAccess(kGuesser, "guess-" + std::to_string(i)).find("\"authorized\":false"), std::string::npos);
    }
    EXPECT_EQ(askAccess(kGuesser, kToken).rfind("HTTP/1.1 429", 0), 0U);
    const std::string admin = askAccess(kAdmin, kToken);
    EXPECT_EQ(admin.rfind("HTTP/1.1 200", 0), 0U) << admin;
    EXPECT_NE(admin.find("\"authorized\":true"), std::string::npos) << admin;
}
