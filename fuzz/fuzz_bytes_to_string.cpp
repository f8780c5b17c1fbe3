// BytesToString with any start and length over any bytes, and the text
// helpers around it. Input: start (4 bytes, little-endian, signed), length
// (4 bytes), then the bytes of the packet.
//
// What a received text must be, whatever arrived: valid UTF-8 (it goes to
// the window, the log and string comparisons), free of zero bytes, and no
// longer than the bytes it came from allow. A field without caret codes
// must survive the way back into a packet unchanged.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzInput.h"
#include "insim/modByteHelper.h"

using namespace pm;

namespace {

[[noreturn]] void broken(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

bool validUtf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t n = 0;
        std::uint32_t cp = 0;
        if (c < 0x80) {
            n = 1;
            cp = c;
        } else if ((c & 0xE0) == 0xC0) {
            n = 2;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            n = 3;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            n = 4;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + n > s.size()) {
            return false;
        }
        for (std::size_t k = 1; k < n; ++k) {
            const auto cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80) {
                return false;
            }
            cp = (cp << 6) | (cc & 0x3F);
        }
        static constexpr std::uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kLeast[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        i += n;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzInput in({data, size});
    const std::int32_t start = in.int32();
    const std::int32_t length = in.int32();
    const auto bytes = in.rest();

    const std::string text = insim::BytesToString(bytes, start, length);
    if (!validUtf8(text)) {
        broken("BytesToString gave invalid UTF-8");
    }
    if (text.find('\0') != std::string::npos) {
        broken("BytesToString gave a zero byte");
    }
    // One code-page byte is at most three UTF-8 bytes.
    const std::size_t available = (start < 0 || static_cast<std::size_t>(start) >= bytes.size() || length <= 0)
                                      ? 0
                                      : std::min<std::size_t>(bytes.size() - static_cast<std::size_t>(start),
                                                              static_cast<std::size_t>(length));
    if (text.size() > 3 * available) {
        broken("BytesToString gave more text than the field holds");
    }

    // The way back: a field without carets and zeros is what it was.
    if (available > 0) {
        const auto field = bytes.subspan(static_cast<std::size_t>(start), available);
        std::size_t plain = 0;
        while (plain < field.size() && field[plain] != 0 && field[plain] != '^') {
            ++plain;
        }
        if (plain == field.size() || field[plain] == 0) {
            std::vector<std::uint8_t> back(plain, 0);
            insim::StringToBytes(back, text, 0, static_cast<int>(plain));
            if (!std::equal(back.begin(), back.end(), field.begin())) {
                broken("a plain text did not survive the way back into a packet");
            }
        }
    }

    // The writers must stay inside the array for any position.
    std::vector<std::uint8_t> packet(bytes.begin(), bytes.end());
    insim::StringToBytes(packet, text, start, length);
    insim::PutWord(packet, length, start);
    insim::PutDWord(packet, static_cast<std::uint32_t>(length), start);
    (void)insim::GetWord(bytes, start);
    (void)insim::GetDWord(bytes, length);
    (void)insim::GetSingle(bytes, start);
    return 0;
}
