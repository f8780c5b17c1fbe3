#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <thread>

#include "platform/FileLock.h"

namespace pm::platform {

namespace {

// The holder writes its ID right after it got the lock; a reader that comes
// in between finds the file empty and looks again a moment later.
constexpr int kPidReadTries = 5;
constexpr auto kPidReadPause = std::chrono::milliseconds(20);

long readPid(int fd) {
    char buf[32] = {};
    const ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
    if (n <= 0) {
        return 0;
    }
    return std::strtol(buf, nullptr, 10);
}

std::string commandName(long pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(in, name);
    return name;
}

} // namespace

FileLock::Attempt FileLock::acquire(const std::filesystem::path& path) {
    Attempt out;
    if (held()) {
        out.outcome = Outcome::Acquired;
        return out;
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        out.error = std::strerror(errno);
        return out;
    }
    // flock, not fcntl: its lock belongs to this open file description, so a
    // second open in the same process is refused as well, and closing some
    // other descriptor of the file does not drop it.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        if (err == EWOULDBLOCK) {
            out.outcome = Outcome::HeldByOther;
            for (int i = 0; i < kPidReadTries && out.holderPid == 0; ++i) {
                if (i > 0) {
                    std::this_thread::sleep_for(kPidReadPause);
                }
                out.holderPid = readPid(fd);
            }
            if (out.holderPid > 0) {
                out.holderName = commandName(out.holderPid);
            }
        } else {
            out.error = std::strerror(err);
        }
        ::close(fd);
        return out;
    }
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
        // Locked but unable to say by whom: still ours, and still exclusive.
    }
    handle_ = fd;
    out.outcome = Outcome::Acquired;
    return out;
}

void FileLock::release() {
    if (held()) {
        // The file stays: removing it would race with a program that has
        // just opened it and is about to lock the removed copy.
        ::close(static_cast<int>(handle_));
        handle_ = kNone;
    }
}

} // namespace pm::platform
