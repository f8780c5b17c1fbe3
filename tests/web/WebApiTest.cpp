// The API over a real socket: what each path answers, what is refused and
// how, and that a change lands in the same models the window's boxes write.

#include <nlohmann/json.hpp>

#include "web/WebFixture.h"

using namespace pm;
using namespace pm::test;
using nlohmann::json;

namespace {

class WebApiTest : public WebTest {
protected:
    void SetUp() override { serve(); }
};

} // namespace

TEST_F(WebApiTest, each_read_path_answers_with_its_content) {
    driver(n, 3, "ann");
    const struct {
        const char* method;
        const char* path;
        const char* type;
        const char* holds;
    } rows[] = {
        {"GET", "/", "text/html", "<title>Paddock Marshal</title>"},
        {"GET", "/healthz", "text/plain", "ok"},
        {"GET", "/metrics", "text/plain", "paddock_marshal_votes_answered_total{server=\"1\",name=\"Club\"} 0"},
        {"GET", "/api/servers", "application/json", "\"name\":\"Club\""},
        {"GET", "/api/servers/1", "application/json", "\"user\":\"ann\""},
        {"GET", "/api/access", "application/json", "\"changes\":true"},
        {"HEAD", "/", "text/html", ""},
    };
    for (const auto& row : rows) {
        const Answer a = request(row.method, row.path);
        EXPECT_EQ(a.status, 200) << row.path;
        EXPECT_NE(header(a, "Content-Type").find(row.type),
                  std::string::npos)
            << row.path;
        EXPECT_NE(a.body.find(row.holds), std::string::npos) << row.path << ": " << a.body.substr(0, 200);
        EXPECT_EQ(header(a, "Set-Cookie"), "") << row.path;
    }
}

TEST_F(WebApiTest, a_server_is_described_by_its_status_model_and_views) {
    driver(n, 3, "ann");
    driver(n, 4, "bob");
    setItems(views(n).lstFinish, {"01 bob", "02 ann"});
    views(n).chkLastRace.setValue(1);
    views(n).chkReverse.setValue(1);
    views(n).txtReverse.setText("2");
    const json s = json::parse(get("/api/servers/1").body);
    EXPECT_EQ(s["index"], 1);
    EXPECT_EQ(s["name"], "Club");
    EXPECT_EQ(s["rules"], json::parse(R"({"lastRace":1,"reverseTop":1,"reverseCount":"2","custom":0})"));
    EXPECT_EQ(s["connections"].size(), 2U);
    EXPECT_EQ(s["connections"][0]["nickname"], "Nickann");
    EXPECT_EQ(s["finishingOrder"][0], json::parse(R"({"place":1,"user":"bob","nickname":"Nickbob"})"));
    // Reverse Top 2 of bob, ann: ann starts first.
    EXPECT_EQ(s["nextGrid"]["ruleName"], "Reverse Top 2");
    EXPECT_EQ(s["nextGrid"]["places"][0]["user"], "ann");
    EXPECT_EQ(s["nextGrid"]["places"][0]["onTrack"], true);
    EXPECT_TRUE(s["lastGrid"].is_null());
    EXPECT_EQ(s["counters"]["votesAnswered"], 0);
    // Nicknames keep their colour codes, for the page to draw.
    insim::IsNcn ncn;
    ncn.UCID = 9;
    ncn.UName = "cid";
    ncn.PName = "^1Red^7Cid";
    views(n).ucInSim.ReceivePacket(ncn.toBytes());
    EXPECT_EQ(json::parse(get("/api/servers/1").body)["connections"][2]["nickname"], "^1Red^7Cid");
    const json all = json::parse(get("/api/servers").body);
    ASSERT_EQ(all["servers"].size(), 1U);
    EXPECT_EQ(all["servers"][0]["finishingOrder"], s["finishingOrder"]);
}

