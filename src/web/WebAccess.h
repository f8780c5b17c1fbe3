#pragma once
// Who may reach the web page and who may change things through it: the
// address it listens on (--web ADDR:PORT) and the token that changes need
// (--web-token-file PATH).

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace pm::web {

struct ListenAddress {
    std::string host; // an IPv4 address as text
    std::uint16_t port = 0; // 0: any free port
    bool loopback() const;
};

// "127.0.0.1:8270", "0.0.0.0:8270", "localhost:8270". nullopt with why set
// for anything else.
std::optional<ListenAddress> parseListenAddress(std::string_view text, std::string& why);

// A token shorter than this could be guessed over the network.
inline constexpr std::size_t kMinTokenLength = 16;

// The token in the file: its first line, without surrounding blanks. nullopt
// with why set when the file cannot be read or holds no usable token.
std::optional<std::string> readTokenFile(const std::string& path, std::string& why);

// Whether an Authorization header carries the token. The time taken does
// not depend on how much of the token a guess got right.
bool bearerMatches(std::string_view authorizationHeader, std::string_view token);

// Wrong tokens one client address may send before it is refused for the
// rest of a minute. Sixteen characters cannot be guessed at ten a minute,
// and a client that tries learns nothing more: while refused, even the right
// token is refused unchecked. Behind a proxy every client shares one
// address, and an admin may wait out a stranger's minute.
class TokenGuessLimit {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int kWrongAllowed = 10;
    static constexpr std::chrono::seconds kWindow{60};
    // Addresses remembered at most. Past that, a new address waits for room,
    // unless it gave the right token before: a crowd of guessers must not
    // shut the administrator out of the page they used.
    static constexpr std::size_t kMostAddresses = 4096;
    static constexpr std::size_t kMostTrusted = 64;

    // How long the address must wait before its token is looked at again;
    // zero when it may try now.
    std::chrono::seconds waitFor(const std::string& address, Clock::time_point now) const;
    // A wrong token, as tryToken counts it.
    void wrong(const std::string& address, Clock::time_point now);
    // One try, in one step, so that guesses that come at once cannot all
    // pass before any is counted: how long the address must wait (the try
    // then counts for nothing, right or not), or zero, with a wrong token
    // counted.
    std::chrono::seconds tryToken(const std::string& address, bool right, Clock::time_point now);

private:
    struct Tries {
        Clock::time_point since; // the window's first wrong token
        int wrong = 0;
    };
    std::chrono::seconds waitLocked(const std::string& address, Clock::time_point now) const;
    void wrongLocked(const std::string& address, Clock::time_point now);

    mutable std::mutex mutex_;
    std::map<std::string, Tries> tries_;
    // Addresses that gave the right token, with when they last did.
    std::map<std::string, Clock::time_point> trusted_;
};

} // namespace pm::web
