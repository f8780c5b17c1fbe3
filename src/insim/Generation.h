#pragma once
// Which protocol generation a host's release speaks, from IS_VER's Version
// text ("0.5Z", "0.7F", "0.8C"): 0.8B and later speak InSim 10, the 0.7
// releases InSim 9, anything older is spoken to as InSim 4.

#include <optional>
#include <string_view>

namespace pm::insim {

// nullopt when the text is no release name we can read.
std::optional<int> generationForRelease(std::string_view version);

} // namespace pm::insim
