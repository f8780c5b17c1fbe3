#include "insim/StreamFramer.h"

#include <algorithm>

namespace pm::insim {

void StreamFramer::append(std::span<const std::uint8_t> bytes) {
    if (!fault_.empty() || bytes.empty()) {
        return;
    }
    // What was handed out goes before new bytes come in, so the buffer never
    // holds more than one unfinished packet and the latest read.
    if (head_ == buffer_.size()) {
        buffer_.clear();
        head_ = 0;
    } else if (head_ > 0) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(head_));
        head_ = 0;
    }
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

std::optional<std::span<const std::uint8_t>> StreamFramer::next() {
    if (!fault_.empty() || buffered() == 0) {
        return std::nullopt;
    }
    const std::uint8_t sizeByte = buffer_[head_];
    const std::size_t length = static_cast<std::size_t>(sizeByte) * static_cast<std::size_t>(sizeUnit_);
    if (sizeByte == 0) {
        fault_ = "a packet with Size 0";
        return std::nullopt;
    }
    if (length < kSmallestPacket || length > kLargestPacket) {
        fault_ = "a packet with Size " + std::to_string(sizeByte) + ", which no packet has";
        return std::nullopt;
    }
    if (buffered() < length) {
        return std::nullopt;
    }
    // A copy, so that a handler that resets the stream, or feeds it, cannot
    // pull the bytes from under the packet it is reading.
    std::copy_n(buffer_.begin() + static_cast<std::ptrdiff_t>(head_), length, packet_.begin());
    head_ += length;
    return std::span<const std::uint8_t>(packet_.data(), length);
}

void StreamFramer::reset() {
    buffer_.clear();
    head_ = 0;
    fault_.clear();
}

} // namespace pm::insim
