#pragma once
// The web page, its JSON API, its event stream and its metrics, served by
// cpp-httplib on threads of its own. Nothing here touches the servers' state
// from those threads: a request that needs it is handed to the loop as one
// task and answered from there, and the event stream reads a snapshot that
// the loop publishes. The loop never waits for a browser.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "app/frmMain.h"
#include "platform/EventLoop.h"
#include "web/WebAccess.h"

namespace pm::web {

// How long a connection may take over what it does. Tests shorten them.
struct WebTimeLimits {
    // A request's line, headers and body must all have come within this.
    std::chrono::milliseconds request{10000};
    // The longest wait for a socket to read from or write to.
    std::chrono::milliseconds ioWait{5000};
    // An idle connection is closed after this; so is one that never sends.
    std::chrono::milliseconds keepAlive{3000};
};

struct WebConfig {
    ListenAddress address;
    // The token changes need; none: the page and the API are read-only.
    std::optional<std::string> token;
    WebTimeLimits limits;
};

class WebServer {
public:
    // Threads that answer requests; an open event stream holds one.
    static constexpr int kWorkers = 96;
    // Connections open at once, answered or waiting for a thread; one more
    // gets a 503 and is closed at once.
    static constexpr int kMaxOpenConnections = 160;
    static constexpr int kMaxEventStreams = 64;
    static constexpr std::size_t kMaxBody = 64 * 1024;
    static constexpr int kRequestsPerConnection = 100;
    // Changes are copied for the event streams once the servers have been
    // quiet for a look (the end of a vote's burst, not its middle), or, while
    // they never are, this long after the first change.
    static constexpr std::chrono::milliseconds kLookEvery{50};
    static constexpr std::chrono::milliseconds kPublishAtLatest{1000};
    // A request the loop has not answered in this long gets a 503.
    static constexpr std::chrono::seconds kLoopAnswerWait{5};
    // A comment on a quiet event stream, so proxies keep it open.
    static constexpr std::chrono::seconds kEventKeepAlive{15};
    // The last status lines a server's card shows.
    static constexpr std::size_t kStatusLines = 50;

    WebServer(app::frmMain& form, platform::EventLoop& loop, WebConfig config);
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // Binds and starts serving; on the loop's thread. Empty, or why not.
    std::string start();
    // Stops serving, on the loop's thread, and returns at once: from here on
    // nothing reaches the window's logic or the loop, and every connection
    // ends as its thread sees the stop. The destructor waits for the
    // threads; the window's logic may go before it.
    void stop();

    // The port served (the one picked, when the address asked for 0).
    std::uint16_t port() const;
    // The status line that says where the page is and who may change things.
    std::string announcement() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace pm::web
