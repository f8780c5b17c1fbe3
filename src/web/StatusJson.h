#pragma once
// The JSON and Prometheus faces of the status model: what the API answers,
// and the rule and grid changes it takes. Everything here runs on the loop's
// thread, beside the models it reads and writes.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/frmMain.h"

namespace pm::web {

// What the API tells of one server, copied out of the models on the loop so
// that it can be turned into JSON on another thread. Never holds the admin
// password.
struct ServerSnapshot {
    struct Person {
        int place = 0;
        std::string user;
        std::string nickname;
    };
    app::ServerStatus status;
    std::string host;
    std::optional<int> insimPort;
    std::vector<Person> connections;
    std::vector<Person> finishingOrder;
    int lastRace = 0;
    int reverseTop = 0;
    std::string reverseCount;
    int custom = 0;
    // Which server held the index when this was copied (see WebServer).
    std::uint64_t incarnation = 0;
};
// nullopt for an index that names no server.
std::optional<ServerSnapshot> collectServer(const app::frmMain& form, std::int16_t index);
nlohmann::json toJson(const ServerSnapshot& server);

// One server as GET /api/servers/{index} gives it; null for an index that
// names no server.
nlohmann::json serverJson(const app::frmMain& form, std::int16_t index);
nlohmann::json serversJson(const app::frmMain& form);
// An answer's text. A stray byte that is no UTF-8 is written as U+FFFD
// rather than thrown: on the loop, a throw would end the program.
inline std::string jsonText(const nlohmann::json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// A PUT /api/servers/{index}/rules body, checked whole before anything of it
// is applied.
struct RulesChange {
    std::optional<int> lastRace;
    std::optional<int> reverseTop;
    std::optional<std::string> reverseCount;
    std::optional<int> custom;
};
// nullopt with why set for a body that is not such an object.
std::optional<RulesChange> parseRulesChange(const std::string& body, std::string& why);
// Writes the window's boxes, as an operator's clicks would.
void applyRulesChange(app::frmMain& form, std::int16_t index, const RulesChange& change);

// A PUT /api/servers/{index}/grid body: {"users": ["ann", "bob"]}.
std::optional<std::vector<std::string>> parseGridUsers(const std::string& body, std::string& why);

// GET /metrics: Prometheus text exposition.
std::string metricsText(const app::frmMain& form, std::chrono::seconds uptime);

} // namespace pm::web
