// The stream framer over any bytes, cut at any places. Input: the unit of
// the Size byte (first byte: odd for 1, even for 4), a count of cuts and the
// cut places (one byte each), then the stream.
//
// Cutting must never change what comes out: the same packets, in the same
// order, and the same fault at the same place as feeding the stream whole.
// Every packet is exactly as long as its Size byte says, and none is shorter
// than a packet can be.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "insim/StreamFramer.h"

using pm::insim::StreamFramer;
using Bytes = std::vector<std::uint8_t>;

namespace {

[[noreturn]] void broken(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

struct Outcome {
    std::vector<Bytes> packets;
    std::string fault;
};

void take(StreamFramer& framer, Outcome& out, int unit) {
    while (auto p = framer.next()) {
        if (p->empty() || p->size() != static_cast<std::size_t>((*p)[0]) * static_cast<std::size_t>(unit) ||
            p->size() < StreamFramer::kSmallestPacket) {
            broken("a packet not as long as its Size byte says");
        }
        out.packets.emplace_back(p->begin(), p->end());
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const int unit = (data[0] & 1) != 0 ? 1 : 4;
    const std::size_t cuts = std::min<std::size_t>(data[1], size - 2);
    const std::uint8_t* places = data + 2;
    const Bytes stream(data + 2 + cuts, data + size);

    StreamFramer whole(unit);
    Outcome once;
    whole.append(stream);
    take(whole, once, unit);
    once.fault = whole.fault();

    StreamFramer pieces(unit);
    Outcome cut;
    std::size_t at = 0;
    for (std::size_t k = 0; k < cuts && at < stream.size(); ++k) {
        const std::size_t piece = std::min<std::size_t>(places[k], stream.size() - at);
        pieces.append(std::span(stream).subspan(at, piece));
        at += piece;
        take(pieces, cut, unit);
    }
    pieces.append(std::span(stream).subspan(at));
    take(pieces, cut, unit);
    cut.fault = pieces.fault();

    if (cut.packets != once.packets) {
        broken("cutting the stream changed the packets");
    }
    if (cut.fault != once.fault) {
        broken("cutting the stream changed the fault");
    }
    return 0;
}
