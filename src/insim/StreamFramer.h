#pragma once
// InSim over a stream: the bytes arrive cut anywhere and run together, and
// each packet is told apart only by its Size byte (bytes in InSim 4, units
// of four from InSim 9 on). This turns the stream back into the packets a
// datagram would have carried, each exactly once, in order.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace pm::insim {

class StreamFramer {
public:
    // The largest packet any generation frames: Size 255 in units of four.
    static constexpr std::size_t kLargestPacket = 255 * 4;
    // The smallest thing that can be a packet: Size, Type, ReqI and one byte.
    static constexpr std::size_t kSmallestPacket = 4;

    explicit StreamFramer(int sizeUnit = 1) : sizeUnit_(sizeUnit) {}

    // The unit of the Size byte from now on; a link that changes generation
    // opens a new stream, so nothing buffered is read in the new unit.
    void setSizeUnit(int sizeUnit) { sizeUnit_ = sizeUnit; }
    int sizeUnit() const { return sizeUnit_; }

    // Bytes as the stream delivered them. After a fault, nothing more is taken.
    void append(std::span<const std::uint8_t> bytes);

    // The next whole packet, or nullopt when more bytes are needed or the
    // stream cannot be framed (see fault()). The span stays valid until the
    // next call of next(), whatever else is called meanwhile.
    std::optional<std::span<const std::uint8_t>> next();

    // Why the stream cannot be framed, in plain words; empty while it can.
    // A stream with a fault is of no further use: it has lost its place.
    const std::string& fault() const { return fault_; }

    // Forgets everything, for a new stream.
    void reset();

    std::size_t buffered() const { return buffer_.size() - head_; }

private:
    int sizeUnit_;
    std::vector<std::uint8_t> buffer_;
    std::size_t head_ = 0; // bytes of buffer_ already handed out
    std::array<std::uint8_t, kLargestPacket> packet_{};
    std::string fault_;
};

} // namespace pm::insim
