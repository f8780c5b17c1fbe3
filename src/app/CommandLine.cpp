#include "app/CommandLine.h"

#include <system_error>

namespace pm::app {

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
    CommandLine out;
    const auto fail = [&out](std::string message) {
        out.action = CommandLine::Action::Fail;
        out.error = std::move(message);
        return out;
    };
    bool wantVersion = false;
    bool wantHelp = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--headless") {
            out.headless = true;
        } else if (arg == "--trace") {
            out.trace = true;
        } else if (arg == "--version") {
            wantVersion = true;
        } else if (arg == "--help" || arg == "-h") {
            wantHelp = true;
        } else if (arg == "--config" || arg.rfind("--config=", 0) == 0 || arg == "--state" ||
                   arg.rfind("--state=", 0) == 0) {
            const bool config = arg.rfind("--config", 0) == 0;
            const std::string flag = config ? "--config" : "--state";
            std::string path;
            if (arg == flag) {
                if (i + 1 >= args.size()) {
                    return fail(flag + " needs a file name");
                }
                path = args[++i];
            } else {
                path = arg.substr(flag.size() + 1);
            }
            if (path.empty()) {
                return fail(flag + " needs a file name");
            }
            std::optional<std::string>& slot = config ? out.configPath : out.statePath;
            if (slot) {
                return fail(flag + " given twice");
            }
            slot = std::move(path);
        } else {
            return fail("unknown argument '" + arg + "'");
        }
    }
    // Asking for help or the version is answered even next to other options.
    if (wantHelp) {
        out.action = CommandLine::Action::ShowHelp;
    } else if (wantVersion) {
        out.action = CommandLine::Action::ShowVersion;
    }
    return out;
}

std::string UsageText(std::string_view program) {
    const std::string p(program);
    return "Usage: " + p +
           " [--config PATH] [--state PATH] [--trace] [--screenshot PATH]\n"
           "       " +
           p + " --headless [--config PATH] [--state PATH] [--trace]\n" + "       " + p +
           " --version | --help\n"
           "\n"
           "Sets the start order of Live for Speed races on one or more servers over InSim.\n"
           "\n"
           "  (no option)    open the window (needs a display)\n"
           "  --headless     run without a window; every status line goes to stdout\n"
           "  --config PATH  the start-up file (default: autostart.cfg beside the program)\n"
           "  --state PATH   keep the finishing and start orders and the rules in this file\n"
           "                 (SQLite; a folder gets state.db inside) and restore them at start\n"
           "  --trace        write the developers' diagnostic trace to stderr\n"
           "  --screenshot PATH  render the window after start-up to a PNG file, then exit\n"
           "  --version      print the program's name and version\n"
           "  --help         print this text\n"
           "\n"
           "SIGINT or SIGTERM ends the program; connected servers are told goodbye.\n";
}

std::filesystem::path DefaultStartupFile() {
    std::error_code ec;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec || exe.empty()) {
        return "autostart.cfg";
    }
    return exe.parent_path() / "autostart.cfg";
}

} // namespace pm::app
