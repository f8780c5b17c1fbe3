// --web ADDR:PORT and --web-token-file: what the command line takes, and
// which tokens open changes.

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>
#include <vector>
#include <fstream>

#include "app/CommandLine.h"
#include "web/WebAccess.h"

using namespace pm;

TEST(WebAccess, listen_addresses) {
    const struct {
        const char* text;
        const char* host; // nullptr: refused
        int port;
        bool loopback;
    } rows[] = {
        {"127.0.0.1:8270", "127.0.0.1", 8270, true},
        {"localhost:0", "127.0.0.1", 0, true},
        {"127.1.2.3:80", "127.1.2.3", 80, true},
        {"0.0.0.0:8270", "0.0.0.0", 8270, false},
        {"192.168.1.20:65535", "192.168.1.20", 65535, false},
        {"8270", nullptr, 0, false},
        {":8270", nullptr, 0, false},
        {"127.0.0.1:", nullptr, 0, false},
        {"127.0.0.1:65536", nullptr, 0, false},
        {"127.0.0.1:-1", nullptr, 0, false},
        {"127.0.0.1:123456", nullptr, 0, false},
        {"example.org:80", nullptr, 0, false},
        {"[::1]:8270", nullptr, 0, false},
        // Forms the system reads as addresses too, which loopback() could not judge.
        {"0x7f.0.0.1:80", nullptr, 0, false},
        {"2130706433:80", nullptr, 0, false},
        {"127.1:80", nullptr, 0, false},
    };
    for (const auto& row : rows) {
        std::string why;
        const auto address = web::parseListenAddress(row.text, why);
        ASSERT_EQ(address.has_value(), row.host != nullptr) << row.text << ": " << why;
        if (address) {
            EXPECT_EQ(address->host, row.host) << row.text;
            EXPECT_EQ(address->port, row.port) << row.text;
            EXPECT_EQ(address->loopback(), row.loopback) << row.text;
        } else {
            EXPECT_NE(why.find("--web"), std::string::npos) << row.text;
        }
    }
}

TEST(WebAccess, token_files) {
    const auto file = std::filesystem::temp_directory_path() / ("pm_web_token_" + std::to_string(::getpid()));
    const struct {
        const char* bytes; // nullptr: no file
        const char* token; // nullptr: refused
    } rows[] = {
        {"0123456789abcdef0123\n", "0123456789abcdef0123"},
        {"  0123456789abcdef0123 \r\nsecond line\n", "0123456789abcdef0123"},
        {"0123456789abcdef", "0123456789abcdef"},
        {"0123456789abcde\n", nullptr},
        {"", nullptr},
        {"\n\n", nullptr},
        {"0123456789 abcdef0123\n", nullptr},
        {"0123456789abcdef\xc3\xa9\n", nullptr},
        {nullptr, nullptr},
    };
    const std::string endless(5000, 'a'); // no header could carry it
    for (const auto& row : rows) {
        std::filesystem::remove(file);
        if (row.bytes != nullptr) {
            std::ofstream(file, std::ios::binary) << row.bytes;
        }
        std::string why;
        const auto token = web::readTokenFile(file.string(), why);
        const std::string where = row.bytes == nullptr ? "(no file)" : row.bytes;
        ASSERT_EQ(token.has_value(), row.token != nullptr) << where;
        if (token) {
            EXPECT_EQ(*token, row.token) << where;
        } else {
            EXPECT_NE(why.find(file.string()), std::string::npos) << where << ": " << why;
        }
    }
    std::filesystem::remove(file);
    std::ofstream(file, std::ios::binary) << endless;
    std::string why;
    EXPECT_FALSE(web::readTokenFile(file.string(), why));
    EXPECT_NE(why.find("longer than 4096"), std::string::npos) << why;
    std::filesystem::remove(file);
}

