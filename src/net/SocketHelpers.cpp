#include "net/SocketHelpers.h"

#include <array>
#include <utility>

namespace pm::net {

std::string ResolveHost(platform::WinSock& sockets, const std::string& host) {
    if (platform::WinSock::inet_addr(host) != platform::INADDR_NONE_W) {
        return host;
    }
    const auto addresses = sockets.gethostbyname(host);
    if (addresses.empty()) {
        return {};
    }
    // The bytes in the order stored, which is network order.
    const std::uint32_t a = addresses.front();
    const auto* b = reinterpret_cast<const unsigned char*>(&a);
    return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." +
           std::to_string(b[3]);
}

std::string AddrToString(std::uint32_t address) { return platform::WinSock::inet_ntoa(address); }

std::string WinsockErrorText(std::int32_t code) {
    static constexpr std::array<std::pair<std::int32_t, const char*>, 45> texts{{
        {10004, "interrupted function call"},
        {10013, "permission denied"},
        {10014, "invalid address"},
        {10022, "invalid argument"},
        {10024, "too many files open"},
        {10035, "function call would block"},
        {10036, "blocking call already in progress"},
        {10037, "operation already in progress"},
        {10038, "not a valid socket descriptor"},
        {10039, "destination address required"},
        {10040, "message is too long"},
        {10041, "protocol wrong type for socket"},
        {10042, "bad protocol option"},
        {10043, "protocol not supported"},
        {10044, "socket type not supported"},
        {10045, "operation not supported"},
        {10046, "protocol family not supported"},
        {10047, "address family not supported by protocol"},
        {10048, "address in use"},
        {10049, "address is not available"},
        {10050, "network is down"},
        {10051, "network is unreachable"},
        {10052, "network dropped connection on reset"},
        {10053, "software caused connection abort"},
        {10054, "connection reset by peer"},
        {10055, "no buffer space available"},
        {10056, "socket is already connected"},
        {10057, "socket is not connected"},
        {10058, "cannot send after shutdown"},
        {10059, "too many socket references"},
        {10060, "request timed out"},
        {10061, "connection refused"},
        {10063, "name is too long"},
        {10064, "host is down"},
        {10065, "host is unreachable"},
        {10067, "too many processes"},
        {10091, "network sub-system is unavailable"},
        {10092, "requested version not supported"},
        {10093, "winsock is not loaded - call WSAStartup"},
        {10101, "graceful shutdown in progress"},
        {10109, "class type not found"},
        {11001, "host not found"},
        {11002, "non-authoritative host not found"},
        {11003, "non-recoverable error"},
        {11004, "valid name - no data record of requested type"},
    }};
    for (const auto& [number, text] : texts) {
        if (number == code) {
            return text;
        }
    }
    return "unknown error(" + std::to_string(code) + ")";
}

std::int16_t LoWord(std::int32_t value) {
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(static_cast<std::uint32_t>(value) & 0xFFFFu));
}

} // namespace pm::net
