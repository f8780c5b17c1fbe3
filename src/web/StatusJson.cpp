#include "web/StatusJson.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include "app/ServerViews.h"

namespace pm::web {

using nlohmann::json;

namespace {

// A host may echo anything back; a status line could then carry the
// password, and this is the last place to keep it out of an answer.
std::string scrubbed(std::string text, const std::string& password) {
    if (password.size() < 3) {
        return text;
    }
    for (std::size_t at = text.find(password); at != std::string::npos; at = text.find(password, at)) {
        text.replace(at, password.size(), "***");
        at += 3;
    }
    return text;
}

json placeJson(const app::GridPlace& place) {
    return {{"place", place.place}, {"user", place.user}, {"nickname", place.nickname}, {"onTrack", place.player != 0}};
}

json placesJson(const std::vector<app::GridPlace>& places) {
    json out = json::array();
    for (const auto& place : places) {
        out.push_back(placeJson(place));
    }
    return out;
}

std::string_view ruleWord(app::GridRule rule) {
    switch (rule) {
    case app::GridRule::None: return "none";
    case app::GridRule::LastRace: return "lastRace";
    case app::GridRule::ReverseTop: return "reverseTop";
    case app::GridRule::Custom: return "custom";
    }
    return "none";
}

} // namespace

std::optional<ServerSnapshot> collectServer(const app::frmMain& form, std::int16_t index) {
    auto status = form.Status(index);
    const app::ServerViews* views = form.server(index);
    if (!status || views == nullptr) {
        return std::nullopt;
    }
    const auto& client = views->ucInSim;
    const std::string& password = client.txtPass.text();
    ServerSnapshot out;
    for (auto& line : status->recentLines) {
        line = scrubbed(std::move(line), password);
    }
    status->lastError = scrubbed(std::move(status->lastError), password);
    status->link.reason = scrubbed(std::move(status->link.reason), password);
    out.status = std::move(*status);
    out.host = client.txtHost.text();
    out.insimPort = insim::ucInSim::ParsePort(client.txtPort.text());
    // The client looks a name up through all of its tables; the grid has
    // looked up most of them already, and this runs on the loop.
    std::map<std::string, std::string, std::less<>> nicknames;
    for (const auto& place : out.status.nextGrid.places) {
        nicknames.emplace(place.user, place.nickname);
    }
    const auto nickname = [&](const std::string& user) {
        const auto it = nicknames.find(user);
        return it != nicknames.end() ? it->second : client.GetPlayerNameColoured(user);
    };
    for (const auto& item : views->lstConnections.items()) {
        out.connections.push_back({0, item.text, nickname(item.text)});
    }
    // Items read "01 ann": the place, a blank, the user name.
    for (const auto& item : views->lstFinish.items()) {
        const auto blank = item.text.find(' ');
        const std::string user = blank == std::string::npos ? item.text : item.text.substr(blank + 1);
        int place = static_cast<int>(out.finishingOrder.size()) + 1;
        if (blank != std::string::npos) {
            std::sscanf(item.text.c_str(), "%d", &place);
        }
        out.finishingOrder.push_back({place, user, nickname(user)});
    }
    out.lastRace = views->chkLastRace.value();
    out.reverseTop = views->chkReverse.value();
    out.reverseCount = views->txtReverse.text();
    out.custom = views->chkCustom.value() == 1 ? 1 : 0;
    return out;
}

json toJson(const ServerSnapshot& s) {
    const auto& status = s.status;
    const auto& link = status.link;
    json connections = json::array();
    for (const auto& p : s.connections) {
        connections.push_back({{"user", p.user}, {"nickname", p.nickname}});
    }
    json finishing = json::array();
    for (const auto& p : s.finishingOrder) {
        finishing.push_back({{"place", p.place}, {"user", p.user}, {"nickname", p.nickname}});
    }
    json out = {
        {"index", status.index},
        {"name", status.name},
        {"host", s.host},
        {"insimPort", s.insimPort ? json(*s.insimPort) : json(nullptr)},
        {"state",
         {{"phase", app::linkPhaseWord(link.phase)},
          {"badge", link.badge()},
          {"line", link.line()},
          {"attempt", link.attempt},
          {"silentSeconds", link.silentSeconds},
          {"retryInSeconds", link.retryInSeconds},
          {"reason", link.reason}}},
        {"generation", link.generation},
        {"transport", link.transport},
        {"release", link.release},
        {"lastError", status.lastError},
        {"rules",
         {{"lastRace", s.lastRace}, {"reverseTop", s.reverseTop}, {"reverseCount", s.reverseCount}, {"custom", s.custom}}},
        {"connections", std::move(connections)},
        {"finishingOrder", std::move(finishing)},
        {"nextGrid",
         {{"rule", ruleWord(status.nextGrid.rule)},
          {"ruleName", status.nextGrid.ruleName},
          {"note", status.nextGrid.ruleNote},
          {"slots", status.nextGrid.slots},
          {"places", placesJson(status.nextGrid.places)}}},
        {"lastGrid", nullptr},
        {"counters",
         {{"votesAnswered", status.counters.votesAnswered},
          {"gridsSent", status.counters.gridsSent},
          {"gridsConfirmed", status.counters.gridsConfirmed},
          {"gridsDiffered", status.counters.gridsDiffered}}},
        {"statusLines", status.recentLines},
        {"statusLinesKept", status.recentLinesKept},
    };
    if (status.lastGrid) {
        out["lastGrid"] = {{"ruleName", status.lastGrid->ruleName},
                           {"outcome", app::gridOutcomeWord(status.lastGrid->outcome)},
                           {"outcomeText", status.lastGrid->outcomeText},
                           {"places", placesJson(status.lastGrid->places)}};
    }
    return out;
}

json serverJson(const app::frmMain& form, std::int16_t index) {
    const auto server = collectServer(form, index);
    return server ? toJson(*server) : json(nullptr);
}

json serversJson(const app::frmMain& form) {
    json list = json::array();
    for (const auto index : form.serverIndices()) {
        list.push_back(serverJson(form, index));
    }
    return {{"servers", std::move(list)}};
}

namespace {

std::optional<json> parseObject(const std::string& body, std::string& why) {
    json value = json::parse(body, nullptr, false);
    if (value.is_discarded()) {
        why = "the body is not JSON";
        return std::nullopt;
    }
    if (!value.is_object()) {
        why = "the body is not a JSON object";
        return std::nullopt;
    }
    return value;
}

// 0, 1 or 2, as the start-up file and the check boxes take them.
std::optional<int> checkValue(const json& value, int highest) {
    if (!value.is_number_integer()) {
        return std::nullopt;
    }
    const auto n = value.get<long long>();
    if (n < 0 || n > highest) {
        return std::nullopt;
    }
    return static_cast<int>(n);
}

} // namespace

std::optional<RulesChange> parseRulesChange(const std::string& body, std::string& why) {
    const auto object = parseObject(body, why);
    if (!object) {
        return std::nullopt;
    }
    RulesChange out;
    for (const auto& [key, value] : object->items()) {
        if (key == "lastRace" || key == "reverseTop") {
            const auto v = checkValue(value, 2);
            if (!v) {
                why = "'" + key + "' takes 0, 1 or 2";
                return std::nullopt;
            }
            (key == "lastRace" ? out.lastRace : out.reverseTop) = v;
        } else if (key == "custom") {
            const auto v = checkValue(value, 1);
            if (!v) {
                why = "'custom' takes 0 or 1";
                return std::nullopt;
            }
            out.custom = v;
        } else if (key == "reverseCount") {
            // Kept as text, as the window's box keeps it; what a vote makes of
            // text that is no count is the vote's business, and it says so.
            constexpr std::size_t kLongest = 16;
            if (value.is_number_integer() && value.get<long long>() >= 0 && value.get<long long>() <= 999) {
                out.reverseCount = std::to_string(value.get<long long>());
            } else if (const auto* text = value.get_ptr<const std::string*>();
                       text != nullptr && text->size() <= kLongest &&
                       std::none_of(text->begin(), text->end(),
                                    [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; })) {
                // No control characters: the window's one-line box takes
                // none, and a line break would split the status line it is
                // quoted in, and a line of the start-up file.
                out.reverseCount = *text;
            } else {
                why = "'reverseCount' takes a count (0 to 999) or a text of at most 16 characters, none of them "
                      "control characters";
                return std::nullopt;
            }
        } else {
            why = "unknown rule '" + key + "' (lastRace, reverseTop, reverseCount, custom)";
            return std::nullopt;
        }
    }
    return out;
}

void applyRulesChange(app::frmMain& form, std::int16_t index, const RulesChange& change) {
    app::ServerViews* views = form.server(index);
    if (views == nullptr) {
        return;
    }
    // The count first: a box switched on reads the count that comes with it.
    if (change.reverseCount) {
        views->txtReverse.setText(*change.reverseCount);
    }
    if (change.lastRace) {
        views->chkLastRace.setValue(*change.lastRace);
    }
    if (change.reverseTop) {
        views->chkReverse.setValue(*change.reverseTop);
    }
    if (change.custom) {
        views->chkCustom.setValue(*change.custom);
    }
}

std::optional<std::vector<std::string>> parseGridUsers(const std::string& body, std::string& why) {
    const auto object = parseObject(body, why);
    if (!object) {
        return std::nullopt;
    }
    const auto users = object->find("users");
    if (users == object->end() || !users->is_array() || object->size() != 1) {
        why = "the body takes one member, 'users': a list of user names";
        return std::nullopt;
    }
    std::vector<std::string> out;
    for (const auto& user : *users) {
        if (!user.is_string() || user.get<std::string>().empty()) {
            why = "'users' holds user names (non-empty texts) only";
            return std::nullopt;
        }
        out.push_back(user.get<std::string>());
    }
    return out;
}

namespace {

// Label values escape backslash, quote and newline.
std::string labelValue(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

} // namespace

std::string metricsText(const app::frmMain& form, std::chrono::seconds uptime) {
    struct Row {
        std::string labels;
        app::ServerStatus status;
    };
    std::vector<Row> rows;
    for (const auto index : form.serverIndices()) {
        if (auto status = form.Status(index)) {
            rows.push_back({"{server=\"" + std::to_string(index) + "\",name=\"" + labelValue(status->name) + "\"}",
                            std::move(*status)});
        }
    }
    std::string out;
    const auto family = [&out](const char* name, const char* type, const char* help) {
        out += std::string("# HELP paddock_marshal_") + name + " " + help + "\n# TYPE paddock_marshal_" + name + " " +
               type + "\n";
    };
    const auto perServer = [&](const char* name, const char* type, const char* help, auto value) {
        family(name, type, help);
        for (const auto& row : rows) {
            out += std::string("paddock_marshal_") + name + row.labels + " " + std::to_string(value(row.status)) + "\n";
        }
    };
    family("uptime_seconds", "gauge", "Seconds since the program started.");
    out += "paddock_marshal_uptime_seconds " + std::to_string(uptime.count()) + "\n";
    family("servers", "gauge", "Servers the program follows.");
    out += "paddock_marshal_servers " + std::to_string(rows.size()) + "\n";
    perServer("link_up", "gauge", "1 while the InSim link to the server is up.", [](const app::ServerStatus& s) {
        return s.link.phase == app::LinkPhase::Connected || s.link.phase == app::LinkPhase::Silent ? 1 : 0;
    });
    perServer("insim_generation", "gauge", "The InSim generation spoken (0 before it is known).",
              [](const app::ServerStatus& s) { return s.link.generation; });
    perServer("votes_answered_total", "counter", "Restart votes answered with a grid.",
              [](const app::ServerStatus& s) { return s.counters.votesAnswered; });
    perServer("grids_sent_total", "counter", "Grids sent (votes and *reorder).",
              [](const app::ServerStatus& s) { return s.counters.gridsSent; });
    perServer("grids_confirmed_total", "counter", "Grids the host started as sent.",
              [](const app::ServerStatus& s) { return s.counters.gridsConfirmed; });
    perServer("grids_differed_total", "counter", "Grids the host started otherwise.",
              [](const app::ServerStatus& s) { return s.counters.gridsDiffered; });
    perServer("seconds_since_last_packet", "gauge", "Seconds since the host's last packet, while linked.",
              [](const app::ServerStatus& s) { return s.link.silentSeconds; });
    return out;
}

} // namespace pm::web
