#include "sim/PacketText.h"

#include <cstdio>
#include <optional>

#include "insim/Packets.h"
#include "platform/CodePage.h"
#include "sim/World.h"

namespace pm::sim {

using namespace insim;

std::string quoted(std::string_view text) {
    std::string out = "\"";
    for (char ch : text) {
        if (ch == '"' || ch == '\\') {
            out.push_back('\\');
        }
        out.push_back(ch);
    }
    out.push_back('"');
    return out;
}

std::string rawText(std::span<const std::uint8_t> datagram, std::size_t offset, std::size_t width) {
    if (offset >= datagram.size()) {
        return {};
    }
    auto field = datagram.subspan(offset, std::min(width, datagram.size() - offset));
    std::size_t n = 0;
    while (n < field.size() && field[n] != 0) {
        ++n;
    }
    return platform::cp1252ToUtf8(field.first(n));
}

bool fillsField(std::span<const std::uint8_t> datagram, std::size_t offset, std::size_t width) {
    if (offset + width > datagram.size()) {
        return false;
    }
    for (std::size_t i = offset; i < offset + width; ++i) {
        if (datagram[i] == 0) {
            return false;
        }
    }
    return true;
}

std::string tinyName(int subtype) {
    switch (subtype) {
    case TINY_NONE: return "TINY_NONE";
    case TINY_VER: return "TINY_VER";
    case TINY_CLOSE: return "TINY_CLOSE";
    case 3: return "TINY_PING";
    case TINY_REPLY: return "TINY_REPLY";
    case TINY_SST: return "TINY_SST";
    case TINY_ISM: return "TINY_ISM";
    case TINY_NCN: return "TINY_NCN";
    case TINY_NPL: return "TINY_NPL";
    case 20: return "TINY_REO";
    default: return "TINY_" + std::to_string(subtype);
    }
}

std::string voteName(int action) {
    switch (action) {
    case VOTE_NONE: return "none";
    case VOTE_END: return "end";
    case VOTE_RESTART: return "restart";
    case VOTE_QUALIFY: return "qualify";
    default: return std::to_string(action);
    }
}

namespace {

// Names plain when they can be read back unambiguously, quoted otherwise.
std::string name(std::string_view text) {
    if (text.empty() || text.find_first_of(" \"=") != std::string_view::npos) {
        return quoted(text);
    }
    return std::string(text);
}

class Line {
public:
    explicit Line(std::string_view packet, std::uint8_t reqI) : text_(packet) {
        if (reqI != 0) {
            add("reqi", reqI);
        }
    }
    Line& add(std::string_view key, long value) { return add(key, std::to_string(value)); }
    Line& add(std::string_view key, const std::string& value) {
        text_ += ' ';
        text_ += key;
        text_ += '=';
        text_ += value;
        return *this;
    }
    Line& add(std::string_view key, const char* value) { return add(key, std::string(value)); }
    Line& word(std::string_view w) {
        text_ += ' ';
        text_ += w;
        return *this;
    }
    std::string take() { return std::move(text_); }

private:
    std::string text_;
};

std::string hexDump(std::span<const std::uint8_t> d) {
    std::string out;
    char buf[4];
    for (std::size_t i = 0; i < d.size() && i < 16; ++i) {
        std::snprintf(buf, sizeof buf, "%02x", d[i]);
        out += (i == 0 ? "" : " ");
        out += buf;
    }
    if (d.size() > 16) {
        out += " ...";
    }
    return out;
}

std::string plidList(const IsReo& p, const WireGeneration& wire) {
    std::string out;
    const std::size_t n = std::min<std::size_t>(p.NumP, static_cast<std::size_t>(wire.startOrderSlots));
    for (std::size_t k = 0; k < n; ++k) {
        out += (k == 0 ? "" : ",") + std::to_string(p.PLID[k]);
    }
    return "[" + out + "]";
}

template <typename P> std::optional<P> read(std::span<const std::uint8_t> d) {
    return P::fromBytes(d);
}
template <typename P> std::optional<P> read(std::span<const std::uint8_t> d, const WireGeneration& wire) {
    return P::fromBytes(d, wire);
}

} // namespace

std::string shownName(int type) {
    std::string n(packetName(type));
    if (n.starts_with("ISP_")) {
        n.replace(0, 4, "IS_");
    }
    return n;
}

namespace {

std::string truncated(int type, std::size_t size) {
    return shownName(type) + " (truncated: " + std::to_string(size) + " bytes)";
}

} // namespace

std::string describePacket(std::span<const std::uint8_t> d, const WireGeneration& wire) {
    if (d.size() < 4) {
        return "garbage (" + std::to_string(d.size()) + " bytes" + (d.empty() ? "" : ": " + hexDump(d)) + ")";
    }
    const int type = d[1];
    const std::string pname = shownName(type);
    if (pname.empty()) {
        return "unknown type " + std::to_string(type) + " (" + std::to_string(d.size()) +
               " bytes: " + hexDump(d) + ")";
    }
    switch (type) {
    case ISP_ISI:
        if (auto p = read<IsIsi>(d)) {
            Line l(pname, p->ReqI);
            if (p->InSimVer != 0) {
                // Byte 8 was spare in InSim 4: a number there asks for a generation.
                l.add("insimver", p->InSimVer);
            }
            return l.add("udpport", p->UDPPort)
                .add("flags", p->Flags)
                .add("prefix", quoted(p->Prefix))
                .add("interval", p->Interval)
                .add("admin", quoted(std::string(p->Admin.size(), '*')))
                .add("iname", quoted(rawText(d, 28, 16)))
                .take();
        }
        break;
    case ISP_VER:
        if (auto p = read<IsVer>(d, wire)) {
            return Line(pname, p->ReqI)
                .add("version", name(p->Version))
                .add("product", name(p->Product))
                .add("insimver", p->InSimVer)
                .take();
        }
        break;
    case ISP_TINY:
        if (auto p = read<IsTiny>(d)) {
            return Line(pname, p->ReqI).word(tinyName(p->SubT)).take();
        }
        break;
    case ISP_SMALL:
        if (auto p = read<IsSmall>(d)) {
            Line l(pname, p->ReqI);
            if (p->SubT == SMALL_VTA) {
                return l.word("SMALL_VTA").add("action", voteName(static_cast<int>(p->UVal))).take();
            }
            return l.add("subt", p->SubT).add("uval", static_cast<long>(p->UVal)).take();
        }
        break;
    case ISP_STA:
        if (auto p = read<IsSta>(d)) {
            const auto state = p->RaceInProg <= 2 ? raceStateName(static_cast<RaceState>(p->RaceInProg))
                                                  : std::string_view("?");
            return Line(pname, p->ReqI)
                .add("race", std::string(state))
                .add("nump", p->NumP)
                .add("conns", p->NumConns)
                .add("finished", p->NumFinished)
                .add("track", name(p->Track))
                .take();
        }
        break;
    case ISP_ISM:
        if (auto p = read<IsIsm>(d)) {
            return Line(pname, p->ReqI).add("host", p->Host).add("hname", name(rawText(d, 8, 32))).take();
        }
        break;
    case ISP_MSO:
        if (auto p = read<IsMso>(d, wire)) {
            return Line(pname, p->ReqI)
                .add("ucid", p->UCID)
                .add("plid", p->PLID)
                .add("usertype", p->UserType)
                .add("textstart", p->TextStart)
                .word(quoted(rawText(d, 8, static_cast<std::size_t>(wire.msoTextWidth))))
                .take();
        }
        break;
    case ISP_MST:
        if (auto p = read<IsMst>(d)) {
            return Line(pname, p->ReqI).word(quoted(rawText(d, 4, kWire.mstTextWidth))).take();
        }
        break;
    case ISP_MTC:
        if (auto p = read<IsMtc>(d, wire)) {
            Line l(pname, p->ReqI);
            l.add("ucid", p->UCID).add("plid", p->PLID);
            if (p->Sound != 0) {
                l.add("sound", p->Sound);
            }
            return l.word(quoted(rawText(d, 8, static_cast<std::size_t>(wire.mtcTextWidth)))).take();
        }
        break;
    case ISP_VTN:
        if (auto p = read<IsVtn>(d)) {
            return Line(pname, p->ReqI).add("ucid", p->UCID).add("action", voteName(p->Action)).take();
        }
        break;
    case ISP_RST:
        if (auto p = read<IsRst>(d)) {
            return Line(pname, p->ReqI)
                .add("laps", p->RaceLaps)
                .add("qualmins", p->QualMins)
                .add("nump", p->NumP)
                .add("track", name(p->Track))
                .take();
        }
        break;
    case ISP_NCN:
        if (auto p = read<IsNcn>(d)) {
            return Line(pname, p->ReqI)
                .add("ucid", p->UCID)
                .add("uname", name(rawText(d, 4, 24)))
                .add("pname", name(rawText(d, 28, 24)))
                .add("admin", p->Admin)
                .add("total", p->Total)
                .take();
        }
        break;
    case ISP_CNL:
        if (auto p = read<IsCnl>(d)) {
            return Line(pname, p->ReqI).add("ucid", p->UCID).add("total", p->Total).take();
        }
        break;
    case ISP_NPL:
        if (auto p = read<IsNpl>(d)) {
            return Line(pname, p->ReqI)
                .add("plid", p->PLID)
                .add("ucid", p->UCID)
                .add("pname", name(rawText(d, 8, 24)))
                .add("car", name(p->CName))
                .take();
        }
        break;
    case ISP_PLL:
        if (auto p = read<IsPll>(d)) {
            return Line(pname, p->ReqI).add("plid", p->PLID).take();
        }
        break;
    case ISP_LAP:
        if (auto p = read<IsLap>(d)) {
            return Line(pname, p->ReqI).add("plid", p->PLID).add("laps", p->LapsDone).take();
        }
        break;
    case ISP_RES:
        if (auto p = read<IsRes>(d)) {
            return Line(pname, p->ReqI)
                .add("plid", p->PLID)
                .add("uname", name(rawText(d, 4, 24)))
                .add("pname", name(rawText(d, 28, 24)))
                .add("resultnum", p->ResultNum)
                .add("numres", p->NumRes)
                .add("ttime", static_cast<long>(p->TTime))
                .take();
        }
        break;
    case ISP_REO:
        if (auto p = read<IsReo>(d, wire)) {
            return Line(pname, p->ReqI).add("nump", p->NumP).add("plids", plidList(*p, wire)).take();
        }
        break;
    case ISP_BFN:
        if (auto p = read<IsBfn>(d, wire)) {
            const char* sub = p->SubT == BFN_DEL_BTN ? "BFN_DEL_BTN"
                              : p->SubT == BFN_CLEAR ? "BFN_CLEAR"
                                                     : "BFN_?";
            Line l(pname, p->ReqI);
            l.word(sub).add("ucid", p->UCID).add("clickid", p->ClickID);
            if (p->ClickMax != 0) {
                l.add("clickmax", p->ClickMax);
            }
            return l.take();
        }
        break;
    case ISP_BTN:
        if (auto p = read<IsBtn>(d, wire)) {
            return Line(pname, p->ReqI)
                .add("ucid", p->UCID)
                .add("clickid", p->ClickID)
                .add("style", p->BStyle)
                .add("ltwh", std::to_string(p->L) + "," + std::to_string(p->T) + "," + std::to_string(p->W) +
                                 "," + std::to_string(p->H))
                .word(quoted(rawText(d, 12, static_cast<std::size_t>(wire.btnTextWidth))))
                .take();
        }
        break;
    case ISP_BTC:
        if (auto p = read<IsBtc>(d)) {
            return Line(pname, p->ReqI)
                .add("ucid", p->UCID)
                .add("clickid", p->ClickID)
                .add("inst", p->Inst)
                .add("cflags", p->CFlags)
                .take();
        }
        break;
    default: return pname + " (" + std::to_string(d.size()) + " bytes)";
    }
    return truncated(type, d.size());
}

} // namespace pm::sim
