#include "insim/modByteHelper.h"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>

namespace pm::insim {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytesOf(std::string_view ascii, std::size_t size) {
    Bytes out(size, 0);
    std::copy(ascii.begin(), ascii.end(), out.begin());
    return out;
}

TEST(ByteHelper, DecodeCaretsAppliesTheCodesInOrder) {
    struct Row {
        const char* in;
        const char* out;
    };
    const Row rows[] = {
        {"^1John^7 ^aFast", "John *Fast"},
        {"plain", "plain"},
        {"^cC", ":C"},
        {"^CC", "C"}, // case-sensitive: ^C is a code-page switch
        {"^h", "^h"},
        {"^^", "^^"},
        {"a^", "a^"},
        {"^d^l^q^r^s^t^v", "\\<?>/\"|"},
        {"^L^G^C^J^E^T^B", ""},
        {"^tx^Tx", "\"xx"},
        // A colour code removed first can leave a caret code behind.
        {"^^1c", ":"},
        {"^^12", ""},
        // ...but each pass runs once, left to right, over the text it is given.
        {"^^21", "^1"},
        {"^^a", "^*"},
        {"^^Lc", "^c"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(DecodeCarets(row.in), row.out) << row.in;
    }
}

TEST(ByteHelper, DecodingForDrawingKeepsOnlyTheColourCodes) {
    const struct {
        const char* in;
        const char* out;
    } rows[] = {
        {"^1John^7 ^aFast", "^1John^7 *Fast"},
        {"^L^1Ra^vb", "^1Ra|b"},
        {"^9", "^9"},
        {"a^", "a^"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(DecodeCaretsKeepingColours(row.in), row.out) << row.in;
        EXPECT_EQ(DecodeCarets(DecodeCaretsKeepingColours(row.in)), DecodeCarets(row.in)) << row.in;
    }
}

TEST(ByteHelper, BytesToStringStopsAtZeroLengthOrArrayEnd) {
    const Bytes packet = [] {
        Bytes b(40, 0);
        const std::string_view text = "^1John^7 ^aFast";
        std::copy(text.begin(), text.end(), b.begin() + 4);
        return b;
    }();
    EXPECT_EQ(BytesToString(packet, 4, 24), "John *Fast");

    // A full field has no zero byte; the next field must not leak in.
    const Bytes full = bytesOf("ABCDEFGHIJKLMNOPQRSTUVWXyz", 26);
    EXPECT_EQ(BytesToString(full, 0, 24), "ABCDEFGHIJKLMNOPQRSTUVWX");

    const Bytes shortDatagram = bytesOf("0123456789", 10);
    EXPECT_EQ(BytesToString(shortDatagram, 4, 24), "456789");
    EXPECT_EQ(BytesToString(shortDatagram, 10, 4), "");
    EXPECT_EQ(BytesToString(shortDatagram, -1, 4), "");
    EXPECT_EQ(BytesToString(shortDatagram, 0, 0), "");
    EXPECT_EQ(BytesToString({}, 0, 4), "");
}

TEST(ByteHelper, BytesToStringUsesTheCodePage) {
    const Bytes bytes{0x80, 'x', 0xE9, 0};
    EXPECT_EQ(BytesToString(bytes, 0, 4), "\u20ACx\u00E9");
}

TEST(ByteHelper, StringToBytesWritesCountCharactersAndNothingElse) {
    Bytes buffer(8, 0);
    StringToBytes(buffer, "abcdef", 2, 3);
    EXPECT_EQ(buffer, (Bytes{0, 0, 'a', 'b', 'c', 0, 0, 0}));

    Bytes filled(4, 0xEE);
    StringToBytes(filled, "ab", 0, 4);
    EXPECT_EQ(filled, (Bytes{'a', 'b', 0xEE, 0xEE})) << "no terminator, no padding";

    // Count is in characters, not UTF-8 bytes.
    Bytes wide(4, 0);
    StringToBytes(wide, "\u20AC\u00E9\u65E5x", 0, 3);
    EXPECT_EQ(wide, (Bytes{0x80, 0xE9, '?', 0}));
}

TEST(ByteHelper, StringToBytesNeverWritesOutsideTheArray) {
    Bytes buffer(4, 0);
    StringToBytes(buffer, "abcdef", 2, 10);
    EXPECT_EQ(buffer, (Bytes{0, 0, 'a', 'b'}));
    StringToBytes(buffer, "zz", 4, 2);
    StringToBytes(buffer, "zz", -1, 2);
    StringToBytes(buffer, "zz", 0, 0);
    EXPECT_EQ(buffer, (Bytes{0, 0, 'a', 'b'}));
}

TEST(ByteHelper, WordsAreLittleEndian) {
    EXPECT_EQ(GetWord(Bytes{0x38, 0x00}, 0), 56);
    EXPECT_EQ(GetWord(Bytes{0xFF, 0xFF}, 0), 65535);
    EXPECT_EQ(GetWord(Bytes{9, 0x2C, 0x01}, 1), 300);

    Bytes buffer(3, 0);
    PutWord(buffer, 300, 1);
    EXPECT_EQ(buffer, (Bytes{0, 44, 1}));

    for (const std::int32_t value : {0, 255, 256, 65535}) {
        Bytes b(2, 0);
        PutWord(b, value, 0);
        EXPECT_EQ(GetWord(b, 0), value);
    }
}

TEST(ByteHelper, WordOutsideTheArrayIsZeroAndUnwritten) {
    Bytes buffer{1, 2, 3};
    EXPECT_EQ(GetWord(buffer, 2), 0);
    EXPECT_EQ(GetWord(buffer, -1), 0);
    PutWord(buffer, 0x1234, 2);
    PutWord(buffer, 0x1234, -1);
    EXPECT_EQ(buffer, (Bytes{1, 2, 3}));
}

TEST(ByteHelper, FloatsAndDoubleWordsAreLittleEndian) {
    EXPECT_EQ(GetSingle(Bytes{0x00, 0x00, 0x80, 0x3F}, 0), 1.0f);
    EXPECT_EQ(GetSingle(Bytes{0, 0x00, 0x00, 0x00, 0xBF}, 1), -0.5f);
    EXPECT_EQ(GetSingle(Bytes{0x00, 0x00, 0x80}, 0), 0.0f) << "three bytes are not a float";
    EXPECT_EQ(GetDWord(Bytes{0x12, 0x34, 0x56, 0x78}, 0), 0x78563412u);

    Bytes buffer(4, 0);
    PutSingle(buffer, 0.25f, 0);
    EXPECT_EQ(GetSingle(buffer, 0), 0.25f);
    PutDWord(buffer, 0xDEADBEEF, 0);
    EXPECT_EQ(buffer, (Bytes{0xEF, 0xBE, 0xAD, 0xDE}));
}

TEST(ByteHelper, Bits) {
    EXPECT_TRUE(IsBitSet(5, 2));
    EXPECT_FALSE(IsBitSet(5, 1));
    EXPECT_TRUE(IsBitSet(5, 0));
    EXPECT_TRUE(IsBitSet(std::numeric_limits<std::int32_t>::min(), 31));
    EXPECT_FALSE(IsBitSet(-1, 32));
    EXPECT_FALSE(IsBitSet(-1, -1));

    std::uint8_t byte = 1;
    SetBit(byte, 4);
    EXPECT_EQ(byte, 17);
    SetBit(byte, 4);
    EXPECT_EQ(byte, 17);
    SetBit(byte, 8);
    SetBit(byte, -1);
    EXPECT_EQ(byte, 17);
}

} // namespace
} // namespace pm::insim
