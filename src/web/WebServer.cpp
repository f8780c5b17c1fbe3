#include "web/WebServer.h"

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <future>
#include <map>
#include <mutex>
#include <regex>
#include <set>
#include <thread>

#include "platform/CrossThreadQueue.h"
#include "platform/SysSocket.h"
#include "platform/System.h"
#include "web/StatusJson.h"
#include "web/WebPage.h"

namespace pm::web {

namespace {

using Clock = std::chrono::steady_clock;
namespace sys = platform::sys;

constexpr int kWouldBlock = 10035;
// How often a waiting worker looks whether the server is stopping.
constexpr std::chrono::milliseconds kStopCheck{200};
constexpr int kBacklog = 512;
// A request's line and headers, and its body: more is no request of ours.
constexpr std::size_t kMostPerRequest = 32 * 1024 + WebServer::kMaxBody;

// Set on the accepting thread while it turns a connection away, and on a
// worker when a request is refused before its body was read: the bytes left
// in the stream are not a next request.
thread_local bool tRefuseConnection = false;
thread_local bool tCloseAfterResponse = false;
// Set while a request is handled: its connection, which an event stream's
// request takes over from httplib (tHandOff) for the event hub.
class BoundedStream;
thread_local BoundedStream* tStream = nullptr;
thread_local bool tHandOff = false;

// A connection's bytes with the waits bounded: each wait by ioWait, a
// request's reading by the request limit from its start, and all by the
// server stopping. httplib's own socket stream bounds each wait only, which
// lets a client that sends a byte every few seconds hold a thread forever.
class BoundedStream final : public httplib::Stream {
public:
    BoundedStream(socket_t sock, const std::atomic<bool>& stopping, const WebTimeLimits& limits)
        : sock_(sock), stopping_(stopping), limits_(limits) {}

    void startRequest() {
        deadline_ = Clock::now() + limits_.request;
        taken_ = 0;
    }
    bool hasBuffered() const { return start_ < end_; }
    // A read failed (time up, the peer gone): httplib answers 400 and would
    // read on, taking the rest of a half-read request for the next one.
    bool readFailed() const { return readFailed_; }

    // Whether bytes came within `limit` (false also when the peer closed
    // nothing, or the server is stopping).
    bool waitReadable(Clock::duration limit) const { return wait(true, limit); }

    bool is_readable() const override { return hasBuffered() || wait(true, readLimit()); }
    bool is_writable() const override { return wait(false, limits_.ioWait); }

    ssize_t read(char* ptr, size_t size) override {
        if (!hasBuffered()) {
            if (Clock::now() >= deadline_) {
                readFailed_ = true;
                return -1;
            }
            for (;;) {
                if (!wait(true, readLimit())) {
                    readFailed_ = true;
                    return -1;
                }
                std::uint32_t ip = 0;
                std::uint16_t port = 0;
                int error = 0;
                const long n = sys::receive(fd(), buffer_, sizeof buffer_, true, ip, port, error);
                if (n > 0) {
                    start_ = 0;
                    end_ = static_cast<std::size_t>(n);
                    break;
                }
                if (n == 0) {
                    readFailed_ = true;
                    return 0;
                }
                if (error != kWouldBlock) {
                    readFailed_ = true;
                    return -1;
                }
            }
        }
        // httplib bounds each header line and the body, not how many header
        // lines come: within its time a request could fill the memory.
        if (taken_ >= kMostPerRequest) {
            readFailed_ = true;
            return -1;
        }
        const std::size_t n = std::min({size, end_ - start_, kMostPerRequest - taken_});
        std::copy(buffer_ + start_, buffer_ + start_ + n, ptr);
        start_ += n;
        taken_ += n;
        return static_cast<ssize_t>(n);
    }

    // From now on httplib's writes go nowhere: the response was written by
    // hand and the connection belongs to someone else.
    void discardWrites() { discard_ = true; }

    ssize_t write(const char* ptr, size_t size) override {
        if (discard_) {
            return static_cast<ssize_t>(size);
        }
        for (;;) {
            if (!wait(false, limits_.ioWait)) {
                return -1;
            }
            int error = 0;
            const long n = sys::send(fd(), reinterpret_cast<const std::uint8_t*>(ptr), size, true, 0, 0, error);
            if (n >= 0) {
                return n;
            }
            if (error != kWouldBlock) {
                return -1;
            }
        }
    }

    // The peer's address is what token guesses are counted by: blank, every
    // client would share one count, and one stranger's guesses would lock
    // out everyone.
    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        ip.clear();
        port = 0;
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        if (::getpeername(sock_, reinterpret_cast<sockaddr*>(&peer), &length) == 0 && peer.sin_family == AF_INET) {
            ip = sys::formatIPv4(peer.sin_addr.s_addr);
            port = ntohs(peer.sin_port);
        }
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        ip.clear();
        port = 0;
    }
    socket_t socket() const override { return sock_; }

private:
    sys::Fd fd() const { return static_cast<sys::Fd>(sock_); }

