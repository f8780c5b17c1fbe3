#include "insim/modByteHelper.h"

#include "platform/CodePage.h"

#include <bit>
#include <cstring>

namespace pm::insim {

namespace {

bool fits(std::size_t size, int position, int width) {
    return position >= 0 && static_cast<std::size_t>(position) + width <= size;
}

// Like a whole-text Replace: left to right, matches do not overlap, and the
// replacement is not searched again in the same pass.
void replaceAll(std::string& text, std::string_view from, std::string_view to) {
    std::size_t pos = text.find(from);
    if (pos == std::string::npos) {
        return;
    }
    std::string out;
    out.reserve(text.size());
    std::size_t done = 0;
    while (pos != std::string::npos) {
        out.append(text, done, pos - done);
        out.append(to);
        done = pos + from.size();
        pos = text.find(from, done);
    }
    out.append(text, done, std::string::npos);
    text = std::move(out);
}

struct CaretCode {
    std::string_view code;
    std::string_view plain;
};

// The order matters: see DecodeCarets.
constexpr CaretCode kCaretCodes[] = {
    {"^0", ""},  {"^1", ""},  {"^2", ""},  {"^3", ""},   {"^4", ""},  {"^5", ""},   {"^6", ""},
    {"^7", ""},  {"^8", ""},  {"^9", ""},  {"^a", "*"},  {"^c", ":"}, {"^d", "\\"}, {"^l", "<"},
    {"^q", "?"}, {"^r", ">"}, {"^s", "/"}, {"^t", "\""}, {"^v", "|"}, {"^L", ""},   {"^G", ""},
    {"^C", ""},  {"^J", ""},  {"^E", ""},  {"^T", ""},   {"^B", ""},
};

} // namespace

std::string DecodeCarets(std::string text) {
    if (text.find('^') == std::string::npos) {
        return text;
    }
    for (const auto& code : kCaretCodes) {
        replaceAll(text, code.code, code.plain);
    }
    return text;
}

std::string DecodeCaretsKeepingColours(std::string text) {
    if (text.find('^') == std::string::npos) {
        return text;
    }
    constexpr std::size_t kColours = 10; // ^0 to ^9 lead the table
    for (std::size_t i = kColours; i < std::size(kCaretCodes); ++i) {
        replaceAll(text, kCaretCodes[i].code, kCaretCodes[i].plain);
    }
    return text;
}

namespace {

std::string fieldAsUtf8(std::span<const std::uint8_t> data, int start, int length) {
    if (start < 0 || static_cast<std::size_t>(start) >= data.size() || length <= 0) {
        return {};
    }
    const auto field = data.subspan(start).first(
        std::min(data.size() - static_cast<std::size_t>(start), static_cast<std::size_t>(length)));
    std::string text;
    text.reserve(field.size());
    for (const auto byte : field) {
        if (byte == 0) {
            break;
        }
        platform::appendCp1252AsUtf8(text, byte);
    }
    return text;
}

} // namespace

std::string BytesToStringWithColours(std::span<const std::uint8_t> data, int start, int length) {
    return DecodeCaretsKeepingColours(fieldAsUtf8(data, start, length));
}

std::string BytesToString(std::span<const std::uint8_t> data, int start, int length) {
    return DecodeCarets(fieldAsUtf8(data, start, length));
}

void StringToBytes(std::span<std::uint8_t> data, std::string_view text, int start, int count) {
    if (start < 0 || static_cast<std::size_t>(start) >= data.size() || count <= 0) {
        return;
    }
    const auto room =
        std::min(data.size() - static_cast<std::size_t>(start), static_cast<std::size_t>(count));
    platform::utf8ToCp1252(text, data.subspan(start, room));
}

std::int32_t GetWord(std::span<const std::uint8_t> data, int position) {
    if (!fits(data.size(), position, 2)) {
        return 0;
    }
    return data[position] + 256 * data[position + 1];
}

void PutWord(std::span<std::uint8_t> data, std::int32_t value, int position) {
    if (!fits(data.size(), position, 2)) {
        return;
    }
    const auto word = static_cast<std::uint16_t>(value);
    data[position] = static_cast<std::uint8_t>(word & 0xFF);
    data[position + 1] = static_cast<std::uint8_t>(word >> 8);
}

std::uint32_t GetDWord(std::span<const std::uint8_t> data, int position) {
    if (!fits(data.size(), position, 4)) {
        return 0;
    }
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        value = (value << 8) | data[position + i];
    }
    return value;
}

void PutDWord(std::span<std::uint8_t> data, std::uint32_t value, int position) {
    if (!fits(data.size(), position, 4)) {
        return;
    }
    for (int i = 0; i < 4; ++i) {
        data[position + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

float GetSingle(std::span<const std::uint8_t> data, int position) {
    if (!fits(data.size(), position, 4)) {
        return 0.0f;
    }
    return std::bit_cast<float>(GetDWord(data, position));
}

void PutSingle(std::span<std::uint8_t> data, float value, int position) {
    PutDWord(data, std::bit_cast<std::uint32_t>(value), position);
}

void SetBit(std::uint8_t& value, int bit) {
    if (bit < 0 || bit > 7) {
        return;
    }
    value = static_cast<std::uint8_t>(value | (1u << bit));
}

bool IsBitSet(std::int32_t value, int bit) {
    if (bit < 0 || bit > 31) {
        return false;
    }
    return ((static_cast<std::uint32_t>(value) >> bit) & 1u) != 0;
}

} // namespace pm::insim
