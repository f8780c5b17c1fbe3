#include "platform/System.h"

#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
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
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), 19);
    // A nice value only shares the CPU out: a datagram that wakes the loop
    // while such a thread writes to fifty browsers may still wait out the
    // writer's time slice. An idle-class thread gives way at once. Either
    // call is refused under the service's system-call filter, and the
    // thread then runs as the others do.
    sched_param none{};
    ::sched_setscheduler(0, SCHED_IDLE, &none);
}

} // namespace pm::platform
