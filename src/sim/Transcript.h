#pragma once
// The sim's running commentary: one line per packet received ("<-") and sent
// ("->"), decoded, and notes in between, each stamped with the seconds since
// the sim started. Lines are only formatted when someone listens.

#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "insim/Packets.h"
#include "platform/Clock.h"

namespace pm::sim {

class Transcript {
public:
    using Sink = std::function<void(std::string_view line)>;

    explicit Transcript(platform::Clock& clock);

    void setSink(Sink sink) { sink_ = std::move(sink); }
    // Tests read the lines back; off by default so a long crowd run does not grow.
    void keepLines(bool keep) { keep_ = keep; }
    const std::vector<std::string>& lines() const { return lines_; }
    bool listening() const { return sink_ || keep_; }

    // wire: the generation the datagram is framed in.
    void received(std::span<const std::uint8_t> datagram, const insim::WireGeneration& wire = insim::kWire4,
                  std::string_view suffix = {});
    void sent(std::span<const std::uint8_t> datagram, const insim::WireGeneration& wire = insim::kWire4,
              std::string_view suffix = {});
    // An indented remark about the line before it, or about the world.
    void note(std::string_view text);

    std::chrono::milliseconds elapsed() const;
    // "[ 12.345]" for an offset since the start.
    static std::string stamp(std::chrono::milliseconds at);

private:
    void emit(std::string line);

    platform::Clock& clock_;
    platform::Clock::Monotonic start_;
    Sink sink_;
    bool keep_ = false;
    std::vector<std::string> lines_;
};

} // namespace pm::sim
