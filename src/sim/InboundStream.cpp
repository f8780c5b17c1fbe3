#include "sim/InboundStream.h"

#include "insim/Packets.h"

namespace pm::sim {

namespace {

constexpr std::size_t kIsiLength = 44;
constexpr std::uint8_t kIsiSizeInBytes = 44;
constexpr std::uint8_t kIsiSizeInUnits = 11;

} // namespace

void InboundStream::feed(std::span<const std::uint8_t> bytes) {
    if (broken()) {
        return; // nothing after the fault can be framed
    }
    // Compact only once the taken part outweighs the rest, so a stream fed
    // a byte at a time is not copied once per byte.
    if (start_ > 0 && start_ >= buffer_.size() / 2) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
        start_ = 0;
    }
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

std::size_t InboundStream::lengthOf(std::uint8_t size, std::uint8_t type) {
    if (type == insim::ISP_ISI) {
        // Framed by its type, so a client may open again in another
        // generation on the same stream.
        if (size == kIsiSizeInBytes || size == kIsiSizeInUnits) {
            unit_ = size == kIsiSizeInBytes ? 1 : 4;
            return kIsiLength;
        }
        broken_ = "IS_ISI with Size byte " + std::to_string(size) + " (44 or 11 expected)";
        return 0;
    }
    if (unit_ == 0) {
        broken_ = "the stream does not open with an IS_ISI (type " + std::to_string(type) + " came first)";
        return 0;
    }
    if (unit_ == 1 && size % 4 != 0) {
        broken_ = "Size byte " + std::to_string(size) + " is no multiple of 4 bytes";
        return 0;
    }
    return static_cast<std::size_t>(size) * static_cast<std::size_t>(unit_);
}

std::optional<std::vector<std::uint8_t>> InboundStream::next() {
    if (broken() || buffered() == 0) {
        return std::nullopt;
    }
    const std::uint8_t* head = buffer_.data() + start_;
    if (head[0] == 0) {
        broken_ = "Size byte 0"; // known before the type arrives
        return std::nullopt;
    }
    if (buffered() < 2) {
        return std::nullopt;
    }
    const std::size_t length = lengthOf(head[0], head[1]);
    if (length == 0 || buffered() < length) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> packet(head, head + length);
    start_ += length;
    if (start_ == buffer_.size()) {
        buffer_.clear();
        start_ = 0;
    }
    return packet;
}

} // namespace pm::sim