    Clock::duration readLimit() const {
        const auto left = deadline_ - Clock::now();
        return std::min<Clock::duration>(left, limits_.ioWait);
    }

    bool wait(bool read, Clock::duration limit) const {
        const auto until = Clock::now() + limit;
        for (;;) {
            // At a stop, no more of a request is waited for; an answer is
            // still written while the peer takes it (the change it answers
            // may have been made), within the usual wait.
            if (read && stopping_.load()) {
                return false;
            }
            const auto left = until - Clock::now();
            if (left <= Clock::duration::zero()) {
                return false;
            }
            const auto step = std::min<Clock::duration>(left, kStopCheck);
            std::vector<sys::PollItem> items(1);
            items[0].fd = fd();
            items[0].wantRead = read;
            items[0].wantWrite = !read;
            const int ready = sys::poll(
                items, static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(step).count()) + 1);
            if (ready < 0) {
                return false;
            }
            if (ready > 0) {
                // An error or a hang-up is "ready" too: the read or write
                // that follows says which.
                return true;
            }
            if (stopping_.load()) {
                return false;
            }
        }
    }

    socket_t sock_;
    const std::atomic<bool>& stopping_;
    const WebTimeLimits& limits_;
    Clock::time_point deadline_ = Clock::now() + limits_.request;
    std::uint8_t buffer_[4096];
    std::size_t start_ = 0;
    std::size_t end_ = 0;
    std::size_t taken_ = 0; // bytes of the current request handed out
    bool readFailed_ = false;
    bool discard_ = false;
};

class HttpServer final : public httplib::Server {
public:
    HttpServer(const std::atomic<bool>& stopping, const WebTimeLimits& limits) : stopping_(stopping), limits_(limits) {}

    // Takes the connections that became event streams; owns them from then.
    std::function<void(sys::Fd)> takeStream;

    // httplib listens with a backlog of 5. A burst of connections beyond it
    // is not refused: with SYN cookies the clients believe they are
    // connected to a server that never heard of them, and wait.
    void widenBacklog() { sys::listen(static_cast<sys::Fd>(svr_sock_.load()), kBacklog); }

private:
    // httplib's own loop over a connection's requests, with the stream above
    // and a refusal for connections over the limit.
    bool process_and_close_socket(socket_t sock) override {
        const auto fd = static_cast<sys::Fd>(sock);
        // httplib accepts blocking sockets. On Windows a send to a browser
        // that stopped reading would then wait for it, holding a worker, or
        // the event streams' one thread, for as long as it likes.
        sys::makeNonBlocking(fd);
        if (tRefuseConnection) {
            static constexpr char kBusy[] = "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\n"
                                            "Content-Length: 51\r\nRetry-After: 2\r\nConnection: close\r\n\r\n"
                                            "{\"error\": \"too many connections; try again shortly\"}";
            int error = 0;
            sys::send(fd, reinterpret_cast<const std::uint8_t*>(kBusy), sizeof kBusy - 1, true, 0, 0, error);
            sys::close(fd);
            return false;
        }
        BoundedStream stream(sock, stopping_, limits_);
        bool ok = false;
        tStream = &stream;
        tHandOff = false;
        for (int left = WebServer::kRequestsPerConnection; left > 0; --left) {
            if (!stream.hasBuffered() && !stream.waitReadable(limits_.keepAlive)) {
                break;
            }
            stream.startRequest();
            tCloseAfterResponse = false;
            bool closed = false;
            ok = process_request(stream, left == 1 || stopping_.load(), closed, nullptr);
            if (tHandOff || !ok || closed || tCloseAfterResponse || stream.readFailed()) {
                break;
            }
        }
        tStream = nullptr;
        if (tHandOff) {
            tHandOff = false;
            takeStream(fd);
            return true;
        }
        sys::close(fd);
        return ok;
    }

    const std::atomic<bool>& stopping_;
    const WebTimeLimits& limits_;
};

// httplib's thread pool, with the number of connections it holds bounded.
class BoundedPool final : public httplib::TaskQueue {
public:
    BoundedPool() : pool_(WebServer::kWorkers) {}

    void enqueue(std::function<void()> fn) override {
        if (open_->load() >= WebServer::kMaxOpenConnections) {
            tRefuseConnection = true;
            fn();
            tRefuseConnection = false;
            return;
        }
        ++*open_;
        pool_.enqueue([open = open_, fn = std::move(fn)] {
            thread_local const bool lowered = (platform::lowerThisThreadsPriority(), true);
            (void)lowered;
            fn();
            --*open;
        });
    }
    void shutdown() override { pool_.shutdown(); }

private:
    std::shared_ptr<std::atomic<int>> open_ = std::make_shared<std::atomic<int>>(0);
    httplib::ThreadPool pool_;
};

std::string errorBody(const std::string& text) { return jsonText(nlohmann::json{{"error", text}}); }

void answer(httplib::Response& res, int status, const std::string& body,
            const char* type = "application/json; charset=utf-8") {
    res.status = status;
    res.set_content(body, type);
}

