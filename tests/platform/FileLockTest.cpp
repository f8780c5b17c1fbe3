// The state file's lock, the same on every system: exclusive even within one
// process, never waiting, and naming its holder to whoever is refused.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/FileLock.h"

namespace pm::platform {
namespace {

namespace fs = std::filesystem;
using Outcome = FileLock::Outcome;

class FileLockTest : public ::testing::Test {
protected:
    FileLockTest() {
        static int n = 0;
        dir = fs::temp_directory_path() / ("pm_lock_" + std::to_string(::getpid()) + "_" + std::to_string(++n));
        fs::create_directories(dir);
        path = dir / "state.db.lock";
    }
    ~FileLockTest() override {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    std::string content() const {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream out;
        out << in.rdbuf();
        std::string text = out.str();
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
            text.pop_back();
        }
        return text;
    }

    fs::path dir;
    fs::path path;
    const std::string ownPid = std::to_string(::getpid());
};

TEST_F(FileLockTest, the_holder_is_named_to_a_second_open_until_it_lets_go) {
    // Whatever an earlier holder left in the file (a killed one leaves its ID)
    // is replaced whole, not overwritten in part.
    for (const char* leftOver : {"", "4242\n", "123456789012345678\n", "not a number"}) {
        SCOPED_TRACE(std::string("left in the file: '") + leftOver + "'");
        std::ofstream(path, std::ios::binary) << leftOver;
        FileLock first;
        ASSERT_EQ(first.acquire(path).outcome, Outcome::Acquired);
        EXPECT_TRUE(first.held());
        EXPECT_EQ(content(), ownPid);
        EXPECT_EQ(first.acquire(path).outcome, Outcome::Acquired) << "taking it again is no conflict";

        FileLock second;
        const auto refused = second.acquire(path);
        EXPECT_EQ(refused.outcome, Outcome::HeldByOther);
        EXPECT_EQ(std::to_string(refused.holderPid), ownPid);
        EXPECT_EQ(refused.holderName.rfind("platform_tests", 0), 0u) << refused.holderName;
        EXPECT_FALSE(second.held());

        first.release();
        EXPECT_FALSE(first.held());
        EXPECT_EQ(second.acquire(path).outcome, Outcome::Acquired);
        EXPECT_TRUE(fs::exists(path)) << "the file outlives its lock";
    }
}

TEST_F(FileLockTest, a_lock_ends_with_its_owner) {
    {
        FileLock scoped;
        ASSERT_EQ(scoped.acquire(path).outcome, Outcome::Acquired);
    }
    FileLock next;
    EXPECT_EQ(next.acquire(path).outcome, Outcome::Acquired);
}

TEST_F(FileLockTest, a_place_that_cannot_hold_the_file_fails_with_a_reason) {
    for (const fs::path& where : {dir / "missing" / "state.db.lock", dir}) {
        FileLock lock;
        const auto attempt = lock.acquire(where);
        EXPECT_EQ(attempt.outcome, Outcome::Failed) << where;
        EXPECT_FALSE(attempt.error.empty()) << where;
        EXPECT_FALSE(lock.held()) << where;
    }
}

#ifdef _WIN32
// Deleting the lock of a running program (a "stale" file cleared by hand)
// would let the next one make a new file and lock that: Windows can refuse
// the deletion while the file is open.
TEST_F(FileLockTest, a_held_lock_file_cannot_be_deleted) {
    FileLock first;
    ASSERT_EQ(first.acquire(path).outcome, Outcome::Acquired);
    std::error_code ec;
    EXPECT_FALSE(fs::remove(path, ec));
    FileLock second;
    EXPECT_EQ(second.acquire(path).outcome, Outcome::HeldByOther);
}
#endif

} // namespace
} // namespace pm::platform
