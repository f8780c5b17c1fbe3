#pragma once
// Scenario commands typed while the sim serves: each line from a file
// descriptor (stdin) is parsed and run as it arrives, so a person can join
// drivers, vote, look at a screen ("show NAME") and click on it. A bad line
// is reported and the next one is read; end of input just stops reading.

#include <functional>
#include <string>
#include <string_view>

#include "platform/EventLoop.h"
#include "sim/ScenarioRunner.h"

namespace pm::sim {

class Console {
public:
    using ErrorSink = std::function<void(std::string_view)>;

    Console(platform::EventLoop& loop, ScenarioRunner& runner, int fd, std::string source = "stdin");
    ~Console();
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    void setErrorSink(ErrorSink sink) { errors_ = std::move(sink); }
    bool open() const { return watch_ != 0; }

    // One chunk of input, as read; complete lines run at once.
    void feed(std::string_view chunk);

private:
    void readable();
    void stop();

    platform::EventLoop& loop_;
    ScenarioRunner& runner_;
    int fd_;
    std::string source_;
    platform::EventLoop::WatchId watch_ = 0;
    std::string pending_;
    int lineNumber_ = 0;
    ErrorSink errors_;
};

} // namespace pm::sim