void refuse(httplib::Response& res, int status, const std::string& text) { answer(res, status, errorBody(text)); }

struct Snapshot {
    std::uint64_t version = 0;
    // Per server: the version it last changed in, and what it was then.
    std::map<std::int16_t, std::pair<std::uint64_t, std::shared_ptr<const ServerSnapshot>>> servers;
};

// Every event stream, served by one thread of low priority with sockets that
// never block it: a browser that reads slowly costs its own buffer, never a
// thread, and a change is turned into JSON once for all the streams.
class EventHub {
public:
    // Output a stream may hold unread before it is dropped.
    static constexpr std::size_t kMostUnsent = 4 * 1024 * 1024;
    static constexpr std::chrono::milliseconds kLook{50};

    EventHub(std::mutex& publishedMutex, const std::shared_ptr<const Snapshot>& published,
             const std::atomic<bool>& stopping)
        : publishedMutex_(publishedMutex), published_(published), stopping_(stopping) {}
    ~EventHub() { stop(); }

    void start() { thread_ = std::thread([this] { run(); }); }
    void stop() {
        if (thread_.joinable()) {
            thread_.join();
        }
        for (const auto fd : incoming_) {
            sys::close(fd);
        }
        incoming_.clear();
    }
    // Room for one more stream; counts the one asked for.
    bool reserve() {
        if (++streams_ > WebServer::kMaxEventStreams) {
            --streams_;
            return false;
        }
        return true;
    }
    void unreserve() { --streams_; }
    void add(sys::Fd fd) {
        std::lock_guard lock(incomingMutex_);
        incoming_.push_back(fd);
    }

private:
    struct Client {
        sys::Fd fd;
        std::string out;
        bool fresh = true;
        Clock::time_point lastWrite = Clock::now();
    };

    static std::string message(const Snapshot& snapshot, const std::string& servers) {
        std::string out = "event: status\ndata: {\"indices\":[";
        bool first = true;
        for (const auto& entry : snapshot.servers) {
            out += (first ? "" : ",") + std::to_string(entry.first);
            first = false;
        }
        out += "],\"servers\":[" + servers + "]}\n\n";
        return out;
    }

    // A server's JSON for streams that had `before` of it: its status lines
    // only as far as they are new (newStatusLines), not the last fifty
    // again with every change. A server new to the streams, or one added
    // anew at the same index, goes whole.
    static std::string changeJson(const ServerSnapshot* before, const ServerSnapshot& now) {
        nlohmann::json j = toJson(now);
        if (before != nullptr && before->incarnation == now.incarnation &&
            now.status.recentLinesKept >= before->status.recentLinesKept) {
            const auto& lines = now.status.recentLines;
            const auto fresh = static_cast<std::ptrdiff_t>(
                std::min<std::uint64_t>(now.status.recentLinesKept - before->status.recentLinesKept, lines.size()));
            j.erase("statusLines");
            j["newStatusLines"] = std::vector<std::string>(lines.end() - fresh, lines.end());
        }
        return jsonText(j);
    }

    // Between two pieces of work, after a tenth of a millisecond of them: a
    // loop woken meanwhile (a vote) runs now. Woken, it does not always take
    // the CPU from this thread at once, even at nice 19, and fifty writes in
    // a row held a vote up by milliseconds where loop and page share a core.
    // Only while the host is quiet, though: where this thread waits for a
    // CPU a good part of the time, the scheduler takes turns anyway, and a
    // thread at nice 19 that steps aside goes to the back of a long queue.
    // Stepping aside there, every 100 us of work, made 21 streams with four
    // busy processes on the core see a change after 1.8 s instead of 0.12 s.
    // The work is counted in this thread's CPU time, not the time gone by.
    static constexpr std::chrono::microseconds kWorkBeforeGivingWay{100};
    static constexpr std::chrono::milliseconds kHostLook{20};
    void giveWay() {
        const auto now = Clock::now();
        if (now - hostLookStart_ >= kHostLook) {
            const auto waited = platform::thisThreadsWaitForCpu();
            hostBusy_ = waited && (*waited - waitedAtLook_) * 4 > now - hostLookStart_;
            waitedAtLook_ = waited.value_or(std::chrono::nanoseconds{});
            hostLookStart_ = now;
        }
        const auto worked = platform::thisThreadsCpuTime();
        if (!hostBusy_ && worked - lastGaveWay_ >= kWorkBeforeGivingWay) {
            std::this_thread::yield();
            lastGaveWay_ = worked;
        }
    }

    void drop(Client& c) {
        sys::close(c.fd);
        c.fd = sys::kNoFd;
        --streams_;
    }

