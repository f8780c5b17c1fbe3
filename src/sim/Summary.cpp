#include "sim/Summary.h"

#include "sim/PacketText.h"

namespace pm::sim {

std::string summaryText(const SimServer& server) {
    const auto& s = server.stats();
    std::string out = "summary:\n";
    out += "  packets: " + std::to_string(s.received) + " received (" + std::to_string(s.ignored) +
           " ignored), " + std::to_string(s.sent) + " sent";
    if (s.dropped + s.duplicated + s.heldBack > 0) {
        out += " (" + std::to_string(s.dropped) + " dropped, " + std::to_string(s.duplicated) +
               " duplicated, " + std::to_string(s.heldBack) + " held back)";
    }
    if (s.cut > 0) {
        out += " (" + std::to_string(s.cut) + " cut apart on TCP)";
    }
    out += "\n  host: LFS " + std::string(releaseName(server.release()));
    out += "; client: " + (server.clientConnected() ? server.clientText() : std::string("none connected"));
    if (const auto* wire = server.clientWire()) {
        out += " in InSim " + std::to_string(wire->version);
    }
    out += "; keep-alives " + std::to_string(s.keepAliveReplies) + " answered of " +
           std::to_string(s.keepAlivesSent) + " sent\n";

    const auto& grids = server.appliedGrids();
    out += "  grids applied: " + std::to_string(grids.size());
    if (s.startOrdersIgnored > 0) {
        out += " (" + std::to_string(s.startOrdersIgnored) + " start orders ignored: no vote pending)";
    }
    out += "\n";
    for (const auto& g : grids) {
        out += "    " + Transcript::stamp(g.at) + " " + spaced(g.names) + "\n";
    }

    const auto& messages = server.world().allMessages();
    std::size_t total = 0;
    for (const auto& [name, list] : messages) {
        total += list.size();
    }
    out += "  messages delivered: " + std::to_string(total) + "\n";
    for (const auto& [name, list] : messages) {
        out += "    " + name + ":\n";
        for (const auto& m : list) {
            out += "      " + Transcript::stamp(m.at) + " " + quoted(m.text) + "\n";
        }
    }
    out.pop_back(); // the caller ends the last line
    return out;
}

} // namespace pm::sim
