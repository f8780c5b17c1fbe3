#pragma once
// How the packet files build and read fields; for Packets*.cpp alone, so that
// callers see only the packets in Packets.h.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "insim/Packets.h"
#include "insim/modByteHelper.h"

namespace pm::insim::detail {

// Starts a packet: the full length zero-filled, then the header.
class Builder {
  public:
    Builder(const WireGeneration& wire, std::uint8_t type, int length, std::uint8_t reqI,
            std::uint8_t byte3 = 0)
        : bytes_(static_cast<std::size_t>(length), 0) {
        bytes_[0] = static_cast<std::uint8_t>(wire.sizeByte(length));
        bytes_[1] = type;
        bytes_[2] = reqI;
        bytes_[3] = byte3;
    }

    Builder& byte(int at, std::uint8_t value) {
        bytes_.at(static_cast<std::size_t>(at)) = value;
        return *this;
    }
    Builder& word(int at, std::uint16_t value) {
        PutWord(bytes_, value, at);
        return *this;
    }
    Builder& dword(int at, std::uint32_t value) {
        PutDWord(bytes_, value, at);
        return *this;
    }
    Builder& single(int at, float value) {
        PutSingle(bytes_, value, at);
        return *this;
    }
    Builder& text(int at, int width, std::string_view value) {
        StringToBytes(bytes_, value, at, width);
        return *this;
    }

    std::vector<std::uint8_t> take() { return std::move(bytes_); }

  private:
    std::vector<std::uint8_t> bytes_;
};

// Reads fields of a received datagram. Each read first checks that the whole
// field is inside; once one is not, the packet is spoiled and result() gives
// nothing.
class Reader {
  public:
    explicit Reader(std::span<const std::uint8_t> datagram) : data_(datagram) {}

    std::uint8_t byte(int at) { return has(at, 1) ? data_[at] : 0; }
    std::uint16_t word(int at) {
        return has(at, 2) ? static_cast<std::uint16_t>(GetWord(data_, at)) : 0;
    }
    std::uint32_t dword(int at) { return has(at, 4) ? GetDWord(data_, at) : 0; }
    float single(int at) { return has(at, 4) ? GetSingle(data_, at) : 0.0f; }
    std::string text(int at, int width) {
        return has(at, width) ? BytesToString(data_, at, width) : std::string{};
    }

    template <typename Packet> std::optional<Packet> result(Packet packet) const {
        if (!ok_) {
            return std::nullopt;
        }
        return packet;
    }

  private:
    bool has(int at, int width) {
        ok_ = ok_ && static_cast<std::size_t>(at) + width <= data_.size();
        return ok_;
    }

    std::span<const std::uint8_t> data_;
    bool ok_ = true;
};

// Bytes a text takes on the wire: one code-page byte per character, and a
// character is one UTF-8 lead byte.
inline int wireBytes(std::string_view text) {
    int n = 0;
    for (const char c : text) {
        n += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
    }
    return n;
}

// How wide a received variable text field is: what arrived behind its start,
// never more than the field's largest size.
inline int receivedWidth(std::span<const std::uint8_t> datagram, int at, int widest) {
    const int arrived = static_cast<int>(datagram.size()) - at;
    return arrived < 0 ? 0 : (arrived < widest ? arrived : widest);
}

} // namespace pm::insim::detail