    void run() {
        platform::lowerThisThreadsPriority();
        std::shared_ptr<const Snapshot> last;
        // Per server, what the streams were last sent of it. A stream has
        // had it already, in a first message or in changes since.
        struct Sent {
            std::uint64_t version = 0;
            std::shared_ptr<const ServerSnapshot> server;
            std::string whole; // its JSON, made when a new stream asks
        };
        std::map<std::int16_t, Sent> sent;
        std::vector<Client> clients;
        std::vector<sys::PollItem> items;
        while (!stopping_.load()) {
            {
                std::lock_guard lock(incomingMutex_);
                for (const auto fd : incoming_) {
                    clients.push_back(Client{fd, {}, true, Clock::now()});
                }
                incoming_.clear();
            }
            std::shared_ptr<const Snapshot> snapshot;
            {
                std::lock_guard lock(publishedMutex_);
                snapshot = published_;
            }
            if (!last || snapshot->version != last->version) {
                std::string changed;
                for (const auto& [index, entry] : snapshot->servers) {
                    Sent& before = sent[index];
                    if (before.server && before.version == entry.first) {
                        continue;
                    }
                    changed += (changed.empty() ? "" : ",") + changeJson(before.server.get(), *entry.second);
                    before = Sent{entry.first, entry.second, {}};
                    giveWay();
                }
                std::erase_if(sent, [&](const auto& e) { return snapshot->servers.count(e.first) == 0; });
                const std::string delta = message(*snapshot, changed);
                for (auto& c : clients) {
                    if (!c.fresh) {
                        c.out += delta;
                    }
                }
                last = snapshot;
            }
            std::string whole;
            for (auto& c : clients) {
                if (c.fresh) {
                    if (whole.empty()) {
                        std::string all;
                        for (auto& [index, entry] : sent) {
                            if (entry.whole.empty()) {
                                entry.whole = jsonText(toJson(*entry.server));
                            }
                            all += (all.empty() ? "" : ",") + entry.whole;
                        }
                        whole = message(*last, all);
                    }
                    c.out += whole;
                    c.fresh = false;
                }
                if (c.out.empty() && Clock::now() - c.lastWrite > WebServer::kEventKeepAlive) {
                    c.out = ": still here\n\n";
                }
                if (c.out.size() > kMostUnsent) {
                    drop(c);
                }
            }
            std::erase_if(clients, [](const Client& c) { return c.fd == sys::kNoFd; });

            items.assign(clients.size(), {});
            for (std::size_t i = 0; i < clients.size(); ++i) {
                items[i].fd = clients[i].fd;
                items[i].wantRead = true;
                items[i].wantWrite = !clients[i].out.empty();
            }
            if (items.empty()) {
                std::this_thread::sleep_for(kLook);
                continue;
            }
            if (sys::poll(items, static_cast<int>(kLook.count())) <= 0) {
                continue;
            }
            for (std::size_t i = 0; i < clients.size(); ++i) {
                Client& c = clients[i];
                int error = 0;
                if (items[i].readable || items[i].error) {
                    // A browser says nothing more on an event stream: bytes
                    // are ignored, the end or an error closes it.
                    std::uint8_t buffer[512];
                    std::uint32_t ip = 0;
                    std::uint16_t port = 0;
                    const long n = sys::receive(c.fd, buffer, sizeof buffer, true, ip, port, error);
                    if (n == 0 || (n < 0 && error != kWouldBlock)) {
                        drop(c);
                        continue;
                    }
                }
                if (items[i].writable && !c.out.empty()) {
                    const long n = sys::send(c.fd, reinterpret_cast<const std::uint8_t*>(c.out.data()), c.out.size(),
                                             true, 0, 0, error);
                    if (n > 0) {
                        c.out.erase(0, static_cast<std::size_t>(n));
                        c.lastWrite = Clock::now();
                    } else if (n < 0 && error != kWouldBlock) {
                        drop(c);
                    }
                    giveWay();
                }
            }
            std::erase_if(clients, [](const Client& c) { return c.fd == sys::kNoFd; });
        }
        for (auto& c : clients) {
            drop(c);
        }
    }

    std::chrono::nanoseconds lastGaveWay_{};
    Clock::time_point hostLookStart_{};
    std::chrono::nanoseconds waitedAtLook_{};
    bool hostBusy_ = false;
    std::mutex& publishedMutex_;
    const std::shared_ptr<const Snapshot>& published_;
    const std::atomic<bool>& stopping_;
    std::atomic<int> streams_{0};
    std::mutex incomingMutex_;
    std::vector<sys::Fd> incoming_;
    std::thread thread_;
};

} // namespace

struct WebServer::Impl {
    Impl(app::frmMain& f, platform::EventLoop& l, WebConfig c)
        : form(f), loop(l), config(std::move(c)), queue(l), http(stopping, config.limits) {}

    app::frmMain& form;
    platform::EventLoop& loop;
    WebConfig config;
    platform::CrossThreadQueue queue;
    std::atomic<bool> stopping{false};
    HttpServer http;
    std::thread listener;
    std::uint16_t port = 0;
    bool running = false;
    const Clock::time_point started = Clock::now();

