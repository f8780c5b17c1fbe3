#include "platform/System.h"

#include <windows.h>

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

std::string replaceProcess(const std::filesystem::path&, std::vector<std::string>) {
    // Windows has no call that keeps the process and swaps its program.
    return "not supported on Windows";
}

} // namespace pm::platform
