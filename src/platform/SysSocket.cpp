// The parts of the socket calls that are the same on every system.

#include "platform/SysSocket.h"

#include <array>
#include <cstring>

namespace pm::platform::sys {

std::string formatIPv4(std::uint32_t address) {
    // Network order is the order of the bytes in memory, on any host.
    std::array<unsigned char, 4> bytes{};
    std::memcpy(bytes.data(), &address, bytes.size());
    return std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." + std::to_string(bytes[2]) + "." +
           std::to_string(bytes[3]);
}

} // namespace pm::platform::sys
