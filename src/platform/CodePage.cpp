#include "platform/CodePage.h"

#include <algorithm>

namespace pm::platform {

namespace {

// Code points of 0x80..0x9F; the undefined bytes keep their own number.
constexpr char16_t kHighControls[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

constexpr std::uint8_t kNoCode = '?';
constexpr char32_t kInvalid = 0xFFFFFFFF;

void appendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        // Everything in the table lies in the Basic Multilingual Plane.
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

std::uint8_t cp1252FromCodePoint(char32_t cp) {
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) {
        return static_cast<std::uint8_t>(cp);
    }
    for (std::size_t i = 0; i < std::size(kHighControls); ++i) {
        if (kHighControls[i] == cp) {
            return static_cast<std::uint8_t>(0x80 + i);
        }
    }
    return kNoCode;
}

// Decodes the code point at pos and moves pos past it. An invalid sequence
// is consumed as its longest valid-looking prefix (at least one byte), the
// way Unicode recommends substituting, and yields kInvalid.
char32_t nextCodePoint(std::string_view text, std::size_t& pos) {
    const auto lead = static_cast<std::uint8_t>(text[pos++]);
    if (lead < 0x80) {
        return lead;
    }
    int trail = 0;
    char32_t cp = 0;
    // Bounds for the first continuation byte rule out overlong forms,
    // surrogates and values above U+10FFFF.
    std::uint8_t low = 0x80;
    std::uint8_t high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        trail = 1;
        cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        trail = 2;
        cp = lead & 0x0F;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        trail = 3;
        cp = lead & 0x07;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return kInvalid;
    }
    for (int i = 0; i < trail; ++i) {
        if (pos >= text.size()) {
            return kInvalid;
        }
        const auto next = static_cast<std::uint8_t>(text[pos]);
        if (next < low || next > high) {
            return kInvalid;
        }
        low = 0x80;
        high = 0xBF;
        cp = (cp << 6) | (next & 0x3F);
        ++pos;
    }
    return cp;
}

} // namespace

void appendCp1252AsUtf8(std::string& out, std::uint8_t byte) {
    if (byte < 0x80) {
        out.push_back(static_cast<char>(byte));
    } else if (byte < 0xA0) {
        appendUtf8(out, kHighControls[byte - 0x80]);
    } else {
        appendUtf8(out, byte);
    }
}

std::string cp1252ToUtf8(std::span<const std::uint8_t> bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (const auto byte : bytes) {
        appendCp1252AsUtf8(out, byte);
    }
    return out;
}

std::size_t utf8ToCp1252(std::string_view utf8, std::span<std::uint8_t> out) {
    std::size_t written = 0;
    std::size_t pos = 0;
    while (pos < utf8.size() && written < out.size()) {
        const auto byte = static_cast<std::uint8_t>(utf8[pos]);
        if (byte < 0x80) {
            out[written++] = byte;
            ++pos;
            continue;
        }
        const char32_t cp = nextCodePoint(utf8, pos);
        out[written++] = cp == kInvalid ? kNoCode : cp1252FromCodePoint(cp);
    }
    return written;
}

bool isUtf8Text(std::string_view bytes) {
    for (std::size_t pos = 0; pos < bytes.size();) {
        const char32_t cp = nextCodePoint(bytes, pos);
        // C1 controls never stand in text written as UTF-8, but Windows-1252
        // text makes them of a letter and a sign ("\xC2\x80" is "Â€").
        if (cp == kInvalid || (cp >= 0x80 && cp <= 0x9F)) {
            return false;
        }
    }
    return true;
}

std::string utf8WithStrayCp1252(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t pos = 0; pos < bytes.size();) {
        const std::size_t start = pos;
        if (nextCodePoint(bytes, pos) != kInvalid) {
            out.append(bytes.substr(start, pos - start));
            continue;
        }
        for (std::size_t k = start; k < pos; ++k) {
            appendCp1252AsUtf8(out, static_cast<std::uint8_t>(bytes[k]));
        }
    }
    return out;
}

std::vector<std::uint8_t> utf8ToCp1252(std::string_view utf8) {
    const bool ascii = std::all_of(utf8.begin(), utf8.end(),
                                   [](char c) { return static_cast<std::uint8_t>(c) < 0x80; });
    if (ascii) {
        return {utf8.begin(), utf8.end()};
    }
    // UTF-8 never has fewer bytes than code points, so this is an upper bound.
    std::vector<std::uint8_t> out(utf8.size());
    out.resize(utf8ToCp1252(utf8, out));
    return out;
}

} // namespace pm::platform