    // On the loop's thread.
    std::set<std::int16_t> dirty;
    bool changedSinceLook = false;
    static constexpr int kCopiesPerLook = 10;
    // A copy of a server with a full field takes some 50 us: a look stops
    // after a quarter of a millisecond, so that a vote arriving during it
    // waits no longer than that.
    static constexpr std::chrono::microseconds kCopyTimePerLook{250};
    std::int16_t nextCopy = 0;
    platform::Clock::Monotonic firstChange{};
    std::vector<std::pair<platform::Signal<std::int16_t>*, platform::Signal<std::int16_t>::Connection>> links;
    std::optional<platform::EventLoop::TimerId> publishTimer;
    // Per index, which server holds it: one removed and another added at the
    // same index between two looks must not be taken for the same.
    std::map<std::int16_t, std::uint64_t> incarnations;
    std::uint64_t lastIncarnation = 0;

    std::mutex publishedMutex;
    std::shared_ptr<const Snapshot> published = std::make_shared<Snapshot>();
    EventHub hub{publishedMutex, published, stopping};

    void publish();
    void routes();
    TokenGuessLimit guesses;
    // A request's token, looked at only while its address has not guessed
    // too often: wait is then how long it must stay away.
    struct TokenVerdict {
        bool authorized = false;
        std::chrono::seconds wait{0};
    };
    TokenVerdict checkToken(const httplib::Request& req) {
        if (!config.token || !req.has_header("Authorization")) {
            return {};
        }
        const bool right = bearerMatches(req.get_header_value("Authorization"), *config.token);
        if (const auto wait = guesses.tryToken(req.remote_addr, right, Clock::now()); wait.count() > 0) {
            return {false, wait};
        }
        return {right, {}};
    }
    static void refuseGuesser(httplib::Response& res, std::chrono::seconds wait) {
        res.set_header("Retry-After", std::to_string(wait.count()));
        refuse(res, 429, "too many wrong tokens from this address: try again in " + std::to_string(wait.count()) + " s");
        tCloseAfterResponse = true;
    }

    // Runs fn on the loop and waits for its result; nullopt when the loop did
    // not answer in time or the server is stopping.
    template <class T> std::optional<T> onLoop(std::function<T()> fn) {
        auto promise = std::make_shared<std::promise<T>>();
        auto future = promise->get_future();
        const bool queued = queue.push([promise, fn = std::move(fn)] {
            try {
                promise->set_value(fn());
            } catch (...) {
                promise->set_exception(std::current_exception());
            }
        });
        if (!queued || future.wait_for(kLoopAnswerWait) != std::future_status::ready) {
            return std::nullopt;
        }
        try {
            return future.get();
        } catch (...) {
            return std::nullopt;
        }
    }

    void serveEvents(const httplib::Request& req, httplib::Response& res);
    void putRules(const httplib::Request& req, httplib::Response& res);
    void putGrid(const httplib::Request& req, httplib::Response& res);
};

void WebServer::Impl::publish() {
    if (dirty.empty()) {
        return;
    }
    auto next = std::make_shared<Snapshot>(*published);
    next->version = published->version + 1;
    // A few servers per look, in turn from where the last look stopped: a
    // vote that comes meanwhile waits for a few copies, not a hundred. The
    // JSON is made by the event hub, off the loop.
    const auto began = loop.clock().monotonicNow();
    for (int taken = 0; taken < kCopiesPerLook && !dirty.empty() &&
                        (taken == 0 || loop.clock().monotonicNow() - began < kCopyTimePerLook);
         ++taken) {
        auto it = dirty.lower_bound(nextCopy);
        if (it == dirty.end()) {
            it = dirty.begin();
        }
        const std::int16_t index = *it;
        dirty.erase(it);
        nextCopy = static_cast<std::int16_t>(index + 1);
        auto server = collectServer(form, index);
        if (server) {
            server->incarnation = incarnations[index];
        }
        if (!server) {
            next->servers.erase(index);
        } else {
            next->servers[index] = {next->version, std::make_shared<const ServerSnapshot>(std::move(*server))};
        }
    }
    std::lock_guard lock(publishedMutex);
    published = std::move(next);
}

namespace {

// "/api/servers/12" -> 12; nullopt for an index no server could have.
std::optional<std::int16_t> serverIndex(const std::string& text) {
    if (text.empty() || text.size() > 3) {
        return std::nullopt;
    }
    const int value = std::stoi(text);
    if (value < 1 || value > app::frmMain::kMaxServerIndex) {
        return std::nullopt;
    }
    return static_cast<std::int16_t>(value);
}

// The Host header of a request to a loopback address: the address itself
// (any 127.x), localhost or [::1], with or without a port; none at all is
// an HTTP/1.0 client's.
bool loopbackHost(const std::string& host) {
    if (host.empty()) {
        return true;
    }
    std::string name = host;
    if (name.front() == '[') {
        const auto close = name.find(']');
        name = close == std::string::npos ? name : name.substr(0, close + 1);
    } else if (const auto colon = name.rfind(':'); colon != std::string::npos) {
        name.erase(colon);
    }
    for (char& c : name) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return name == "localhost" || name == "[::1]" ||
           (name.rfind("127.", 0) == 0 && name.find_first_not_of("0123456789.") == std::string::npos);
}

const std::regex kServerPath(R"(/api/servers/([0-9]{1,5}))");
const std::regex kChangePath(R"(/api/servers/([0-9]{1,5})/(rules|grid))");

} // namespace

