// Writes the seed corpus: well-formed inputs for each fuzz target, built
// with the packet layouts' own builders so that they stay right when a
// layout changes. Usage: fuzz_make_corpus FOLDER (normally fuzz/corpus);
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

// The datagram target's input: rules, count, then length-prefixed datagrams.
class Session {
public:
    Session(std::uint8_t rules, std::uint8_t count) : bytes_{rules, count} {}

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
    Session& handshake(const std::string& product = "S2") {
        IsVer ver;
        ver.Version = "0.7F";
        ver.Product = product;
        ver.InSimVer = 4;
        packet(ver.toBytes());
        IsIsm ism;
        ism.Host = 1;
        ism.HName = "^1Fuzz ^7Server";
        packet(ism.toBytes());
        IsSta sta;
        sta.RaceInProg = 1;
        sta.Track = "BL1";
        return packet(sta.toBytes());
    }
    Session& driver(std::uint8_t id, const std::string& name, bool admin = false) {
        IsNcn ncn;
        ncn.UCID = id;
        ncn.UName = name;
        ncn.PName = "^3" + name;
        ncn.Admin = admin ? 1 : 0;
        packet(ncn.toBytes());
        IsNpl npl;
        npl.PLID = id;
        npl.UCID = id;
        npl.PName = "^3" + name;
        npl.CName = "XFG";
        return packet(npl.toBytes());
    }
    Session& finish(std::uint8_t plid, const std::string& name, std::uint8_t position) {
        IsRes res;
        res.PLID = plid;
        res.UName = name;
        res.PName = name;
        res.ResultNum = position;
        res.NumRes = position + 1;
        return packet(res.toBytes());
    }
    Session& vote(std::uint8_t action = VOTE_RESTART) {
        IsSmall s;
        s.SubT = SMALL_VTA;
        s.UVal = action;
        return packet(s.toBytes());
    }
    Session& chat(std::uint8_t ucid, const std::string& text) {
        IsMso m;
        m.UCID = ucid;
        m.Msg = "Someone : " + text;
        return packet(m.toBytes());
    }
    Session& click(std::uint8_t ucid, std::uint8_t id, std::uint8_t flags = ISB_LMB) {
        IsBtc b;
        b.UCID = ucid;
        b.ClickID = id;
        b.CFlags = flags;
        return packet(b.toBytes());
    }
    const Bytes& bytes() const { return bytes_; }

private:
    Bytes bytes_;
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
}

void startupFiles(const std::filesystem::path& dir) {
    const auto block = [](const std::string& name, const std::string& connect, const std::string& lastRace,
                          const std::string& reverse, const std::string& count) {
        return "[NEW SERVER]\r\nName=" + name + "\r\nHost=127.0.0.1\r\nInSim Port=29999\r\nListen Port=30000\r\n" +
               "Admin PW=secret\r\nConnect=" + connect + "\r\nLast Race=" + lastRace +
               "\r\nReverse Top=" + reverse + "\r\nReverse Count=" + count + "\r\n";
    };
    write(dir, "two-servers", "servers\r\n" + block("One", "0", "1", "0", "10") + block("Two", "0", "2", "1", "3"));
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
    datagrams(root / "fuzz_insim_datagrams");
    startupFiles(root / "fuzz_startup_file");
    byteFields(root / "fuzz_bytes_to_string");
    return 0;
}
