#pragma once
// The web server on a real loopback socket, in front of the window's logic
// on the test's loop. A client's request runs on a thread of its own while
// the test's thread turns the loop, as the program's loop would.

#include <chrono>
#include <future>
#include <memory>
#include <string>

#include "app/AppFixture.h"
#include "web/WebServer.h"

// After the platform's headers: it defines INVALID_SOCKET, which they name.
#include <httplib.h>

namespace pm::test {

inline constexpr const char* kToken = "test-token-0123456789abcdef";
inline constexpr const char* kAdminPassword = "sekrit-admin-pw";

class WebTest : public AppTest {
protected:
    ~WebTest() override { web.reset(); }

    // A server "Club" (index 1) with the admin password set, and the web
    // server on a free port of 127.0.0.1.
    void serve(std::optional<std::string> token = std::string(kToken), web::WebTimeLimits limits = {}) {
        n = addServer("Club");
        views(n).ucInSim.setAdminPW(kAdminPassword);
        web::WebConfig config;
        config.address = {"127.0.0.1", 0};
        config.token = std::move(token);
        config.limits = limits;
        web = std::make_unique<web::WebServer>(*form, stack.loop(), config);
        ASSERT_EQ(web->start(), "");
    }

    // Runs f on a thread of its own, turning the loop until it is done.
    template <class F> auto whileLooping(F f) {
        auto done = std::async(std::launch::async, std::move(f));
        while (done.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready) {
            stack.loop().runOnce(std::chrono::milliseconds(5));
        }
        return done.get();
    }

    httplib::Client client() const {
        httplib::Client c("127.0.0.1", web->port());
        c.set_keep_alive(false);
        return c;
    }

    struct Answer {
        int status = 0; // 0: no answer at all
        std::string body;
        httplib::Headers headers;
    };
    Answer request(const std::string& method, const std::string& path, const std::string& body = {},
                   const std::string& authorization = {}) {
        return whileLooping([this, method, path, body, authorization] {
            httplib::Client c = client();
            httplib::Headers headers;
            if (!authorization.empty()) {
                headers.emplace("Authorization", authorization);
            }
            httplib::Result r = method == "GET"      ? c.Get(path, headers)
                                : method == "HEAD"   ? c.Head(path, headers)
                                : method == "PUT"    ? c.Put(path, headers, body, "application/json")
                                : method == "POST"   ? c.Post(path, headers, body, "application/json")
                                : method == "DELETE" ? c.Delete(path, headers)
                                : method == "PATCH"  ? c.Patch(path, headers, body, "application/json")
                                                     : c.Options(path, headers);
            return r ? Answer{r->status, r->body, r->headers} : Answer{};
        });
    }
    static std::string header(const Answer& a, const std::string& name) {
        const auto it = a.headers.find(name);
        return it == a.headers.end() ? std::string() : it->second;
    }
    Answer get(const std::string& path) { return request("GET", path); }
    Answer put(const std::string& path, const std::string& body, const std::string& token = kToken) {
        return request("PUT", path, body, "Bearer " + token);
    }

    std::int16_t n = 0;
    std::unique_ptr<web::WebServer> web;
};

} // namespace pm::test
