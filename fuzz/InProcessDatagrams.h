#pragma once
// The network of fuzz_insim_fast, inside the process: from the moment it is
// switched on, datagram sockets are made, bound, connected, polled and
// closed without the kernel, and what is sent to the far end is kept here.
// See InProcessDatagrams.cpp.

#include <cstdint>
#include <vector>

namespace pm::fuzz {

// From now on, new datagram sockets live in the process, and what they send
// to 127.0.0.1:port is kept.
void keepDatagramsTo(std::uint16_t port);

// The next bind to this port fails as if another program held it, once
// more for each call; refusals not used up are dropped by the next call of
// keepDatagramsTo.
void refuseNextBind(std::uint16_t port);

// The datagrams kept since the last call, in the order they were sent.
std::vector<std::vector<std::uint8_t>> takeDatagrams();

} // namespace pm::fuzz
