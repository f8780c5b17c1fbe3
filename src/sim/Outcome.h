#pragma once
// What a simulated-server operation says when it cannot be carried out.

#include <string>

namespace pm::sim {

struct Outcome {
    std::string error; // empty: done

    static Outcome ok() { return {}; }
    static Outcome fail(std::string why) { return Outcome{std::move(why)}; }
    explicit operator bool() const { return error.empty(); }
};

} // namespace pm::sim
