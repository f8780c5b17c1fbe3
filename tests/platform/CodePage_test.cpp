#include "platform/CodePage.h"

#include <array>
#include <gtest/gtest.h>
#include <numeric>

namespace pm::platform {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(CodePage, DecodesTheBytesThatDifferFromLatin1) {
    struct Row {
        std::uint8_t byte;
        std::string utf8;
    };
    const Row rows[] = {
        {'A', "A"},         {0x80, "\u20AC"}, // euro sign
        {0x81, "\xC2\x81"},                   // undefined: kept as U+0081
        {0x8A, "\u0160"},                     // S caron
        {0x9D, "\xC2\x9D"},                   // undefined
        {0x9F, "\u0178"},                     // Y diaeresis
        {0xA0, "\xC2\xA0"},                   // no-break space
        {0xE9, "\u00E9"},                     // e acute
        {0xFF, "\u00FF"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(cp1252ToUtf8(Bytes{row.byte}), row.utf8) << "byte " << int(row.byte);
    }
}

TEST(CodePage, EveryByteSurvivesARoundTrip) {
    Bytes all(256);
    std::iota(all.begin(), all.end(), 0);
    EXPECT_EQ(utf8ToCp1252(cp1252ToUtf8(all)), all);
}

TEST(CodePage, OneBytePerCodePointAndQuestionMarkWithoutACode) {
    struct Row {
        const char* name;
        std::string utf8;
        Bytes expected;
    };
    const Row rows[] = {
        {"ascii", "Hello", Bytes{'H', 'e', 'l', 'l', 'o'}},
        {"euro and accents", "\u20AC\u00E9\u00FF", Bytes{0x80, 0xE9, 0xFF}},
        {"no single-byte code", "a\u65E5b", Bytes{'a', '?', 'b'}},
        {"four-byte code point", "\U0001F3C1!", Bytes{'?', '!'}},
        {"C1 control that 1252 redefines", "\xC2\x80", Bytes{'?'}},
        {"C1 control 1252 leaves undefined", "\xC2\x8D", Bytes{0x8D}},
        {"lone continuation byte", "\x80x", Bytes{'?', 'x'}},
        {"truncated sequence", "\xE2\x82x", Bytes{'?', 'x'}},
        {"truncated at the end", "x\xE2\x82", Bytes{'x', '?'}},
        {"overlong slash", "\xC0\xAF", Bytes{'?', '?'}},
        {"surrogate", "\xED\xA0\x80", Bytes{'?', '?', '?'}},
        {"above U+10FFFF", "\xF4\x90\x80\x80", Bytes{'?', '?', '?', '?'}},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(utf8ToCp1252(row.utf8), row.expected) << row.name;
    }
}

TEST(CodePage, BoundedConversionStopsAtTheOutputSize) {
    std::array<std::uint8_t, 2> out{};
    EXPECT_EQ(utf8ToCp1252("\u20ACuro", out), 2u);
    EXPECT_EQ(out[0], 0x80);
    EXPECT_EQ(out[1], 'u');

    std::array<std::uint8_t, 4> roomy{9, 9, 9, 9};
    EXPECT_EQ(utf8ToCp1252("ab", roomy), 2u);
    EXPECT_EQ(roomy[2], 9) << "bytes beyond the text stay untouched";
}

} // namespace
} // namespace pm::platform

TEST(CodePage, Utf8TextIsWhatNoWindows1252WriterMakesByChance) {
    const struct {
        std::string bytes;
        bool utf8;
    } rows[] = {
        {"", true},
        {"plain", true},
        {"Caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8f\x81", true},
        {"Caf\xe9", false},          // Windows-1252's é
        {"\xc2\x80", false},         // a C1 control: Windows-1252's "Â€"
        {"\xc3\xa9\xe9", false},     // one stray byte spoils the rest
        {"\xc0\xaf", false},         // overlong
        {"\xed\xa0\x80", false},     // a surrogate
        {"\xe2\x82", false},         // cut short
    };
    for (const auto& row : rows) {
        EXPECT_EQ(pm::platform::isUtf8Text(row.bytes), row.utf8) << row.bytes;
    }
}
