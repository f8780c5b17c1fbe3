#include "Child.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <thread>

namespace pm::bench {

std::int64_t realNowNs() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

std::int64_t monoNowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

bool pinToCpu(int cpu) {
    if (cpu < 0 || cpu >= ::sysconf(_SC_NPROCESSORS_ONLN)) {
        return false;
    }
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return ::sched_setaffinity(0, sizeof set, &set) == 0;
}

Child::Child(const std::string& program, const std::vector<std::string>& args, const std::string& stderrPath,
             int cpu, const std::string& stdoutPath) {
    std::vector<std::string> all{program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    // Opened before fork so the child does nothing but dup and exec.
    const int out = stdoutPath.empty()
                        ? ::open("/dev/null", O_WRONLY | O_CLOEXEC)
                        : ::open(stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int err = stderrPath.empty()
                        ? ::open("/dev/null", O_WRONLY | O_CLOEXEC)
                        : ::open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0 || err < 0) {
        throw std::runtime_error("cannot open the child's output files");
    }
    startedNs_ = realNowNs();
    pid_ = ::fork();
    if (pid_ == 0) {
        pinToCpu(cpu);
        ::dup2(out, 1);
        ::dup2(err, 2);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(out);
    ::close(err);
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
}

Child::~Child() {
    stop();
}

bool Child::running() {
    if (reaped_) {
        return false;
    }
    const pid_t r = ::waitpid(pid_, &status_, WNOHANG);
    if (r == pid_) {
        reaped_ = true;
        return false;
    }
    return true;
}

int Child::stop(int timeoutMs) {
    if (pid_ <= 0) {
        return -1;
    }
    if (!running()) {
        return status_;
    }
    ::kill(pid_, SIGTERM);
    for (int waited = 0; waited < timeoutMs; waited += 10) {
        if (!running()) {
            return status_;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status_, 0);
    reaped_ = true;
    return -1;
}

ProcSample Child::sample() const {
    ProcSample s;
    {
        std::ifstream in("/proc/" + std::to_string(pid_) + "/stat");
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        // The command name may hold blanks; the fields start after its ')'.
        const auto close = text.rfind(')');
        if (close != std::string::npos) {
            std::istringstream fields(text.substr(close + 2));
            std::string f;
            unsigned long long utime = 0;
            unsigned long long stime = 0;
            // Field 3 (state) is the first here; utime and stime are 14 and 15.
            for (int field = 3; field <= 15 && (fields >> f); ++field) {
                if (field == 14) {
                    utime = std::stoull(f);
                } else if (field == 15) {
                    stime = std::stoull(f);
                }
            }
            s.cpuSeconds = static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
        }
    }
    // The process's own schedstat and switch counts are its first thread's
    // alone; the program's helper threads (the output writers) count too.
    std::error_code ec;
    for (const auto& task :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid_) + "/task", ec)) {
        std::ifstream sched(task.path() / "schedstat");
        unsigned long long runNs = 0;
        if (sched >> runNs) {
            s.runSeconds += static_cast<double>(runNs) / 1e9;
        }
        std::ifstream status(task.path() / "status");
        std::string line;
        while (std::getline(status, line)) {
            for (auto [key, sum] :
                 {std::pair{std::string_view("voluntary_ctxt_switches:"), &s.voluntary},
                  std::pair{std::string_view("nonvoluntary_ctxt_switches:"), &s.involuntary}}) {
                if (line.starts_with(key)) {
                    *sum += std::stoll(line.substr(key.size()));
                }
            }
        }
    }
    std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        const auto value = [&](const char* key) -> std::int64_t {
            return std::stoll(line.substr(std::string(key).size()));
        };
        if (line.rfind("VmRSS:", 0) == 0) {
            s.rssKiB = value("VmRSS:");
        } else if (line.rfind("VmHWM:", 0) == 0) {
            s.peakRssKiB = value("VmHWM:");
        }
    }
    return s;
}

std::string loadAverages() {
    std::ifstream in("/proc/loadavg");
    std::string a, b, c;
    in >> a >> b >> c;
    return a + " " + b + " " + c;
}

std::uint16_t freeUdpPort() {
    static std::uint16_t next = static_cast<std::uint16_t>(20000 + ::getpid() % 5000);
    for (int tries = 0; tries < 12000; ++tries) {
        const std::uint16_t port = next;
        next = next >= 31999 ? 20000 : static_cast<std::uint16_t>(next + 1);
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        const bool free = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        if (fd >= 0) {
            ::close(fd);
        }
        if (free) {
            return port;
        }
    }
    throw std::runtime_error("no free UDP port");
}

std::string ownFolder() {
    char buf[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) {
        return ".";
    }
    std::string path(buf, static_cast<std::size_t>(n));
    return path.substr(0, path.rfind('/'));
}

} // namespace pm::bench
