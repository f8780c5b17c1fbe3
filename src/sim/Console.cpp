#include "sim/Console.h"

namespace pm::sim {

Console::Console(platform::EventLoop& loop, ScenarioRunner& runner, platform::InputStream::Source input,
                 std::string source)
    : runner_(runner), source_(std::move(source)) {
    runner_.setInteractive(true);
    runner_.start();
    input_ = std::make_unique<platform::InputStream>(
        loop, input, [this](std::string_view chunk) { feed(chunk); },
        [this] {
            // A last line without its line end still counts.
            if (!pending_.empty()) {
                feed("\n");
            }
        });
}

Console::~Console() = default;

void Console::feed(std::string_view chunk) {
    // What was pending holds no line end: a long paste without one is
    // searched once, not again for every chunk.
    const std::size_t from = pending_.size();
    pending_.append(chunk);
    std::size_t start = 0;
    for (auto end = pending_.find('\n', from); end != std::string::npos; end = pending_.find('\n', start)) {
        auto parsed =
            parseScenarioLine(std::string_view(pending_).substr(start, end - start), source_, ++lineNumber_);
        start = end + 1;
        if (!parsed.error.empty()) {
            if (errors_) {
                errors_(parsed.error);
            }
        } else if (parsed.step) {
            runner_.append({std::move(*parsed.step)});
        }
    }
    pending_.erase(0, start);
}

} // namespace pm::sim
