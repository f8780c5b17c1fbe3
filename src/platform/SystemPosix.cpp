#include "platform/System.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <system_error>

namespace pm::platform {

bool localTime(std::time_t t, std::tm& out) { return localtime_r(&t, &out) != nullptr; }

std::filesystem::path ownProgramPath() {
    std::error_code ec;
    std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path() : exe;
}

bool isExecutable(const std::filesystem::path& program) { return ::access(program.c_str(), X_OK) == 0; }

std::filesystem::path systemConfigFolder() { return "/etc"; }

bool stdoutIsJournal() {
    const char* stream = std::getenv("JOURNAL_STREAM");
    struct stat st {};
    if (stream == nullptr || ::fstat(STDOUT_FILENO, &st) != 0) {
        return false;
    }
    unsigned long long device = 0;
    unsigned long long inode = 0;
    char rest = 0;
    return std::sscanf(stream, "%llu:%llu%c", &device, &inode, &rest) == 2 &&
           device == static_cast<unsigned long long>(st.st_dev) && inode == static_cast<unsigned long long>(st.st_ino);
}

std::filesystem::path longFileName(const std::filesystem::path& path) { return path; }

bool sameFileName(const std::filesystem::path& a, const std::filesystem::path& b) { return a == b; }

std::string replaceProcess(const std::filesystem::path& program, std::vector<std::string> args) {
    std::vector<char*> argv;
    for (auto& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    std::fflush(nullptr);
    ::execv(program.c_str(), argv.data());
    return std::strerror(errno);
}

void lowerThisThreadsPriority() {
    // Linux keeps a nice value per thread, named by its thread id.
    // Not the idle scheduling class: it gives way to every process on the
    // machine, not only to our loop, and on a busy host the page then fell
    // seconds behind and /healthz took ten seconds to answer. Refused under
    // the service's system-call filter; the thread then runs as the others.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), 19);
}

std::chrono::nanoseconds thisThreadsCpuTime() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec);
}

std::optional<std::chrono::nanoseconds> thisThreadsWaitForCpu() {
    // Linux: "time on the CPU, time waiting on a run queue, slices", in ns.
    const int fd = ::open("/proc/thread-self/schedstat", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    char text[96];
    const ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (n <= 0) {
        return std::nullopt;
    }
    text[n] = '\0';
    unsigned long long onCpu = 0;
    unsigned long long waiting = 0;
    if (std::sscanf(text, "%llu %llu", &onCpu, &waiting) != 2) {
        return std::nullopt;
    }
    return std::chrono::nanoseconds(static_cast<std::int64_t>(waiting));
}

} // namespace pm::platform