TEST_F(WebApiTest, refusals) {
    const std::string big(70 * 1024, ' ');
    const struct {
        const char* method;
        std::string path;
        std::string body;
        std::string authorization;
        int status;
    } rows[] = {
        {"DELETE", "/api/servers/1", "", "", 405},
        {"POST", "/api/servers/1/rules", "{}", "Bearer " + std::string(kToken), 405},
        {"PATCH", "/api/servers/1/rules", "{}", "", 405},
        {"OPTIONS", "/api/servers", "", "", 405},
        {"PUT", "/api/servers", "{}", "Bearer " + std::string(kToken), 405},
        {"GET", "/api/servers/1/rules", "", "", 405},
        {"GET", "/nothing", "", "", 404},
        {"GET", "/api/servers/2", "", "", 404},
        {"GET", "/api/servers/0", "", "", 404},
        {"GET", "/api/servers/99999", "", "", 404},
        {"GET", "/api/servers/1/", "", "", 404},
        {"GET", "/index.html", "", "", 404},
        {"GET", "/../../etc/passwd", "", "", 404},
        {"GET", "/%2e%2e/etc/passwd", "", "", 404},
        {"PUT", "/api/servers/1/rules", "{}", "", 401},
        {"PUT", "/api/servers/1/rules", "{}", "Bearer wrong", 401},
        {"PUT", "/api/servers/1/rules", "{}", "Bearer " + std::string(kToken) + "x", 401},
        {"PUT", "/api/servers/1/rules", "{}", "Bearer " + std::string(kToken).substr(1), 401},
        {"PUT", "/api/servers/1/rules", "{}", std::string(kToken), 401},
        {"PUT", "/api/servers/1/rules", "{}", "Basic " + std::string(kToken), 401},
        {"PUT", "/api/servers/1/rules", big, "", 401},
        {"PUT", "/api/servers/1/rules", big, "Bearer " + std::string(kToken), 413},
        {"PUT", "/api/servers/1/rules", "not json", "Bearer " + std::string(kToken), 400},
        {"PUT", "/api/servers/1/rules", "[1]", "Bearer " + std::string(kToken), 400},
        {"PUT", "/api/servers/1/rules", R"({"lastRace":3})", "Bearer " + std::string(kToken), 400},
        {"PUT", "/api/servers/1/rules", R"({"custom":2})", "Bearer " + std::string(kToken), 400},
        {"PUT", "/api/servers/1/rules", R"({"reverseTop":"1"})", "Bearer " + std::string(kToken), 400},
        {"PUT", "/api/servers/1/rules", R"({"reverseCount":"12345678901234567"})", "Bearer " + std::string(kToken),
         400},
        // Found by review: a line break would split a status line and a
        // line of the start-up file.
        {"PUT", "/api/servers/1/rules", R"({"reverseCount":"3\r\nName=x"})", "Bearer " + std::string(kToken), 400},
        {"PUT", "/api/servers/1/rules", R"({"password":"x"})", "Bearer " + std::string(kToken), 400},
        {"PUT", "/api/servers/1/grid", R"({"users":["ann","ann"]})", "Bearer " + std::string(kToken), 400},
        {"PUT", "/api/servers/1/grid", R"({"users":[1]})", "Bearer " + std::string(kToken), 400},
        {"PUT", "/api/servers/1/grid", R"({"names":[]})", "Bearer " + std::string(kToken), 400},
        {"PUT", "/api/servers/3/rules", "{}", "Bearer " + std::string(kToken), 404},
        {"PUT", "/api/servers/3/grid", R"({"users":[]})", "Bearer " + std::string(kToken), 404},
    };
    for (const auto& row : rows) {
        const Answer a = request(row.method, row.path, row.body, row.authorization);
        const std::string where = std::string(row.method) + " " + row.path + " " + row.body.substr(0, 40) + " [" +
                                  row.authorization + "]";
        EXPECT_EQ(a.status, row.status) << where;
        if (row.status != 405 || std::string(row.method) != "OPTIONS") {
            EXPECT_TRUE(json::accept(a.body) && json::parse(a.body).contains("error")) << where << ": " << a.body;
        }
        if (a.status == 401) {
            EXPECT_EQ(header(a, "WWW-Authenticate"), "Bearer") << where;
        }
    }
    // Nothing refused changed anything.
    EXPECT_EQ(views(n).chkLastRace.value(), 0);
    EXPECT_EQ(views(n).chkCustom.value(), 0);
}

TEST_F(WebApiTest, a_rules_change_writes_the_windows_boxes) {
    int changes = 0;
    views(n).chkReverse.changed.connect([&changes] { ++changes; });
    const Answer a = put("/api/servers/1/rules", R"({"lastRace":2,"reverseTop":1,"reverseCount":4,"custom":1})");
    ASSERT_EQ(a.status, 200) << a.body;
    EXPECT_EQ(views(n).chkLastRace.value(), 2);
    EXPECT_EQ(views(n).chkReverse.value(), 1);
    EXPECT_EQ(views(n).txtReverse.text(), "4");
    EXPECT_EQ(views(n).chkCustom.value(), 1);
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(json::parse(a.body)["rules"],
              json::parse(R"({"lastRace":2,"reverseTop":1,"reverseCount":"4","custom":1})"));
    // A body with some of the rules leaves the others as they are.
    ASSERT_EQ(put("/api/servers/1/rules", R"({"custom":0,"reverseCount":"all"})").status, 200);
    EXPECT_EQ(views(n).chkLastRace.value(), 2);
    EXPECT_EQ(views(n).chkCustom.value(), 0);
    EXPECT_EQ(views(n).txtReverse.text(), "all");
    // A body with one bad rule changes none.
    ASSERT_EQ(put("/api/servers/1/rules", R"({"lastRace":0,"reverseTop":7})").status, 400);
    EXPECT_EQ(views(n).chkLastRace.value(), 2);
}