void WebServer::Impl::routes() {
    http.set_payload_max_length(kMaxBody);
    // Headers and body go out in separate writes; without this each answer
    // on a kept connection waits for the browser's delayed acknowledgement.
    http.set_tcp_nodelay(true);
    http.set_keep_alive_timeout(
        std::max<time_t>(1, std::chrono::duration_cast<std::chrono::seconds>(config.limits.keepAlive).count()));
    http.set_keep_alive_max_count(kRequestsPerConnection);
    // httplib's own waits are not used: the stream above keeps the limits.
    http.new_task_queue = [] { return new BoundedPool(); };
    // httplib's default adds SO_REUSEPORT, with which a second program binds
    // the same port and silently takes half of the connections.
    http.set_socket_options([](socket_t sock) { sys::reuseListeningPort(static_cast<sys::Fd>(sock)); });
    http.set_default_headers({
        {"Cache-Control", "no-store"},
        {"X-Content-Type-Options", "nosniff"},
        {"X-Frame-Options", "DENY"},
        {"Referrer-Policy", "no-referrer"},
        {"Content-Security-Policy", "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
                                    "connect-src 'self'; img-src data:; base-uri 'none'; form-action 'none'; "
                                    "frame-ancestors 'none'"},
    });
    // Whatever httplib answers by itself (a bad request line, a body too
    // large) gets a JSON body too.
    http.set_error_handler([](const httplib::Request&, httplib::Response& res) {
        // A refused request may have left its body unread, and whatever
        // follows it on the connection would be read as the next request.
        tCloseAfterResponse = true;
        res.set_header("Connection", "close");
        if (res.body.empty() && !res.is_chunked_content_provider_) {
            const char* text = res.status == 413   ? "the body is larger than 64 KiB"
                               : res.status == 404 ? "no such path"
                               : res.status == 400 ? "bad request"
                                                   : "refused";
            refuse(res, res.status, text);
        }
    });

    // Everything but a change's body is decided here, before httplib reads
    // that body: a request without the token never makes us read 64 KiB.
    http.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        using Handled = httplib::Server::HandlerResponse;
        const std::string& method = req.method;
        const bool get = method == "GET" || method == "HEAD";
        // httplib would build every part a Range header names in memory:
        // one small request could ask for gigabytes. Every answer is whole.
        const_cast<httplib::Request&>(req).ranges.clear();
        // A GET is answered without reading a body; bytes of one would be
        // read as the next request.
        if (get && (req.has_header("Transfer-Encoding") ||
                    (req.has_header("Content-Length") && req.get_header_value("Content-Length") != "0"))) {
            tCloseAfterResponse = true;
            res.set_header("Connection", "close");
        }
        if (req.get_header_value_count("Content-Length") > 1) {
            refuse(res, 400, "more than one Content-Length");
            return Handled::Handled;
        }
        // Bound to a loopback address, the page is meant for this machine
        // (or a tunnel or proxy to it). A page from elsewhere whose name was
        // pointed at 127.0.0.1 (DNS rebinding) names its own host here.
        if (config.address.loopback() && !loopbackHost(req.get_header_value("Host"))) {
            refuse(res, 421, "this page answers only to 127.0.0.1 or localhost");
            return Handled::Handled;
        }
        std::smatch match;
        const std::string& path = req.path;
        const bool changePath = std::regex_match(path, match, kChangePath);
        const bool readPath = path == "/" || path == "/healthz" || path == "/metrics" || path == "/api/servers" ||
                              path == "/api/events" || path == "/api/access" || std::regex_match(path, kServerPath);
        if (!get && method != "PUT") {
            res.set_header("Allow", "GET, HEAD, PUT");
            refuse(res, 405, "only GET, HEAD and PUT are answered");
            tCloseAfterResponse = true;
            return Handled::Handled;
        }
        if (!changePath && !readPath) {
            refuse(res, 404, "no such path");
            return Handled::Handled;
        }
        if (get != readPath) {
            res.set_header("Allow", get ? "PUT" : "GET, HEAD");
            refuse(res, 405, get ? "this path takes PUT" : "this path takes GET");
            return Handled::Handled;
        }
        if (!get) {
            if (!config.token) {
                refuse(res, 403, "changes are off: the program runs without --web-token-file");
                tCloseAfterResponse = true;
                return Handled::Handled;
            }
            const TokenVerdict token = checkToken(req);
            if (token.wait.count() > 0) {
                refuseGuesser(res, token.wait);
                return Handled::Handled;
            }
            if (!token.authorized) {
                res.set_header("WWW-Authenticate", "Bearer");
                refuse(res, 401, "a change needs the token: Authorization: Bearer <token>");
                tCloseAfterResponse = true;
                return Handled::Handled;
            }
            // A change's body comes with its length, told first, so that one
            // too large is refused unread: httplib would wait for all of it
            // to skip it, holding a worker, and it takes a chunked body of
            // any size (and one without a length to the connection's end).
            // A browser's fetch() always sends the length.
            if (req.has_header("Transfer-Encoding") || !req.has_header("Content-Length")) {
                refuse(res, 411, "a change needs Content-Length (and no Transfer-Encoding)");
                tCloseAfterResponse = true;
                return Handled::Handled;
            }
            std::string length = req.get_header_value("Content-Length");
            if (length.empty() || length.find_first_not_of("0123456789") != std::string::npos) {
                refuse(res, 400, "Content-Length is not a number");
                tCloseAfterResponse = true;
                return Handled::Handled;
            }
            length.erase(0, std::min(length.find_first_not_of('0'), length.size() - 1));
            if (length.size() > 7 || std::stoul(length) > WebServer::kMaxBody) {
                refuse(res, 413, "the body is larger than 64 KiB");
                tCloseAfterResponse = true;
                return Handled::Handled;
            }
            return Handled::Unhandled;
        }

        if (path == "/") {
            answer(res, 200, pageHtml(), "text/html; charset=utf-8");
        } else if (path == "/healthz") {
            if (onLoop<bool>([] { return true; })) {
                answer(res, 200, "ok\n", "text/plain; charset=utf-8");
            } else {
                answer(res, 503, "the loop does not answer\n", "text/plain; charset=utf-8");
            }
        } else if (path == "/metrics") {
            const auto uptime = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - started);
            if (auto text = onLoop<std::string>([this, uptime] { return metricsText(form, uptime); })) {
                answer(res, 200, *text, "text/plain; version=0.0.4; charset=utf-8");
            } else {
                refuse(res, 503, "the program did not answer in time");
            }
        } else if (path == "/api/access") {
            // It tells whether a token is right, so it guesses as a change does.
            const TokenVerdict token = checkToken(req);
            if (token.wait.count() > 0) {
                refuseGuesser(res, token.wait);
            } else {
                answer(res, 200,
                       jsonText(nlohmann::json{{"changes", config.token.has_value()}, {"authorized", token.authorized}}));
            }
        } else if (path == "/api/events") {
            serveEvents(req, res);
        } else if (path == "/api/servers") {
            if (auto body = onLoop<std::string>([this] { return jsonText(serversJson(form)); })) {
                answer(res, 200, *body);
            } else {
                refuse(res, 503, "the program did not answer in time");
            }
        } else {
            std::regex_match(path, match, kServerPath);
            const auto index = serverIndex(match[1].str());
            std::optional<std::string> body;
            if (index) {
                body = onLoop<std::string>([this, index] { return jsonText(serverJson(form, *index)); });
            }
            if (index && !body) {
                refuse(res, 503, "the program did not answer in time");
            } else if (!index || *body == "null") {
                refuse(res, 404, "no such server");
            } else {
                answer(res, 200, *body);
            }
        }
        return Handled::Handled;
    });

    http.Put(R"(/api/servers/([0-9]{1,5})/rules)",
             [this](const httplib::Request& req, httplib::Response& res) { putRules(req, res); });
    http.Put(R"(/api/servers/([0-9]{1,5})/grid)",
             [this](const httplib::Request& req, httplib::Response& res) { putGrid(req, res); });
}

