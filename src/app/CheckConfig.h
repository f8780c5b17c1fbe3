#pragma once
// --check-config: what the program would make of a start-up file, told
// without contacting any server.

#include <filesystem>
#include <ostream>
#include <string_view>

namespace pm::app {

// Exit codes of the check.
inline constexpr int kConfigReadsWhole = 0;
// Also when a value is read but cannot be used (a port that is no port).
inline constexpr int kConfigStopsEarly = 1;
inline constexpr int kConfigUnreadable = 2;

// Prints each server as it would be added, then where and why the reading
// stops, if it does, to out; a file that cannot be read is reported on err,
// after the program's name. Returns one of the exit codes above.
int CheckConfig(const std::filesystem::path& path, std::ostream& out, std::ostream& err,
                std::string_view program);

} // namespace pm::app
