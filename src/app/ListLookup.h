#pragma once
// Looking users up in the per-server lists.

#include <cstdint>
#include <string>
#include <string_view>

#include "insim/modInSim.h"
#include "insim/ucInSim.h"
#include "platform/Controls.h"

namespace pm::app {

// FindListItem by user name. Given an empty text, FindListItem matches by
// item data instead, which for these lists means "connection 0" or simply
// "the first entry"; an empty name names nobody, so it finds nothing here.
inline std::int16_t findName(const platform::ListBox& list, std::string_view name) {
    return name.empty() ? std::int16_t{-1} : insim::FindListItem(list, name, 0);
}

// The name in finishing item k: "NN name", two digits and a blank before it.
inline std::string finisherName(const platform::ListBox& lstFinish, int k) {
    constexpr std::size_t kPositionPrefix = 3;
    const std::string& text = lstFinish.text(k);
    return text.size() > kPositionPrefix ? text.substr(kPositionPrefix) : std::string();
}

// The connection a command or click came from: the UCID of the packet being
// handled when there is one, so that two connections sharing a name (a demo
// host's nicknames) each get their own screen; else the last match by name.
inline int senderConnection(const insim::ucInSim& client, const std::string& username) {
    const int sender = client.SenderUCID();
    return sender >= 0 ? sender : client.GetConnectionId(username);
}

} // namespace pm::app
