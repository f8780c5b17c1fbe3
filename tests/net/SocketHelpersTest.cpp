// Name resolution, address text, error texts and the notification-code
// extraction the socket object builds its events from.

#include <gtest/gtest.h>


#include <string>

#include "net/SocketHelpers.h"
#include "platform/Platform.h"

namespace pm::net {
namespace {

class ResolveHostTest : public ::testing::Test {
protected:
    platform::PlatformStack stack;
};

TEST_F(ResolveHostTest, dotted_address_is_returned_unchanged) {
    for (const char* host : {"127.0.0.1", "10.0.0.7", "0", "192.168.000.001"}) {
        EXPECT_EQ(ResolveHost(stack.sockets(), host), host);
    }
}

TEST_F(ResolveHostTest, host_name_gives_dotted_text_of_its_address) {
    EXPECT_EQ(ResolveHost(stack.sockets(), "localhost"), "127.0.0.1");
}

TEST_F(ResolveHostTest, unknown_name_and_empty_text_give_empty_text) {
    EXPECT_EQ(ResolveHost(stack.sockets(), "no-such-host.invalid"), "");
    EXPECT_EQ(ResolveHost(stack.sockets(), ""), "");
}

TEST(AddrToStringTest, network_order_address_gives_dotted_text) {
    EXPECT_EQ(AddrToString(platform::hostToNet32(0x7F000001u)), "127.0.0.1");
    EXPECT_EQ(AddrToString(platform::hostToNet32(0x0A000007u)), "10.0.0.7");
    EXPECT_EQ(AddrToString(0u), "0.0.0.0");
    EXPECT_EQ(AddrToString(0xFFFFFFFFu), "255.255.255.255");
}

TEST(WinsockErrorTextTest, listed_codes_give_their_texts) {
    const std::pair<int, const char*> rows[] = {
        {10004, "interrupted function call"},
        {10024, "too many files open"},
        {10035, "function call would block"},
        {10038, "not a valid socket descriptor"},
        {10040, "message is too long"},
        {10048, "address in use"},
        {10054, "connection reset by peer"},
        {10061, "connection refused"},
        {10063, "name is too long"},
        {10065, "host is unreachable"},
        {10067, "too many processes"},
        {10093, "winsock is not loaded - call WSAStartup"},
        {10109, "class type not found"},
        {11001, "host not found"},
        {11004, "valid name - no data record of requested type"},
    };
    for (const auto& [code, text] : rows) {
        EXPECT_EQ(WinsockErrorText(code), text) << code;
    }
}

TEST(WinsockErrorTextTest, unlisted_codes_give_unknown_error_with_the_number) {
    EXPECT_EQ(WinsockErrorText(0), "unknown error(0)");
    EXPECT_EQ(WinsockErrorText(10062), "unknown error(10062)");
    EXPECT_EQ(WinsockErrorText(10066), "unknown error(10066)");
    EXPECT_EQ(WinsockErrorText(-1), "unknown error(-1)");
    EXPECT_EQ(WinsockErrorText(11005), "unknown error(11005)");
}

TEST(LoWordTest, low_half_is_sign_extended_and_high_half_ignored) {
    EXPECT_EQ(LoWord(1), 1);
    EXPECT_EQ(LoWord(65535), -1);
    EXPECT_EQ(LoWord(131073), 1);
    EXPECT_EQ(LoWord(32767), 32767);
    EXPECT_EQ(LoWord(32768), -32768);
    EXPECT_EQ(LoWord(-1), -1);
    // A notification carrying an error in its high half keeps its code.
    EXPECT_EQ(LoWord((10061 << 16) | 16), 16);
}

} // namespace
} // namespace pm::net
