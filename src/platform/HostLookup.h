#pragma once
// Host name lookups off the loop's thread. A name server that does not
// answer (a network outage) can hold a lookup for many seconds; the loop
// serves every other server meanwhile. A lookup is waited for only briefly;
// one that takes longer finishes on its own and its answer is taken by the
// next try.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace pm::platform {

class HostLookup {
public:
    // IPv4 addresses in network order; empty when the name is unknown.
    using Resolver = std::function<std::vector<std::uint32_t>(const std::string& name)>;
    enum class State { Done, Failed, Pending };
    struct Result {
        State state = State::Pending;
        std::vector<std::uint32_t> addresses;
    };

    HostLookup(); // the system's resolver
    explicit HostLookup(Resolver resolver);
    ~HostLookup();
    HostLookup(const HostLookup&) = delete;
    HostLookup& operator=(const HostLookup&) = delete;

    // Starts a lookup of name unless one for it is under way, and waits at
    // most `wait` for its answer. An answer is handed out once: the next
    // call asks again, so a changed address is found.
    Result lookup(const std::string& name, std::chrono::milliseconds wait);

    static std::vector<std::uint32_t> systemResolver(const std::string& name);

private:
    struct Job;
    Resolver resolver_;
    std::shared_ptr<Job> job_;
};

} // namespace pm::platform
