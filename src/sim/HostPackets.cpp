#include "sim/HostPackets.h"

#include "platform/CodePage.h"

namespace pm::sim {

using namespace insim;

namespace {

constexpr std::uint16_t kStaInGameMultiplayer = 1 | 512; // ISS_GAME | ISS_MULTI
constexpr std::uint8_t kNcnRemote = 4;
constexpr std::uint8_t kPlayerRemote = 4;
constexpr std::uint8_t kResultConfirmed = 2;
constexpr std::uint16_t kHostCanVote = 1;
constexpr std::uint32_t kLapMs = 90'000;
constexpr std::size_t kMsoTextWidth = 127; // 128 bytes with the terminator

std::uint8_t count(std::size_t n) {
    return static_cast<std::uint8_t>(std::min<std::size_t>(n, 255));
}

} // namespace

std::string stripColourCodes(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '^' && i + 1 < text.size() && text[i + 1] >= '0' && text[i + 1] <= '9') {
            ++i;
            continue;
        }
        out.push_back(text[i]);
    }
    return out;
}

IsVer verPacket(const SimOptions& options, std::uint8_t reqI, const WireGeneration& wire) {
    IsVer p;
    p.ReqI = reqI;
    p.Version = std::string(releaseName(options.lfs));
    p.Product = options.product;
    p.InSimVer = static_cast<std::uint16_t>(reportedInSimVer(wire));
    return p;
}

IsIsm ismPacket(const SimOptions& options, std::uint8_t reqI) {
    IsIsm p;
    p.ReqI = reqI;
    p.Host = 1;
    p.HName = options.hostName;
    return p;
}

IsSta staPacket(const World& world, const SimOptions& options, std::uint8_t reqI) {
    IsSta p;
    p.ReqI = reqI;
    p.ReplaySpeed = 1.0f;
    p.Flags = kStaInGameMultiplayer;
    p.NumP = count(world.players().size());
    p.NumConns = count(world.connections().size());
    p.NumFinished = count(world.finishedCount());
    p.RaceInProg = static_cast<std::uint8_t>(world.state());
    p.QualMins = options.qualMins;
    p.RaceLaps = options.raceLaps;
    p.Track = options.track;
    return p;
}

IsRst rstPacket(const World& world, const SimOptions& options, std::uint8_t reqI) {
    IsRst p;
    p.ReqI = reqI;
    const bool qualifying = world.state() == RaceState::Qualifying;
    p.RaceLaps = qualifying ? 0 : options.raceLaps;
    p.QualMins = qualifying ? options.qualMins : 0;
    p.NumP = count(world.players().size());
    p.Track = options.track;
    p.Flags = kHostCanVote;
    p.NumNodes = 400;
    p.Finish = 0;
    p.Split1 = 100;
    p.Split2 = 200;
    p.Split3 = 300;
    return p;
}

IsNcn ncnPacket(const World& world, const Connection& c, bool demo, std::uint8_t reqI) {
    IsNcn p;
    p.ReqI = reqI;
    p.UCID = c.ucid;
    const bool host = c.ucid == World::kHostUcid;
    // Without a licence there is no user name to report.
    p.UName = host || demo ? std::string{} : c.name;
    p.PName = c.nick;
    p.Admin = c.admin ? 1 : 0;
    p.Total = count(world.connections().size());
    p.Flags = host ? 0 : kNcnRemote;
    return p;
}

IsCnl cnlPacket(const World& world, std::uint8_t ucid) {
    IsCnl p;
    p.UCID = ucid;
    p.Reason = 0; // disconnected
    p.Total = count(world.connections().size());
    return p;
}

IsNpl nplPacket(const World& world, const Player& pl, std::uint8_t reqI) {
    IsNpl p;
    p.ReqI = reqI;
    p.PLID = pl.plid;
    p.UCID = pl.ucid;
    p.PType = kPlayerRemote;
    if (const Connection* c = world.connectionByUcid(pl.ucid)) {
        p.PName = c->nick;
    }
    p.Plate = "PM " + std::to_string(pl.plid);
    p.CName = "XFG";
    p.SName = "DEFAULT";
    p.Tyres = {2, 2, 2, 2};
    return p;
}

IsRes resPacket(const World& world, const SimOptions& options, const Player& pl, std::uint8_t resultNum,
                bool demo) {
    IsRes p;
    p.PLID = pl.plid;
    if (const Connection* c = world.connectionByUcid(pl.ucid)) {
        p.UName = demo ? std::string{} : c->name;
        p.PName = c->nick;
    }
    p.Plate = "PM " + std::to_string(pl.plid);
    p.CName = "XFG";
    const bool qualifying = world.state() == RaceState::Qualifying;
    const std::uint32_t laps = qualifying ? 1 : options.raceLaps;
    p.TTime = kLapMs * laps + 1'250u * resultNum + 37u * pl.plid;
    p.BTime = kLapMs - 1'500u + 41u * pl.plid;
    p.Confirm = kResultConfirmed;
    p.SpB = 0;
    p.LapsDone = static_cast<std::uint16_t>(laps);
    p.ResultNum = resultNum;
    p.NumRes = static_cast<std::uint8_t>(resultNum + 1);
    return p;
}

IsReo reoPacket(const World& world, std::uint8_t reqI, const WireGeneration& wire) {
    IsReo p;
    p.ReqI = reqI;
    const auto& grid = world.gridPlids();
    const std::size_t n = std::min(grid.size(), static_cast<std::size_t>(wire.startOrderSlots));
    p.NumP = static_cast<std::uint8_t>(n);
    for (std::size_t k = 0; k < n; ++k) {
        p.PLID[k] = grid[k];
    }
    return p;
}

IsMso msoPacket(const World& world, const Connection& from, const std::string& text, char prefix,
                bool keepColours) {
    IsMso p;
    p.UCID = from.ucid;
    for (const auto& [plid, pl] : world.players()) {
        if (pl.ucid == from.ucid) {
            p.PLID = plid;
        }
    }
    p.UserType = !text.empty() && text.front() == prefix ? kMsoPrefix : kMsoUser;
    const std::string head = (keepColours ? from.nick : stripColourCodes(from.nick)) + " : ";
    p.TextStart = count(platform::utf8ToCp1252(head).size());
    std::string msg = head + text;
    auto bytes = platform::utf8ToCp1252(msg);
    if (bytes.size() > kMsoTextWidth) {
        msg = platform::cp1252ToUtf8(std::span(bytes).first(kMsoTextWidth));
    }
    p.Msg = msg;
    return p;
}

IsSmall voteActionPacket(std::uint8_t action) {
    IsSmall p;
    p.SubT = SMALL_VTA;
    p.UVal = action;
    return p;
}

} // namespace pm::sim
