// What a browser (or anyone who reaches the port) sends the dashboard, past
// the HTTP library: a rules or grid body, an Authorization header, a listen
// address. Input: a selector byte, then the text.
//
// Whatever comes in, the answers built afterwards are valid JSON and
// Prometheus text, and the admin password is never among them unless the
// input wrote it there itself.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "app/frmMain.h"
#include "insim/Packets.h"
#include "platform/Platform.h"
#include "web/StatusJson.h"
#include "web/WebAccess.h"

namespace {

constexpr const char* kPassword = "pw-never-shown";
constexpr const char* kToken = "0123456789abcdef-token";

[[noreturn]] void broken(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

struct Dashboard {
    Dashboard() : stack(std::make_unique<pm::platform::ManualClock>()), form(stack.platform(), "/nonexistent.cfg") {
        form.Form_Load();
        form.txtNewServer.setText("Club");
        index = form.AddServer();
        auto& views = *form.server(index);
        views.ucInSim.setAdminPW(kPassword);
        for (std::uint8_t id = 1; id <= 4; ++id) {
            pm::insim::IsNcn ncn;
            ncn.UCID = id;
            ncn.UName = "user" + std::to_string(id);
            ncn.PName = "^" + std::to_string(id) + "Nick " + std::to_string(id);
            views.ucInSim.ReceivePacket(ncn.toBytes());
        }
        views.lstFinish.addItem("01 user2");
        views.lstFinish.addItem("02 user1");
    }
    // What an input may change: the rules and the order.
    void reset() {
        auto& views = *form.server(index);
        views.chkLastRace.setValue(1);
        views.chkReverse.setValue(0);
        views.chkCustom.setValue(0);
        views.txtReverse.setText("10");
        views.lstOrder.clear();
    }

    pm::platform::PlatformStack stack;
    pm::app::frmMain form;
    std::int16_t index = 0;
};

// given: what the input itself said; a password it named is its own words.
void checkAnswers(const pm::app::frmMain& form, const std::string& given) {
    std::string json;
    try {
        json = pm::web::serversJson(form).dump();
    } catch (const nlohmann::json::exception&) {
        broken("the servers' JSON cannot be written");
    }
    if (!nlohmann::json::accept(json)) {
        broken("the servers' JSON does not read back");
    }
    const std::string metrics = pm::web::metricsText(form, std::chrono::seconds(1));
    const bool named = given.find(kPassword) != std::string::npos;
    if (!named && (json.find(kPassword) != std::string::npos || metrics.find(kPassword) != std::string::npos)) {
        broken("the admin password is in an answer");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Dashboard dashboard;
    if (size == 0) {
        return 0;
    }
    dashboard.reset();
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::string why;
    // The answers are written and read back only after an input that changed
    // something, which is most of a run's cost: the others leave the state
    // reset() made, which no input can make unsound.
    bool changed = false;
    switch (data[0] % 4) {
    case 0:
        if (const auto change = pm::web::parseRulesChange(text, why)) {
            pm::web::applyRulesChange(dashboard.form, dashboard.index, *change);
            changed = true;
        } else if (why.empty()) {
            broken("a refused rules body says no why");
        }
        break;
    case 1:
        if (const auto users = pm::web::parseGridUsers(text, why)) {
            dashboard.form.ArrangeGrid(dashboard.index, *users);
            changed = true;
        } else if (why.empty()) {
            broken("a refused grid body says no why");
        }
        break;
    case 2:
        if (pm::web::bearerMatches(text, kToken) && text.find(kToken) == std::string::npos) {
            broken("a header without the token was let in");
        }
        break;
    case 3:
        if (!pm::web::parseListenAddress(text, why) && why.empty()) {
            broken("a refused address says no why");
        }
        break;
    }
    if (changed) {
        checkAnswers(dashboard.form, text);
    }
    return 0;
}