void WebServer::Impl::putRules(const httplib::Request& req, httplib::Response& res) {
    std::string why;
    const auto change = parseRulesChange(req.body, why);
    if (!change) {
        refuse(res, 400, why);
        return;
    }
    const auto index = serverIndex(req.matches[1].str());
    std::optional<std::string> body;
    if (index) {
        body = onLoop<std::string>([this, index, change = *change] {
            if (form.server(*index) == nullptr || *index == app::frmMain::kTemplateIndex) {
                return std::string("null");
            }
            applyRulesChange(form, *index, change);
            return jsonText(serverJson(form, *index));
        });
    }
    if (index && !body) {
        refuse(res, 503, "the program did not answer in time");
    } else if (!index || *body == "null") {
        refuse(res, 404, "no such server");
    } else {
        answer(res, 200, *body);
    }
}

void WebServer::Impl::putGrid(const httplib::Request& req, httplib::Response& res) {
    std::string why;
    const auto users = parseGridUsers(req.body, why);
    if (!users) {
        refuse(res, 400, why);
        return;
    }
    const auto index = serverIndex(req.matches[1].str());
    // 0: done; 1: no such server; 2: refused, with the reason in the text.
    using Outcome = std::pair<int, std::string>;
    std::optional<Outcome> outcome;
    if (index) {
        outcome = onLoop<Outcome>([this, index, users = *users]() -> Outcome {
            if (form.server(*index) == nullptr || *index == app::frmMain::kTemplateIndex) {
                return {1, {}};
            }
            if (std::string refused = form.ArrangeGrid(*index, users); !refused.empty()) {
                return {2, refused};
            }
            return {0, jsonText(serverJson(form, *index))};
        });
    }
    if (index && !outcome) {
        refuse(res, 503, "the program did not answer in time");
    } else if (!index || outcome->first == 1) {
        refuse(res, 404, "no such server");
    } else if (outcome->first == 2) {
        refuse(res, 400, outcome->second);
    } else {
        answer(res, 200, outcome->second);
    }
}

