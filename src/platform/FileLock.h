#pragma once
// An exclusive advisory lock on a file, held until release or until the
// process ends in any way (a SIGKILL or TerminateProcess included), so a
// crash never leaves a stale lock behind. The holder writes its process ID
// into the file, so that a second program refused the lock can say who
// holds it.

#include <cstdint>
#include <filesystem>
#include <string>

namespace pm::platform {

class FileLock {
public:
    enum class Outcome {
        Acquired,
        HeldByOther, // another open of the file holds it: another process, or this one elsewhere
        Failed,      // the file cannot be created or locked (read-only or missing folder, ...)
    };
    struct Attempt {
        Outcome outcome = Outcome::Failed;
        long holderPid = 0;     // HeldByOther: the process written in the file; 0 when unknown
        std::string holderName; // HeldByOther: its command name (program file on Windows), when told
        std::string error;      // Failed: why, in a few words
    };

    FileLock() = default;
    ~FileLock() { release(); }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // Creates the file when needed; never blocks.
    Attempt acquire(const std::filesystem::path& path);
    void release();
    bool held() const { return handle_ != kNone; }

private:
    // A descriptor on POSIX systems, a HANDLE on Windows (whose invalid
    // handle is -1 as well).
    static constexpr std::intptr_t kNone = -1;
    std::intptr_t handle_ = kNone;
};

} // namespace pm::platform
