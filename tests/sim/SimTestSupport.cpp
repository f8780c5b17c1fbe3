#include "sim/SimTestSupport.h"

#include <algorithm>

#include "sim/PacketText.h"

namespace pm::sim::testing {

std::vector<std::string> SimFixture::takeKinds() {
    std::vector<std::string> out;
    for (const auto& d : take()) {
        if (d.size() >= 4 && d[1] == insim::ISP_TINY) {
            out.push_back(tinyName(d[3]));
        } else if (d.size() >= 2) {
            out.push_back(shownName(d[1]));
        }
    }
    return out;
}

bool SimFixture::transcriptHas(const std::string& text) const {
    const auto& lines = server->transcript().lines();
    return std::ranges::any_of(lines,
                               [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

} // namespace pm::sim::testing
