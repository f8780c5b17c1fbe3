#include "web/WebAccess.h"

#include <algorithm>

#include <cctype>
#include <fstream>
#include <sstream>

#include "platform/SysSocket.h"

namespace pm::web {

bool ListenAddress::loopback() const { return host.rfind("127.", 0) == 0; }

std::optional<ListenAddress> parseListenAddress(std::string_view text, std::string& why) {
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0 || colon + 1 == text.size()) {
        why = "--web wants ADDR:PORT, such as 127.0.0.1:8270";
        return std::nullopt;
    }
    ListenAddress out;
    out.host = std::string(text.substr(0, colon));
    if (out.host == "localhost") {
        out.host = "127.0.0.1";
    }
    // Dotted quads only: the system also reads "0x7f.1" or "2130706433" as
    // addresses, which no one means and loopback() could not judge.
    const bool dottedQuad = std::count(out.host.begin(), out.host.end(), '.') == 3 &&
                            out.host.find_first_not_of("0123456789.") == std::string::npos &&
                            out.host.find("..") == std::string::npos && out.host.front() != '.' &&
                            out.host.back() != '.';
    std::uint32_t ip = 0;
    if (!dottedQuad || !platform::sys::parseIPv4(out.host, ip)) {
        why = "--web: '" + std::string(text.substr(0, colon)) + "' is not an IPv4 address (such as 127.0.0.1)";
        return std::nullopt;
    }
    const std::string_view port = text.substr(colon + 1);
    unsigned long value = 0;
    for (const char c : port) {
        if (!std::isdigit(static_cast<unsigned char>(c)) || port.size() > 5) {
            why = "--web: '" + std::string(port) + "' is not a port (0 to 65535)";
            return std::nullopt;
        }
        value = value * 10 + static_cast<unsigned long>(c - '0');
    }
    if (value > 65535) {
        why = "--web: '" + std::string(port) + "' is not a port (0 to 65535)";
        return std::nullopt;
    }
    out.port = static_cast<std::uint16_t>(value);
    return out;
}

std::optional<std::string> readTokenFile(const std::string& path, std::string& why) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        why = "the token file '" + path + "' cannot be read";
        return std::nullopt;
    }
    // A token travels in one header line; a longer first line is no token
    // (and a file such as /dev/zero has no end).
    constexpr std::size_t kMaxLine = 4096;
    std::string line;
    char c = 0;
    while (in.get(c) && c != '\n') {
        if (line.size() == kMaxLine) {
            why = "the token in '" + path + "' is longer than " + std::to_string(kMaxLine) + " characters";
            return std::nullopt;
        }
        line += c;
    }
    if (in.bad()) {
        why = "the token file '" + path + "' cannot be read";
        return std::nullopt;
    }
    const auto blank = [](unsigned char c) { return std::isspace(c) != 0; };
    while (!line.empty() && blank(static_cast<unsigned char>(line.back()))) {
        line.pop_back();
    }
    std::size_t start = 0;
    while (start < line.size() && blank(static_cast<unsigned char>(line[start]))) {
        ++start;
    }
    line.erase(0, start);
    if (line.empty()) {
        why = "the token file '" + path + "' holds no token on its first line";
        return std::nullopt;
    }
    for (const char c : line) {
        // It travels in an HTTP header: visible ASCII only.
        if (static_cast<unsigned char>(c) < 0x21 || static_cast<unsigned char>(c) > 0x7e) {
            why = "the token in '" + path + "' holds a blank or a character that is not plain ASCII";
            return std::nullopt;
        }
    }
    if (line.size() < kMinTokenLength) {
        why = "the token in '" + path + "' is shorter than " + std::to_string(kMinTokenLength) +
              " characters (make one with: openssl rand -hex 32)";
        return std::nullopt;
    }
    return line;
}

bool bearerMatches(std::string_view header, std::string_view token) {
    constexpr std::string_view kScheme = "Bearer ";
    if (token.empty() || header.size() < kScheme.size()) {
        return false;
    }
    bool schemeOk = true;
    for (std::size_t i = 0; i < kScheme.size(); ++i) {
        schemeOk &= std::tolower(static_cast<unsigned char>(header[i])) ==
                    std::tolower(static_cast<unsigned char>(kScheme[i]));
    }
    const std::string_view given = header.substr(kScheme.size());
    // Every byte of the token is looked at whatever the guess, and the
    // length's difference is folded in rather than returned early.
    unsigned diff = given.size() == token.size() ? 0U : 1U;
    for (std::size_t i = 0; i < token.size(); ++i) {
        const unsigned char g = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
        diff |= static_cast<unsigned>(g ^ static_cast<unsigned char>(token[i]));
    }
    return schemeOk && diff == 0;
}

std::chrono::seconds TokenGuessLimit::waitFor(const std::string& address, Clock::time_point now) const {
    std::lock_guard lock(mutex_);
    return waitLocked(address, now);
}

void TokenGuessLimit::wrong(const std::string& address, Clock::time_point now) { (void)tryToken(address, false, now); }

std::chrono::seconds TokenGuessLimit::tryToken(const std::string& address, bool right, Clock::time_point now) {
    std::lock_guard lock(mutex_);
    if (const auto wait = waitLocked(address, now); wait.count() > 0) {
        return wait;
    }
    // A crowd of addresses guessing within the minute fills the table. A new
    // one then waits for room rather than push out a count still running,
    // which a guesser with many addresses could do to its own.
    // Only the right token makes an address trusted, so no guesser can
    // push the administrator's out of that list.
    if (tries_.size() >= kMostAddresses && tries_.count(address) == 0 && trusted_.count(address) == 0) {
        std::erase_if(tries_, [&](const auto& entry) { return now - entry.second.since >= kWindow; });
        if (tries_.size() >= kMostAddresses) {
            const auto oldest = std::min_element(tries_.begin(), tries_.end(), [](const auto& a, const auto& b) {
                return a.second.since < b.second.since;
            });
            return std::max(std::chrono::seconds(1),
                            std::chrono::ceil<std::chrono::seconds>(oldest->second.since + kWindow - now));
        }
    }
    if (!right) {
        wrongLocked(address, now);
    } else {
        if (trusted_.size() >= kMostTrusted && trusted_.count(address) == 0) {
            trusted_.erase(std::min_element(trusted_.begin(), trusted_.end(), [](const auto& a, const auto& b) {
                return a.second < b.second;
            }));
        }
        trusted_[address] = now;
    }
    return std::chrono::seconds(0);
}

std::chrono::seconds TokenGuessLimit::waitLocked(const std::string& address, Clock::time_point now) const {
    const auto it = tries_.find(address);
    if (it == tries_.end() || it->second.wrong < kWrongAllowed) {
        return std::chrono::seconds(0);
    }
    const auto left = it->second.since + kWindow - now;
    if (left <= Clock::duration::zero()) {
        return std::chrono::seconds(0);
    }
    // Rounded up: a client told 0 would come back at once, to be refused.
    return std::chrono::ceil<std::chrono::seconds>(left);
}

void TokenGuessLimit::wrongLocked(const std::string& address, Clock::time_point now) {
    auto it = tries_.find(address);
    if (it != tries_.end() && now - it->second.since >= kWindow) {
        it->second = Tries{now, 0};
    }
    if (it == tries_.end()) {
        it = tries_.emplace(address, Tries{now, 0}).first; // tryToken made room
    }
    ++it->second.wrong;
}

} // namespace pm::web