TEST_F(WebApiTest, a_grid_arranged_through_the_api_is_the_custom_order) {
    driver(n, 3, "ann");
    driver(n, 4, "bob");
    driver(n, 5, "cid");
    setItems(views(n).lstFinish, {"01 ann", "02 bob", "03 cid"});
    views(n).chkLastRace.setValue(1);
    const Answer a = put("/api/servers/1/grid", R"({"users":["cid","ann","bob"]})");
    ASSERT_EQ(a.status, 200) << a.body;
    EXPECT_EQ(views(n).chkCustom.value(), 1);
    EXPECT_EQ(views(n).lstOrder.texts(), (V{"cid", "ann", "bob"}));
    const json grid = json::parse(a.body)["nextGrid"];
    EXPECT_EQ(grid["rule"], "custom");
    EXPECT_EQ(grid["places"][0]["user"], "cid");
}

TEST_F(WebApiTest, the_token_unlocks_changes_only_when_it_is_the_one_in_the_file) {
    const auto access = [this](const std::string& authorization) {
        return json::parse(request("GET", "/api/access", "", authorization).body);
    };
    EXPECT_EQ(access(""), json::parse(R"({"changes":true,"authorized":false})"));
    EXPECT_EQ(access("Bearer nope"), json::parse(R"({"changes":true,"authorized":false})"));
    EXPECT_EQ(access("Bearer " + std::string(kToken)), json::parse(R"({"changes":true,"authorized":true})"));
    EXPECT_EQ(access("bearer " + std::string(kToken)), json::parse(R"({"changes":true,"authorized":true})"));
}

TEST_F(WebApiTest, the_admin_password_is_in_no_answer) {
    driver(n, 3, "ann");
    setItems(views(n).lstFinish, {"01 ann"});
    // A host's error text that echoes the password is the likeliest leak.
    views(n).ucInSim.txtLinkError.setText(std::string("host refused password ") + kAdminPassword);
    std::vector<std::string> bodies;
    for (const char* path : {"/", "/api/servers", "/api/servers/1", "/metrics", "/healthz", "/api/access"}) {
        bodies.push_back(get(path).body);
    }
    bodies.push_back(put("/api/servers/1/rules", R"({"reverseTop":1})").body);
    bodies.push_back(put("/api/servers/1/grid", R"({"users":["ann"]})").body);
    bodies.push_back(request("PUT", "/api/servers/1/rules", "{}", "Bearer " + std::string(kAdminPassword)).body);
    bodies.push_back(get("/nothing").body);
    for (const auto& body : bodies) {
        EXPECT_EQ(body.find(kAdminPassword), std::string::npos) << body.substr(0, 300);
    }
    EXPECT_NE(bodies[2].find("host refused password ***"), std::string::npos);
}

namespace {

class ReadOnlyWebTest : public WebTest {
protected:
    void SetUp() override { serve(std::nullopt); }
};

} // namespace

TEST_F(ReadOnlyWebTest, without_a_token_file_nothing_can_be_changed) {
    EXPECT_EQ(json::parse(get("/api/access").body), json::parse(R"({"changes":false,"authorized":false})"));
    for (const std::string& authorization : {std::string(), std::string("Bearer ") + kToken, std::string("Bearer ")}) {
        const Answer a = request("PUT", "/api/servers/1/rules", R"({"lastRace":1})", authorization);
        EXPECT_EQ(a.status, 403) << authorization;
    }
    EXPECT_EQ(views(n).chkLastRace.value(), 0);
    EXPECT_EQ(get("/api/servers/1").status, 200);
}

TEST_F(WebApiTest, an_address_that_keeps_guessing_the_token_is_refused_for_a_while_even_with_the_right_one) {
    for (int i = 0; i < web::TokenGuessLimit::kWrongAllowed; ++i) {
        ASSERT_EQ(request("PUT", "/api/servers/1/rules", "{}", "Bearer guess-" + std::to_string(i)).status, 401);
    }
    // Without a token, a read is no guess.
    EXPECT_EQ(request("GET", "/api/access").status, 200);
    for (const auto& [method, path] : {std::pair{"PUT", "/api/servers/1/rules"}, std::pair{"GET", "/api/access"}}) {
        const Answer a = request(method, path, method == std::string("PUT") ? "{}" : "", "Bearer " + std::string(kToken));
        EXPECT_EQ(a.status, 429) << path;
        const int wait = std::atoi(header(a, "Retry-After").c_str());
        EXPECT_TRUE(wait > 0 && wait <= 60) << path << ": " << header(a, "Retry-After");
    }
    EXPECT_EQ(views(n).chkLastRace.value(), 0);
}
