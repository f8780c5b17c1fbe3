#include "platform/System.h"

#include <windows.h>

#include <cstdint>
#include <string>

namespace pm::platform {

bool localTime(std::time_t t, std::tm& out) { return localtime_s(&out, &t) == 0; }

std::filesystem::path ownProgramPath() {
    // The wide form: a folder name outside the code page still works.
    std::wstring buf(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = ::GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
        if (n == 0) {
            return {};
        }
        if (n < buf.size()) {
            buf.resize(n);
            return std::filesystem::path(buf);
        }
        buf.resize(buf.size() * 2);
    }
}

bool isExecutable(const std::filesystem::path& program) {
    std::error_code ec;
    return std::filesystem::is_regular_file(program, ec);
}

// A program unpacked from the zip keeps its start-up file in its own folder.
std::filesystem::path systemConfigFolder() { return {}; }

bool stdoutIsJournal() { return false; }

std::filesystem::path longFileName(const std::filesystem::path& path) {
    std::wstring full(path.native().size() + MAX_PATH, L'\0');
    DWORD n = ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (n >= full.size()) {
        full.resize(n);
        n = ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    }
    if (n == 0 || n >= full.size()) {
        return path;
    }
    full.resize(n);
    // GetLongPathNameW takes only names that exist: the part not made yet
    // is kept as given.
    std::filesystem::path head(full);
    std::filesystem::path tail;
    while (head.has_relative_path()) {
        const DWORD size = ::GetLongPathNameW(head.c_str(), nullptr, 0);
        if (size > 0) {
            std::wstring buf(size, L'\0');
            const DWORD m = ::GetLongPathNameW(head.c_str(), buf.data(), size);
            if (m > 0 && m < size) {
                buf.resize(m);
                return tail.empty() ? std::filesystem::path(buf) : std::filesystem::path(buf) / tail;
            }
        }
        tail = tail.empty() ? head.filename() : head.filename() / tail;
        head = head.parent_path();
    }
    return std::filesystem::path(full);
}

bool sameFileName(const std::filesystem::path& a, const std::filesystem::path& b) {
    const std::wstring& x = a.native();
    const std::wstring& y = b.native();
    return ::CompareStringOrdinal(x.data(), static_cast<int>(x.size()), y.data(), static_cast<int>(y.size()),
                                  TRUE) == CSTR_EQUAL;
}

std::string replaceProcess(const std::filesystem::path&, std::vector<std::string>) {
    // Windows has no call that keeps the process and swaps its program.
    return "not supported on Windows";
}

void lowerThisThreadsPriority() { ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_LOWEST); }

std::chrono::nanoseconds thisThreadsCpuTime() {
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!::GetThreadTimes(::GetCurrentThread(), &created, &exited, &kernel, &user)) {
        return {};
    }
    const auto ticks = [](const FILETIME& f) {
        return (static_cast<std::int64_t>(f.dwHighDateTime) << 32) | f.dwLowDateTime;
    };
    return std::chrono::nanoseconds((ticks(kernel) + ticks(user)) * 100); // 100 ns ticks
}

std::optional<std::chrono::nanoseconds> thisThreadsWaitForCpu() { return std::nullopt; }

} // namespace pm::platform
