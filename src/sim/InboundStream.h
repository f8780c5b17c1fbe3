#pragma once
// What a TCP client sends, cut back into whole packets by their Size byte.
// The host's own framing, kept apart from the client's so that a framing
// fault on one side shows on the other.
//
// A stream says its unit in its IS_ISI: that packet is 44 bytes in every
// generation, so Size 44 counts bytes (InSim 4) and Size 11 counts 4-byte
// units (9 and 10); the packets after it are framed so. A stream that does
// not open with an IS_ISI, a Size byte of 0, or a byte count that is no
// multiple of four cannot be framed any further: the stream is broken and
// the host closes it.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace pm::sim {

class InboundStream {
public:
    void feed(std::span<const std::uint8_t> bytes);
    // The next whole packet; nullopt until enough has arrived, or when the
    // stream is broken.
    std::optional<std::vector<std::uint8_t>> next();

    bool broken() const { return !broken_.empty(); }
    const std::string& whyBroken() const { return broken_; }
    // Bytes per Size-byte unit; 0 before the first IS_ISI.
    int unit() const { return unit_; }
    std::size_t buffered() const { return buffer_.size() - start_; }

private:
    // The whole packet's length from its first two bytes; 0 when it cannot
    // be framed (broken_ then says why).
    std::size_t lengthOf(std::uint8_t size, std::uint8_t type);

    std::vector<std::uint8_t> buffer_;
    std::size_t start_ = 0; // packets before it are taken; compacted now and then
    int unit_ = 0;
    std::string broken_;
};

} // namespace pm::sim
