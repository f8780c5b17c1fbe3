#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <iterator>
#include <string>
#include <thread>

#include "platform/FileLock.h"

namespace pm::platform {

namespace {

// Windows locks byte ranges, and a range locked by one handle cannot be
// read through another. The lock sits far past the end of the file, so the
// ID at its start stays readable to the program that is refused.
constexpr DWORD kLockOffsetHigh = 1; // 4 GiB

// The holder writes its ID right after it got the lock; a reader that comes
// in between finds the file empty and looks again a moment later.
constexpr int kPidReadTries = 5;
constexpr auto kPidReadPause = std::chrono::milliseconds(20);

std::string systemMessage(DWORD code) {
    char* text = nullptr;
    const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                         FORMAT_MESSAGE_IGNORE_INSERTS,
                                     nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string out = n > 0 && text != nullptr ? std::string(text, n) : "error " + std::to_string(code);
    ::LocalFree(text);
    while (!out.empty() &&
           (out.back() == '\n' || out.back() == '\r' || out.back() == ' ' || out.back() == '.')) {
        out.pop_back();
    }
    return out;
}

long readPid(HANDLE file) {
    char buf[32] = {};
    OVERLAPPED at{}; // from the start, whatever the handle's position
    DWORD n = 0;
    if (!::ReadFile(file, buf, sizeof buf - 1, &n, &at) || n == 0) {
        return 0;
    }
    return std::strtol(buf, nullptr, 10);
}

// The program's file name ("paddock-marshal.exe"), as Task Manager lists it.
std::string programName(long pid) {
    HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (process == nullptr) {
        return {};
    }
    wchar_t wide[MAX_PATH * 2];
    DWORD size = static_cast<DWORD>(std::size(wide));
    const bool ok = ::QueryFullProcessImageNameW(process, 0, wide, &size) != 0;
    ::CloseHandle(process);
    if (!ok) {
        return {};
    }
    std::wstring path(wide, size);
    const auto slash = path.find_last_of(L"\\/");
    const std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, name.data(), static_cast<int>(name.size()), nullptr,
                                            0, nullptr, nullptr);
    std::string out(bytes > 0 ? bytes : 0, '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, name.data(), static_cast<int>(name.size()), out.data(), bytes, nullptr,
                          nullptr);
    return out;
}

} // namespace

FileLock::Attempt FileLock::acquire(const std::filesystem::path& path) {
    Attempt out;
    if (held()) {
        out.outcome = Outcome::Acquired;
        return out;
    }
    // Shared for reading and writing: the lock, not the open, keeps a second
    // program out, and that one must still read who holds it. Not for
    // deleting: a lock file cleared by hand while held would let the next
    // program lock a new file beside the running one. Not inherited by child
    // processes, as O_CLOEXEC on POSIX.
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        out.error = systemMessage(::GetLastError());
        return out;
    }
    // The lock belongs to this handle: a second open in the same process is
    // refused as well, and the system drops it when the process ends, however
    // it ends.
    OVERLAPPED range{};
    range.OffsetHigh = kLockOffsetHigh;
    if (!::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &range)) {
        const DWORD err = ::GetLastError();
        if (err == ERROR_LOCK_VIOLATION) {
            out.outcome = Outcome::HeldByOther;
            for (int i = 0; i < kPidReadTries && out.holderPid == 0; ++i) {
                if (i > 0) {
                    std::this_thread::sleep_for(kPidReadPause);
                }
                out.holderPid = readPid(file);
            }
            if (out.holderPid > 0) {
                out.holderName = programName(out.holderPid);
            }
        } else {
            out.error = systemMessage(err);
        }
        ::CloseHandle(file);
        return out;
    }
    const std::string pid = std::to_string(::GetCurrentProcessId()) + "\r\n";
    DWORD written = 0;
    OVERLAPPED at{};
    if (!::SetEndOfFile(file) ||
        !::WriteFile(file, pid.data(), static_cast<DWORD>(pid.size()), &written, &at)) {
        // Locked but unable to say by whom: still ours, and still exclusive.
    }
    handle_ = reinterpret_cast<std::intptr_t>(file);
    out.outcome = Outcome::Acquired;
    return out;
}

void FileLock::release() {
    if (held()) {
        // The file stays, as on POSIX systems: the lock is what counts.
        ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
        handle_ = kNone;
    }
}

} // namespace pm::platform
