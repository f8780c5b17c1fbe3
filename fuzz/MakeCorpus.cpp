// Writes the seed corpus: well-formed inputs for each fuzz target, built
// with the packet layouts' own builders so that they stay right when a
// layout changes. The state store's seeds say where to damage the file its
// target makes itself. Usage: fuzz_make_corpus FOLDER (normally fuzz/corpus);
// the files are small and kept in the repository.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "insim/Packets.h"

using namespace pm::insim;
using Bytes = std::vector<std::uint8_t>;

namespace {

// The datagram targets' input: rules, count, then length-prefixed datagrams,
// each framed for the generation the session's client speaks (auto opens on
// InSim 4 and moves when the host's version says so: see upgrade()).
class Session {
public:
    Session(std::uint8_t rules, std::uint8_t count, const WireGeneration& wire = kWire4)
        : bytes_{rules, count}, wire_(&wire) {}

    Session& packet(const Bytes& d) {
        bytes_.push_back(static_cast<std::uint8_t>(d.size()));
        bytes_.insert(bytes_.end(), d.begin(), d.end());
        return *this;
    }
    Session& seconds(int s) { return action(static_cast<std::uint8_t>(s - 1)); }
    Session& action(std::uint8_t a) {
        bytes_.push_back(0);
        bytes_.push_back(a);
        return *this;
    }
    Session& handshake(const std::string& product = "S2", const std::string& release = "0.7F") {
        IsVer ver;
        ver.Version = release;
        ver.Product = product;
        ver.InSimVer = static_cast<std::uint16_t>(wire_->version);
        packet(ver.toBytes(*wire_));
        IsIsm ism;
        ism.Host = 1;
        ism.HName = "^1Fuzz ^7Server";
        packet(ism.toBytes(*wire_));
        IsSta sta;
        sta.RaceInProg = 1;
        sta.Track = "BL1";
        return packet(sta.toBytes(*wire_));
    }
    // From here on the host answers in another generation.
    Session& upgrade(const WireGeneration& wire) {
        wire_ = &wire;
        return *this;
    }
    Session& driver(std::uint8_t id, const std::string& name, bool admin = false) {
        IsNcn ncn;
        ncn.UCID = id;
        ncn.UName = name;
        ncn.PName = "^3" + name;
        ncn.Admin = admin ? 1 : 0;
        packet(ncn.toBytes(*wire_));
        IsNpl npl;
        npl.PLID = id;
        npl.UCID = id;
        npl.PName = "^3" + name;
        npl.CName = "XFG";
        return packet(npl.toBytes(*wire_));
    }
    Session& finish(std::uint8_t plid, const std::string& name, std::uint8_t position) {
        IsRes res;
        res.PLID = plid;
        res.UName = name;
        res.PName = name;
        res.ResultNum = position;
        res.NumRes = position + 1;
        return packet(res.toBytes(*wire_));
    }
    Session& vote(std::uint8_t action = VOTE_RESTART) {
        IsSmall s;
        s.SubT = SMALL_VTA;
        s.UVal = action;
        return packet(s.toBytes(*wire_));
    }
    Session& chat(std::uint8_t ucid, const std::string& text) {
        IsMso m;
        m.UCID = ucid;
        m.Msg = "Someone : " + text;
        return packet(m.toBytes(*wire_));
    }
    Session& click(std::uint8_t ucid, std::uint8_t id, std::uint8_t flags = ISB_LMB) {
        IsBtc b;
        b.UCID = ucid;
        b.ClickID = id;
        b.CFlags = flags;
        return packet(b.toBytes(*wire_));
    }
    const Bytes& bytes() const { return bytes_; }

private:
    Bytes bytes_;
    const WireGeneration* wire_;
};

void write(const std::filesystem::path& folder, const std::string& name, const Bytes& bytes) {
    std::filesystem::create_directories(folder);
    std::ofstream(folder / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void write(const std::filesystem::path& folder, const std::string& name, const std::string& text) {
    write(folder, name, Bytes(text.begin(), text.end()));
}

constexpr std::uint8_t kLastRace = 1;
constexpr std::uint8_t kReverse = 1 << 2;
constexpr std::uint8_t kCustom = 1 << 4;
constexpr std::uint8_t kTrace = 1 << 5;
constexpr std::uint8_t kInSim9 = 1 << 6;
constexpr std::uint8_t kInSim10 = 2 << 6;
constexpr std::uint8_t kAuto = 3 << 6;
constexpr std::uint8_t kConnectButton = 128;
constexpr std::uint8_t kSendOrder = 130;
constexpr std::uint8_t kListenPortTaken = 131;
constexpr std::uint8_t kRestart = 132;

void datagrams(const std::filesystem::path& dir) {
    Session race(kLastRace | kReverse, 2);
    race.handshake().driver(1, "alice", true).driver(2, "bob").driver(3, "carol");
    race.finish(2, "bob", 0).finish(3, "carol", 1).finish(1, "alice", 2).vote();
    write(dir, "race-and-restart-vote", race.bytes());

    Session custom(kCustom | kTrace, 10);
    custom.handshake().driver(1, "alice", true).driver(2, "bob").driver(3, "carol");
    custom.chat(1, "*custom 1").click(1, 100).click(1, 101, kClickShiftLeft).click(1, 10, kClickShiftRight);
    custom.click(1, 2).vote();
    write(dir, "custom-order-screen", custom.bytes());

    Session commands(kLastRace, 0);
    commands.handshake().driver(1, "alice", true).driver(2, "bob");
    commands.chat(1, "*reverse 5").chat(1, "*lastrace 1").chat(1, "*reorder").chat(2, "*custom 1");
    write(dir, "admin-commands", commands.bytes());

    Session leaving(kLastRace | kReverse, 200);
    leaving.handshake().driver(1, "alice").driver(2, "bob").driver(3, "carol");
    leaving.finish(1, "alice", 0).finish(2, "bob", 1).finish(3, "carol", 2);
    leaving.packet(IsPll{0, 2}.toBytes()).packet(IsCnl{0, 2, 0, 2}.toBytes());
    IsReo reo;
    reo.NumP = 2;
    reo.PLID = {3, 1};
    leaving.packet(reo.toBytes()).vote();
    write(dir, "drivers-leave-then-server-order", leaving.bytes());

    Session demo(kLastRace | kTrace, 3);
    demo.handshake("DEMO").driver(1, "").driver(2, "");
    demo.finish(2, "", 0).finish(1, "", 1).vote().vote(VOTE_QUALIFY);
    write(dir, "demo-server", demo.bytes());

    Session silence(kLastRace, 1);
    silence.handshake().driver(1, "alice").packet(IsTiny{0, TINY_NONE}.toBytes());
    silence.seconds(30).seconds(128).seconds(6).handshake().driver(1, "alice").vote();
    silence.action(128).action(128).action(129).action(130);
    write(dir, "silence-then-reconnect", silence.bytes());

    // A host on 0.8C, InSim 10: sizes in fours, 48 start places.
    Session ten(kLastRace | kReverse | kInSim10, 3, kWire10);
    ten.handshake("S3", "0.8C");
    for (std::uint8_t id = 1; id <= 6; ++id) {
        ten.driver(id, "d" + std::to_string(id), id == 1);
    }
    for (std::uint8_t id = 1; id <= 6; ++id) {
        ten.finish(static_cast<std::uint8_t>(7 - id), "d" + std::to_string(7 - id),
                   static_cast<std::uint8_t>(id - 1));
    }
    ten.chat(1, "*reverse 2").vote().action(kSendOrder);
    write(dir, "insim-10-race-and-vote", ten.bytes());

    Session nine(kLastRace | kCustom | kInSim9, 5, kWire9);
    nine.handshake("S2", "0.7F").driver(1, "alice", true).driver(2, "bob").chat(1, "*custom 1").click(1, 100);
    write(dir, "insim-9-custom-order", nine.bytes());

    // auto: InSim 4 until the host's version names 0.8C, InSim 10 after it.
    Session move(kLastRace | kAuto, 3);
    move.handshake("S3", "0.8C")
        .seconds(1)
        .upgrade(kWire10)
        .handshake("S3", "0.8C")
        .driver(1, "alice")
        .vote();
    write(dir, "auto-moves-to-insim-10", move.bytes());

    // The listen port held by another program, twice, then freed.
    Session taken(kLastRace, 3);
    taken.action(kConnectButton)
        .seconds(31)
        .action(kListenPortTaken)
        .action(kListenPortTaken)
        .seconds(6)
        .seconds(6);
    taken.seconds(6).handshake().driver(1, "alice").vote();
    write(dir, "listen-port-taken", taken.bytes());

    // The program ends in the middle of a race and starts again.
    Session restart(kLastRace | kReverse, 2);
    restart.handshake().driver(1, "alice").driver(2, "bob").finish(2, "bob", 0).action(kRestart);
    restart.seconds(1).handshake().driver(1, "alice").driver(2, "bob").finish(1, "alice", 0).vote();
    write(dir, "restart-mid-race", restart.bytes());
}

// The stream framer's input: the Size byte's unit (odd: bytes, even: fours),
// a count of cuts and the cut places, then the stream.
Bytes stream(bool inFours, const Bytes& cuts, const std::vector<Bytes>& packets) {
    Bytes out{static_cast<std::uint8_t>(inFours ? 0 : 1), static_cast<std::uint8_t>(cuts.size())};
    out.insert(out.end(), cuts.begin(), cuts.end());
    for (const auto& p : packets) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

void streams(const std::filesystem::path& dir) {
    const auto session = [](const WireGeneration& wire) {
        IsVer ver;
        ver.Version = wire.version == 4 ? "0.7F" : "0.8C";
        ver.Product = "S3";
        ver.InSimVer = static_cast<std::uint16_t>(wire.version);
        IsNcn ncn;
        ncn.UCID = 1;
        ncn.UName = "alice";
        IsMso mso;
        mso.UCID = 1;
        mso.Msg = "alice : *reverse 3";
        IsReo reo;
        reo.NumP = 2;
        reo.PLID[0] = 2;
        reo.PLID[1] = 1;
        return std::vector<Bytes>{ver.toBytes(wire), IsTiny{0, TINY_NONE}.toBytes(wire), ncn.toBytes(wire),
                                  mso.toBytes(wire), reo.toBytes(wire)};
    };
    write(dir, "session-in-bytes-whole", stream(false, {}, session(kWire4)));
    write(dir, "session-in-fours-cut-small", stream(true, {1, 1, 2, 3, 5, 8, 13, 21}, session(kWire10)));
    write(dir, "session-in-fours-cut-past-packets", stream(true, {200, 7, 90}, session(kWire9)));
}

// The state store target's input: how the file is damaged (0 pages, 1 pages
// and log, 2 rows, 3 anything), then where and how.
Bytes patchAt(std::uint16_t offset, const Bytes& bytes) {
    Bytes out{static_cast<std::uint8_t>(offset & 0xFF), static_cast<std::uint8_t>(offset >> 8),
              static_cast<std::uint8_t>(bytes.size())};
    out.insert(out.end(), bytes.begin(), bytes.end());
    return out;
}

// A row edit: column, row, kind (0 null, 1 integer, 2 real, 3 text, 4 blob),
// length, bytes.
Bytes edit(std::uint8_t column, std::uint8_t row, std::uint8_t kind, const std::string& value) {
    Bytes out{column, row, kind, static_cast<std::uint8_t>(value.size())};
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

Bytes damage(std::uint8_t kind, const std::vector<Bytes>& parts) {
    Bytes out{kind};
    for (const auto& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

void storeFiles(const std::filesystem::path& dir) {
    constexpr std::uint8_t kName = 0, kOrdinal = 3, kFinish = 4, kStartOrder = 5, kCustomColumn = 8;
    constexpr std::uint8_t kPages = 0, kPagesAndLog = 1, kRows = 2, kAnything = 3;
    write(dir, "sound", Bytes{kPages});
    write(dir, "sound-with-log", Bytes{kPagesAndLog});
    write(dir, "magic", damage(kPages, {patchAt(0, {'S', 'Q', 'L', 'i', 't', 'e', ' ', '2'})}));
    write(dir, "version-of-ours-negative", damage(kPages, {patchAt(60, {0xFF, 0xFF, 0xFF, 0xFD})}));
    write(dir, "version-newer", damage(kPages, {patchAt(60, {0, 0, 0, 9})}));
    write(dir, "another-programs-id", damage(kPages, {patchAt(68, {'M', 'o', 'z', 'i'})}));
    write(dir, "page-size", damage(kPages, {patchAt(16, {0x03, 0x00})}));
    write(dir, "second-page-kind", damage(kPages, {patchAt(4096, {0x0A})}));
    write(dir, "log-header", damage(kPagesAndLog, {patchAt(0x6000, {0x37, 0x7f, 0x06, 0x83})}));
    write(dir, "rows-lists-not-lists",
          damage(kRows, {edit(kStartOrder, 0, 3, "not json"), edit(kFinish, 1, 3, R"({"a":1})")}));
    write(dir, "rows-numbers-not-whole",
          damage(kRows, {edit(kCustomColumn, 0, 3, "yes"), edit(kOrdinal, 1, 2, "\x01\x02")}));
    write(dir, "rows-name-as-bytes", damage(kRows, {edit(kName, 0, 4, "Club")}));
    write(dir, "anything",
          damage(kAnything,
                 {Bytes{'S', 'Q', 'L', 'i', 't', 'e', ' ', 'f', 'o', 'r', 'm', 'a', 't', ' ', '3', 0}}));
}

void startupFiles(const std::filesystem::path& dir) {
    const auto block = [](const std::string& name, const std::string& connect, const std::string& lastRace,
                          const std::string& reverse, const std::string& count) {
        return "[NEW SERVER]\r\nName=" + name +
               "\r\nHost=127.0.0.1\r\nInSim Port=29999\r\nListen Port=30000\r\n" +
               "Admin PW=secret\r\nConnect=" + connect + "\r\nLast Race=" + lastRace +
               "\r\nReverse Top=" + reverse + "\r\nReverse Count=" + count + "\r\n";
    };
    write(dir, "two-servers",
          "servers\r\n" + block("One", "0", "1", "0", "10") + block("Two", "0", "2", "1", "3"));
    write(dir, "connect-at-start", block("Live", "1", "1", "1", "5"));
    write(dir, "cut-short", block("Whole", "0", "1", "0", "7") + "[NEW SERVER]\r\nName=Half\r\nHost=x");
    write(dir, "bad-value", block("Odd", "0", "1.6", "2.5", "x") + block("Never", "0", "0", "0", "0"));
    write(dir, "code-page", block("Caf\xe9 \x80", "0", "1", "0", "10"));
    write(dir, "unix-line-ends", std::string("[NEW SERVER]\nName=U\nHost=h\n"));
}

void byteFields(const std::filesystem::path& dir) {
    const auto field = [](std::int32_t start, std::int32_t length, const Bytes& bytes) {
        Bytes out;
        for (const std::int32_t v : {start, length}) {
            for (int i = 0; i < 4; ++i) {
                out.push_back(static_cast<std::uint8_t>(static_cast<std::uint32_t>(v) >> (8 * i)));
            }
        }
        out.insert(out.end(), bytes.begin(), bytes.end());
        return out;
    };
    IsNcn ncn;
    ncn.UName = "alice";
    ncn.PName = "^1Al^7ice ^a^c^d^l^q^r^s^t^v ^L^G^C^J^E^T^B";
    write(dir, "ncn-nickname", field(28, 24, ncn.toBytes()));
    write(dir, "ncn-user-name", field(4, 24, ncn.toBytes()));
    const std::string text = "\x80\x81\x8d\x8f\x90\x9d\xa0\xff caf\xe9 ^^1^";
    write(dir, "code-page-bytes", field(0, 64, Bytes(text.begin(), text.end())));
    write(dir, "past-the-end", field(60, 100, Bytes(64, 'x')));
    write(dir, "negative-start", field(-1, 5, Bytes(8, 'y')));
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CORPUS-FOLDER\n", argv[0]);
        return 2;
    }
    const std::filesystem::path root = argv[1];
    // The two datagram targets read the same inputs.
    datagrams(root / "fuzz_insim_datagrams");
    datagrams(root / "fuzz_insim_fast");
    streams(root / "fuzz_stream_framer");
    storeFiles(root / "fuzz_state_store");
    startupFiles(root / "fuzz_startup_file");
    byteFields(root / "fuzz_bytes_to_string");
    return 0;
}
