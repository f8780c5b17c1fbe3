// A stream delivers InSim packets cut anywhere and run together; the framer
// must give back exactly the packets a datagram each would have carried.

#include "insim/StreamFramer.h"

#include <gtest/gtest.h>

#include <random>

using pm::insim::StreamFramer;
using Bytes = std::vector<std::uint8_t>;

namespace {

// A packet of `length` bytes whose Size byte counts in `unit`, its bytes
// numbered so that a packet cut or joined wrongly shows.
Bytes packet(std::size_t length, int unit, std::uint8_t type) {
    Bytes p(length);
    p[0] = static_cast<std::uint8_t>(length / static_cast<std::size_t>(unit));
    p[1] = type;
    for (std::size_t i = 2; i < length; ++i) {
        p[i] = static_cast<std::uint8_t>(type + i);
    }
    return p;
}

std::vector<Bytes> drain(StreamFramer& framer) {
    std::vector<Bytes> out;
    while (auto p = framer.next()) {
        out.emplace_back(p->begin(), p->end());
    }
    return out;
}

// The stream cut at the given places (each a length of a piece; the rest
// goes last).
std::vector<Bytes> feedInPieces(const Bytes& stream, int unit, const std::vector<std::size_t>& pieces) {
    StreamFramer framer(unit);
    std::vector<Bytes> out;
    std::size_t at = 0;
    for (std::size_t piece : pieces) {
        piece = std::min(piece, stream.size() - at);
        framer.append(std::span(stream).subspan(at, piece));
        at += piece;
        for (auto& p : drain(framer)) {
            out.push_back(std::move(p));
        }
    }
    framer.append(std::span(stream).subspan(at));
    for (auto& p : drain(framer)) {
        out.push_back(std::move(p));
    }
    EXPECT_TRUE(framer.fault().empty()) << framer.fault();
    EXPECT_EQ(framer.buffered(), 0u);
    return out;
}

} // namespace

TEST(StreamFramer, packets_cut_anywhere_and_run_together_come_out_whole_once_and_in_order) {
    const struct {
        const char* what;
        int unit;
        std::vector<std::size_t> lengths;
    } rows[] = {
        {"InSim 4: Size in bytes", 1, {44, 4, 8, 136, 252, 4, 36}},
        {"InSim 10: Size in units of four", 4, {44, 4, 8, 1020, 52, 4, 60}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<Bytes> packets;
        Bytes stream;
        for (std::size_t k = 0; k < row.lengths.size(); ++k) {
            packets.push_back(packet(row.lengths[k], row.unit, static_cast<std::uint8_t>(k + 1)));
            stream.insert(stream.end(), packets.back().begin(), packets.back().end());
        }
        EXPECT_EQ(feedInPieces(stream, row.unit, {}), packets) << "all at once";
        EXPECT_EQ(feedInPieces(stream, row.unit, std::vector<std::size_t>(stream.size(), 1)), packets)
            << "a byte at a time";
        std::mt19937 rng(7);
        for (int round = 0; round < 200; ++round) {
            std::vector<std::size_t> cuts;
            for (std::size_t left = stream.size(); left > 0;) {
                const std::size_t piece = std::uniform_int_distribution<std::size_t>(1, 1100)(rng) % left + 1;
                cuts.push_back(piece);
                left -= piece;
            }
            ASSERT_EQ(feedInPieces(stream, row.unit, cuts), packets) << "round " << round;
        }
    }
}

TEST(StreamFramer, a_size_that_frames_no_packet_ends_the_stream) {
    const struct {
        const char* what;
        int unit;
        Bytes stream;
        std::string fault;
    } rows[] = {
        {"Size 0", 4, {0, 3, 0, 0}, "a packet with Size 0"},
        {"Size 0 after a good packet", 1, {4, 3, 0, 1, 0, 3, 0, 0}, "a packet with Size 0"},
        {"shorter than any packet", 1, {2, 3, 0, 0}, "a packet with Size 2, which no packet has"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        StreamFramer framer(row.unit);
        framer.append(row.stream);
        const auto got = drain(framer);
        EXPECT_EQ(framer.fault(), row.fault);
        framer.append(packet(4, row.unit, 5));
        EXPECT_FALSE(framer.next().has_value()) << "a stream that lost its place yields nothing more";
        framer.reset();
        framer.append(packet(4, row.unit, 5));
        ASSERT_TRUE(framer.next().has_value()) << "a new stream frames afresh";
    }
}

TEST(StreamFramer, a_packet_handed_out_survives_a_reset_and_new_bytes_while_it_is_read) {
    StreamFramer framer(1);
    const Bytes first = packet(8, 1, 1);
    Bytes stream = first;
    const Bytes second = packet(12, 1, 2);
    stream.insert(stream.end(), second.begin(), second.end());
    framer.append(stream);
    const auto p = framer.next();
    ASSERT_TRUE(p.has_value());
    framer.reset(); // a handler closes the link while the packet is read
    framer.append(Bytes(64, 9));
    EXPECT_EQ(Bytes(p->begin(), p->end()), first);
}
