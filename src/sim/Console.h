#pragma once
// Scenario commands typed while the sim serves: each line from standard
// input is parsed and run as it arrives, so a person can join
// drivers, vote, look at a screen ("show NAME") and click on it. A bad line
// is reported and the next one is read; end of input just stops reading.

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/EventLoop.h"
#include "platform/InputStream.h"
#include "sim/ScenarioRunner.h"

namespace pm::sim {

class Console {
public:
    using ErrorSink = std::function<void(std::string_view)>;

    Console(platform::EventLoop& loop, ScenarioRunner& runner, platform::InputStream::Source input,
            std::string source = "stdin");
    ~Console();
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    void setErrorSink(ErrorSink sink) { errors_ = std::move(sink); }
    bool open() const { return input_ && input_->open(); }

    // One chunk of input, as read; complete lines run at once.
    void feed(std::string_view chunk);

private:
    ScenarioRunner& runner_;
    std::string source_;
    std::unique_ptr<platform::InputStream> input_;
    std::string pending_;
    int lineNumber_ = 0;
    ErrorSink errors_;
};

} // namespace pm::sim
