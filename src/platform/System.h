#pragma once
// Small services of the operating system whose calls differ between the
// systems: one file per system (SystemPosix.cpp, SystemWindows.cpp).

#include <chrono>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace pm::platform {

// The broken-down local time of t; false when the system cannot say.
bool localTime(std::time_t t, std::tm& out);

// The running program's own file; empty when the system does not tell.
std::filesystem::path ownProgramPath();

bool isExecutable(const std::filesystem::path& program);

// Where the system keeps the configuration of installed programs (/etc);
// empty on systems that have no such place, where a program's files live
// in its own folder (Windows).
std::filesystem::path systemConfigFolder();
// Whether standard output is the stream systemd's journal gave us
// (JOURNAL_STREAM names its device and inode); never on Windows.
bool stdoutIsJournal();

// The one name of an absolute path among those the system takes for the same
// file: on Windows the long form of every folder and file that exists (no
// 8.3 short names) without the dots and spaces Windows drops from the end of
// a name. Unchanged on POSIX systems, whose names are all the file's own.
std::filesystem::path longFileName(const std::filesystem::path& path);

// Whether two names, as resolved, are the same to the file system: Windows
// ignores case, POSIX systems do not.
bool sameFileName(const std::filesystem::path& a, const std::filesystem::path& b);

// Replaces this process with program, given args (args[0] is its name), so
// that it keeps this process's id and signals. Returns only on failure, with
// the reason.
// Lets the calling thread give way to the program's other threads whenever
// both could run: for threads that serve onlookers (the web page), never for
// the loop's.
void lowerThisThreadsPriority();

// The calling thread's own CPU time, and the time it has spent ready to run
// while others held the CPUs (none where the system does not say): together
// they tell a thread that works from one that waits its turn.
std::chrono::nanoseconds thisThreadsCpuTime();
std::optional<std::chrono::nanoseconds> thisThreadsWaitForCpu();

std::string replaceProcess(const std::filesystem::path& program, std::vector<std::string> args);

} // namespace pm::platform
