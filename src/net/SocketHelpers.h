#pragma once
// Name resolution and the short English texts of socket error numbers.

#include <cstdint>
#include <string>

#include "platform/WinSock.h"

namespace pm::net {

// A dotted IPv4 address is returned unchanged; a name gives the first address
// of its lookup, or the empty text when it does not resolve.
std::string ResolveHost(platform::WinSock& sockets, const std::string& host);

// Dotted text of an IPv4 address in network byte order.
std::string AddrToString(std::uint32_t address);

// "connection reset by peer" for 10054; "unknown error(N)" for numbers
// without a text.
std::string WinsockErrorText(std::int32_t code);

// The low 16 bits, sign-extended: the notification code of a socket message.
std::int16_t LoWord(std::int32_t value);

} // namespace pm::net
