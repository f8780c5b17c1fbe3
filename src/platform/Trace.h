#pragma once
// The developers' diagnostic trace (status and error lines). Off by default;
// when off it costs one branch: callers pass a lambda that is only invoked
// when the trace is on, so no text is formatted on the reception path.

#include <functional>
#include <string>
#include <string_view>

#include "platform/Clock.h"

namespace pm::platform {

class Trace {
public:
    using Sink = std::function<void(std::string_view line)>;

    explicit Trace(Clock& clock) : clock_(clock) {}

    void enable(Sink sink) { sink_ = std::move(sink); }
    void disable() { sink_ = nullptr; }
    bool on() const { return static_cast<bool>(sink_); }

    void WriteStatus(std::string_view text) {
        if (on()) {
            writeLine("", text);
        }
    }
    void WriteError(int code, std::string_view text) {
        if (on()) {
            writeLine("error " + std::to_string(code) + ": ", text);
        }
    }
    // Formats only when the trace is on.
    template <typename MakeText> void status(MakeText&& make) {
        if (on()) {
            writeLine("", make());
        }
    }

private:
    void writeLine(const std::string& prefix, std::string_view text) {
        std::string line = formatLocalDateTime(clock_.wallNow());
        line += ": ";
        line += prefix;
        line += text;
        sink_(line);
    }

    Clock& clock_;
    Sink sink_;
};

// The application's event log, where the hook records its failures.
class EventLog {
public:
    using Sink = std::function<void(std::string_view entry)>;
    explicit EventLog(Sink sink = nullptr) : sink_(std::move(sink)) {}
    void setSink(Sink sink) { sink_ = std::move(sink); }
    void LogEvent(std::string_view entry) {
        if (sink_) {
            sink_(entry);
        }
    }

private:
    Sink sink_;
};

} // namespace pm::platform