TEST(WebAccess, bearer_headers) {
    const std::string token = "0123456789abcdef0123";
    const struct {
        std::string header;
        bool matches;
    } rows[] = {
        {"Bearer " + token, true},
        {"bearer " + token, true},
        {"BEARER " + token, true},
        {"Bearer " + token + " ", false},
        {"Bearer  " + token, false},
        {"Bearer " + token.substr(0, 19), false},
        {"Bearer " + token + "0", false},
        {"Bearer " + token.substr(0, 19) + "4", false},
        {"Basic " + token, false},
        {token, false},
        {"Bearer ", false},
        {"", false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(web::bearerMatches(row.header, token), row.matches) << row.header;
    }
    EXPECT_FALSE(web::bearerMatches("Bearer ", ""));
}

TEST(WebAccess, command_line) {
    const struct {
        std::vector<std::string> args;
        std::string web, tokenFile, error;
    } rows[] = {
        {{"--headless", "--web", "127.0.0.1:8270"}, "127.0.0.1:8270", "", ""},
        {{"--web=0.0.0.0:80", "--web-token-file", "t"}, "0.0.0.0:80", "t", ""},
        {{"--web-token-file=t", "--web", "a:1"}, "a:1", "t", ""},
        {{"--web"}, "", "", "--web needs ADDR:PORT, such as 127.0.0.1:8270"},
        {{"--web", "a:1", "--web=b:2"}, "a:1", "", "--web given twice"},
        {{"--web-token-file", "t"}, "", "t", "--web-token-file needs --web ADDR:PORT"},
        {{"--web", "a:1", "--web-token-file"}, "", "", "--web-token-file needs a file name"},
    };
    for (const auto& row : rows) {
        const auto cmd = app::ParseCommandLine(row.args);
        const std::string where = row.args.front() + " (" + std::to_string(row.args.size()) + ")";
        EXPECT_EQ(cmd.error, row.error) << where;
        EXPECT_EQ(cmd.webAddress.value_or(""), row.web) << where;
        EXPECT_EQ(cmd.webTokenFile.value_or(""), row.tokenFile) << where;
    }
}

TEST(WebAccess, an_address_that_guesses_tokens_waits_out_the_minute_and_others_do_not) {
    using Clock = web::TokenGuessLimit::Clock;
    using std::chrono::seconds;
    web::TokenGuessLimit limit;
    const Clock::time_point t0{};
    for (int i = 0; i < web::TokenGuessLimit::kWrongAllowed; ++i) {
        EXPECT_EQ(limit.waitFor("10.0.0.1", t0 + seconds(i)), seconds(0)) << "wrong token " << i + 1;
        limit.wrong("10.0.0.1", t0 + seconds(i));
    }
    EXPECT_EQ(limit.waitFor("10.0.0.1", t0 + seconds(10)), seconds(50));
    EXPECT_EQ(limit.waitFor("10.0.0.2", t0 + seconds(10)), seconds(0));
    // Past the minute the address starts afresh, with all its tries.
    EXPECT_EQ(limit.waitFor("10.0.0.1", t0 + seconds(60)), seconds(0));
    limit.wrong("10.0.0.1", t0 + seconds(61));
    EXPECT_EQ(limit.waitFor("10.0.0.1", t0 + seconds(62)), seconds(0));
}

TEST(WebAccess, the_guess_limit_remembers_a_bounded_number_of_addresses) {
    using Clock = web::TokenGuessLimit::Clock;
    web::TokenGuessLimit limit;
    const Clock::time_point t0{};
    ASSERT_EQ(limit.tryToken("10.9.9.9", true, t0).count(), 0); // the administrator, before the crowd
    for (int i = 0; i < web::TokenGuessLimit::kWrongAllowed; ++i) {
        limit.wrong("10.0.0.1", t0);
    }
    for (std::size_t i = 0; i + 1 < web::TokenGuessLimit::kMostAddresses; ++i) {
        limit.wrong("10.1." + std::to_string(i / 256) + "." + std::to_string(i % 256), t0 + std::chrono::seconds(1));
    }
    EXPECT_GT(limit.waitFor("10.0.0.1", t0 + std::chrono::seconds(2)).count(), 0);
    // One more address waits for room, right token or not, and the
    // guesser's count stands.
    EXPECT_EQ(limit.tryToken("10.2.0.0", true, t0 + std::chrono::seconds(2)), std::chrono::seconds(58));
    EXPECT_GT(limit.waitFor("10.0.0.1", t0 + std::chrono::seconds(2)).count(), 0);
    // Found by review: the crowd shut the administrator out. An address
    // that gave the right token before still gets its token looked at.
    EXPECT_EQ(limit.tryToken("10.9.9.9", true, t0 + std::chrono::seconds(2)).count(), 0);
    // Once the minute is out, there is room again.
    EXPECT_EQ(limit.tryToken("10.2.0.0", false, t0 + std::chrono::seconds(61)).count(), 0);
}

TEST(WebAccess, guesses_that_come_at_once_are_counted_before_any_is_let_through) {
    web::TokenGuessLimit limit;
    std::atomic<int> looked{0};
    std::vector<std::thread> guessers;
    for (int i = 0; i < 64; ++i) {
        guessers.emplace_back([&] {
            if (limit.tryToken("10.0.0.9", false, web::TokenGuessLimit::Clock::time_point{}).count() == 0) {
                ++looked;
            }
        });
    }
    for (auto& t : guessers) {
        t.join();
    }
    EXPECT_EQ(looked.load(), web::TokenGuessLimit::kWrongAllowed);
}
