// A pipe read on the loop: every byte arrives in order, the end is told
// once, and nothing is told after the stream is gone. The same test runs on
// both systems (under Wine for Windows), where the reading differs most.

#include "platform/InputStream.h"

#include <gtest/gtest.h>

#include <string>

#include "LoopTestSupport.h"
#include "platform/PollEventLoop.h"
#include "platform/Clock.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

using namespace pm::platform;

namespace {

// A pipe whose reading end is a stream source.
class Pipe {
public:
    Pipe() {
#ifdef _WIN32
        HANDLE r = nullptr;
        HANDLE w = nullptr;
        EXPECT_TRUE(::CreatePipe(&r, &w, nullptr, 0));
        read_ = reinterpret_cast<InputStream::Source>(r);
        write_ = reinterpret_cast<InputStream::Source>(w);
#else
        int fds[2];
        EXPECT_EQ(::pipe(fds), 0);
        read_ = fds[0];
        write_ = fds[1];
#endif
    }
    ~Pipe() {
        closeWriter();
#ifdef _WIN32
        ::CloseHandle(reinterpret_cast<HANDLE>(read_));
#else
        ::close(static_cast<int>(read_));
#endif
    }
    InputStream::Source source() const { return read_; }
    void write(const std::string& text) {
#ifdef _WIN32
        DWORD n = 0;
        ASSERT_TRUE(::WriteFile(reinterpret_cast<HANDLE>(write_), text.data(), static_cast<DWORD>(text.size()), &n,
                                nullptr));
#else
        ASSERT_EQ(::write(static_cast<int>(write_), text.data(), text.size()), static_cast<ssize_t>(text.size()));
#endif
    }
    void closeWriter() {
        if (write_ == -1) {
            return;
        }
#ifdef _WIN32
        ::CloseHandle(reinterpret_cast<HANDLE>(write_));
#else
        ::close(static_cast<int>(write_));
#endif
        write_ = -1;
    }

private:
    InputStream::Source read_ = -1;
    InputStream::Source write_ = -1;
};

} // namespace

TEST(InputStream, every_byte_arrives_in_order_and_the_end_is_told_once) {
    SystemClock clock;
    PollEventLoop loop{clock};
    Pipe pipe;
    std::string got;
    int ends = 0;
    InputStream input(loop, pipe.source(), [&](std::string_view chunk) { got += chunk; }, [&] { ++ends; });
    ASSERT_TRUE(input.open());

    std::string sent;
    for (int i = 0; i < 2000; ++i) {
        const std::string line = "join driver" + std::to_string(i) + "\n";
        pipe.write(line);
        sent += line;
    }
    ASSERT_TRUE(testsupport::runUntil(loop, [&] { return got.size() == sent.size(); }));
    EXPECT_EQ(got, sent);
    EXPECT_EQ(ends, 0);

    pipe.closeWriter();
    ASSERT_TRUE(testsupport::runUntil(loop, [&] { return ends == 1; }));
    EXPECT_FALSE(input.open());
    loop.runOnce(std::chrono::milliseconds(50));
    EXPECT_EQ(ends, 1);
}

TEST(InputStream, a_stream_destroyed_while_input_is_under_way_tells_nothing_more) {
    SystemClock clock;
    PollEventLoop loop{clock};
    Pipe pipe;
    int calls = 0;
    {
        InputStream input(loop, pipe.source(), [&](std::string_view) { ++calls; }, [&] { ++calls; });
        pipe.write("vote restart\n");
        ASSERT_TRUE(testsupport::runUntil(loop, [&] { return calls == 1; }));
    }
    pipe.write("vote restart\n");
    pipe.closeWriter();
    loop.runOnce(std::chrono::milliseconds(100));
    EXPECT_EQ(calls, 1);
}