void WebServer::Impl::serveEvents(const httplib::Request& req, httplib::Response& res) {
    if (req.method == "HEAD") {
        res.status = 200;
        res.set_header("Content-Type", "text/event-stream");
        return;
    }
    if (!hub.reserve()) {
        refuse(res, 503, "too many event streams open");
        return;
    }
    // The head goes out now; the body, which ends when the connection does,
    // is the hub's. What httplib writes after this goes nowhere.
    static constexpr char kHead[] = "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-store\r\n"
                                    "X-Content-Type-Options: nosniff\r\nX-Accel-Buffering: no\r\n"
                                    "Connection: close\r\n\r\n";
    if (tStream == nullptr || tStream->write(kHead, sizeof kHead - 1) != static_cast<ssize_t>(sizeof kHead - 1)) {
        hub.unreserve();
        tCloseAfterResponse = true;
        return;
    }
    tStream->discardWrites();
    tHandOff = true;
}

WebServer::WebServer(app::frmMain& form, platform::EventLoop& loop, WebConfig config)
    : impl_(std::make_unique<Impl>(form, loop, std::move(config))) {}

WebServer::~WebServer() {
    stop();
    Impl& s = *impl_;
    // The threads run at the lowest priority: on a busy host they may take
    // seconds to see the stop, which is why this waits here and not in
    // stop(), after the program has said goodbye to its servers.
    if (s.listener.joinable()) {
        s.listener.join();
    }
    s.hub.stop();
}

std::string WebServer::start() {
    Impl& s = *impl_;
    if (!s.queue.error().empty()) {
        return s.queue.error();
    }
    s.routes();
    const std::string where = s.config.address.host + ":" + std::to_string(s.config.address.port);
    if (s.config.address.port == 0) {
        const int picked = s.http.bind_to_any_port(s.config.address.host);
        if (picked <= 0) {
            return "cannot serve the web page on " + where + ": no port to bind";
        }
        s.port = static_cast<std::uint16_t>(picked);
    } else {
        if (!s.http.bind_to_port(s.config.address.host, s.config.address.port)) {
            return "cannot serve the web page on " + where + ": the address is in use or not this machine's";
        }
        s.port = s.config.address.port;
    }
    s.http.widenBacklog();
    s.http.takeStream = [&s](sys::Fd fd) { s.hub.add(fd); };
    s.hub.start();
    s.form.KeepRecentLines(kStatusLines);
    const auto mark = [&s](std::int16_t index) {
        if (s.dirty.empty()) {
            s.firstChange = s.loop.clock().monotonicNow();
        }
        s.dirty.insert(index);
        s.changedSinceLook = true;
    };
    for (auto* signal : {&s.form.statusChanged, &s.form.serverAdded, &s.form.serverRemoving}) {
        s.links.emplace_back(signal, signal->connect(mark));
    }
    s.links.emplace_back(&s.form.serverAdded, s.form.serverAdded.connect([&s](std::int16_t index) {
        s.incarnations[index] = ++s.lastIncarnation;
    }));
    for (const auto index : s.form.serverIndices()) {
        s.dirty.insert(index);
    }
    s.publish();
    s.publishTimer = s.loop.startTimer(kLookEvery, [&s] {
        const bool quiet = !s.changedSinceLook;
        s.changedSinceLook = false;
        if (quiet || s.loop.clock().monotonicNow() - s.firstChange >= kPublishAtLatest) {
            s.publish();
        }
    });
    s.listener = std::thread([&s] { s.http.listen_after_bind(); });
    s.running = true;
    // httplib's stop() does nothing to a server whose thread has not begun
    // to listen, which would then listen for good: stop() must find it running.
    for (int i = 0; i < 2000 && !s.http.is_running(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return {};
}

void WebServer::stop() {
    Impl& s = *impl_;
    if (!s.running) {
        return;
    }
    s.running = false;
    s.stopping = true;
    s.queue.close();
    s.http.stop();
    if (s.publishTimer) {
        s.loop.stopTimer(*s.publishTimer);
    }
    for (auto& [signal, connection] : s.links) {
        signal->disconnect(connection);
    }
    s.links.clear();
}

std::uint16_t WebServer::port() const { return impl_->port; }

std::string WebServer::announcement() const {
    const Impl& s = *impl_;
    const std::string url = "http://" + s.config.address.host + ":" + std::to_string(s.port) + "/";
    const std::string changes = s.config.token ? "changes need the token from --web-token-file"
                                               : "read-only (no --web-token-file)";
    if (s.config.address.loopback()) {
        return "web page on " + url + " (this machine only); " + changes;
    }
    return "web page on " + url + ": reachable from the network; " + changes;
}

} // namespace pm::web
