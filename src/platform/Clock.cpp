#include "platform/Clock.h"

#include <ctime>

#include "platform/System.h"

namespace pm::platform {

std::string formatLocalDateTime(Clock::Wall when) {
    const std::time_t t = std::chrono::system_clock::to_time_t(when);
    std::tm local{};
    localTime(t, local);
    char buf[128];
    const std::size_t n = std::strftime(buf, sizeof buf, "%x %X", &local);
    return std::string(buf, n);
}

} // namespace pm::platform
