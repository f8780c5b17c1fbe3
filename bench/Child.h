#pragma once
// A program under measurement, started as a separate process, and what the
// kernel tells about it in /proc.

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace pm::bench {

// CLOCK_REALTIME in nanoseconds: the clock of the kernel's receive
// timestamps (SO_TIMESTAMPNS), so both ends of a latency use one clock.
std::int64_t realNowNs();
std::int64_t monoNowNs();

struct ProcSample {
    double cpuSeconds = 0;        // utime + stime, in clock ticks (10 ms)
    // These three are summed over the process's threads (/proc/PID/task/*).
    double runSeconds = 0;        // time on a CPU by the scheduler's count (schedstat), to the ns
    std::int64_t voluntary = 0;   // voluntary context switches: sleeps, i.e. wake-ups
    std::int64_t involuntary = 0; // preemptions
    std::int64_t rssKiB = 0;      // VmRSS
    std::int64_t peakRssKiB = 0;  // VmHWM
};

class Child {
public:
    // stderr goes to stderrPath, stdout to stdoutPath (each /dev/null when
    // empty). cpu >= 0 pins the child to that CPU.
    Child(const std::string& program, const std::vector<std::string>& args,
          const std::string& stderrPath = {}, int cpu = -1, const std::string& stdoutPath = {});
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    // realNowNs() taken right before fork(): the start of "exec to ...".
    std::int64_t startedNs() const { return startedNs_; }
    bool running();
    ProcSample sample() const;
    // SIGTERM, then waits up to timeoutMs, then SIGKILL. Returns the exit
    // status as waitpid gave it, or -1.
    int stop(int timeoutMs = 5000);

private:
    pid_t pid_ = -1;
    std::int64_t startedNs_ = 0;
    bool reaped_ = false;
    int status_ = 0;
};

// Pins the calling process to one CPU; false when the machine has only one
// or the kernel refuses.
bool pinToCpu(int cpu);

// Load averages from /proc/loadavg ("0.52 0.58 0.59").
std::string loadAverages();
// A UDP port free on every address, for a program under test to bind. Taken
// below the kernel's ephemeral range, so that the many port-0 sockets of other
// programs on the machine cannot take it between this check and the bind.
std::uint16_t freeUdpPort();
// The folder pm-bench runs from: where the programs under test are built.
std::string ownFolder();

} // namespace pm::bench
