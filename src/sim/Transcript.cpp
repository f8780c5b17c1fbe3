#include "sim/Transcript.h"

#include <cstdio>

#include "sim/PacketText.h"

namespace pm::sim {

Transcript::Transcript(platform::Clock& clock) : clock_(clock), start_(clock.monotonicNow()) {}

std::chrono::milliseconds Transcript::elapsed() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(clock_.monotonicNow() - start_);
}

std::string Transcript::stamp(std::chrono::milliseconds at) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "[%7.3f]", static_cast<double>(at.count()) / 1000.0);
    return buf;
}

void Transcript::emit(std::string line) {
    if (sink_) {
        sink_(line);
    }
    if (keep_) {
        lines_.push_back(std::move(line));
    }
}

void Transcript::received(std::span<const std::uint8_t> datagram, const insim::WireGeneration& wire,
                          std::string_view suffix) {
    if (listening()) {
        std::string line = stamp(elapsed()) + " <- " + describePacket(datagram, wire);
        if (!suffix.empty()) {
            line += "  ";
            line += suffix;
        }
        emit(std::move(line));
    }
}

void Transcript::sent(std::span<const std::uint8_t> datagram, const insim::WireGeneration& wire,
                      std::string_view suffix) {
    if (listening()) {
        std::string line = stamp(elapsed()) + " -> " + describePacket(datagram, wire);
        if (!suffix.empty()) {
            line += "  ";
            line += suffix;
        }
        emit(std::move(line));
    }
}

void Transcript::note(std::string_view text) {
    if (listening()) {
        emit(stamp(elapsed()) + "    " + std::string(text));
    }
}

} // namespace pm::sim
