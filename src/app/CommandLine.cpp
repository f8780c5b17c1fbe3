#include "app/CommandLine.h"

#include <system_error>

#include "platform/System.h"

namespace pm::app {

std::string TakePathOption(std::vector<std::string>& args, std::string_view flag,
                           std::optional<std::string>& out, std::string_view what) {
    const std::string withValue = std::string(flag) + "=";
    for (std::size_t i = 0; i < args.size();) {
        const std::string& arg = args[i];
        std::string path;
        std::size_t taken = 1;
        if (arg == flag) {
            if (i + 1 >= args.size()) {
                return std::string(flag) + " needs " + std::string(what);
            }
            path = args[i + 1];
            taken = 2;
        } else if (arg.rfind(withValue, 0) == 0) {
            path = arg.substr(withValue.size());
        } else {
            ++i;
            continue;
        }
        if (path.empty()) {
            return std::string(flag) + " needs " + std::string(what);
        }
        if (out) {
            return std::string(flag) + " given twice";
        }
        out = std::move(path);
        args.erase(args.begin() + static_cast<std::ptrdiff_t>(i),
                   args.begin() + static_cast<std::ptrdiff_t>(i + taken));
    }
    return {};
}

CommandLine ParseCommandLine(const std::vector<std::string>& given) {
    CommandLine out;
    const auto fail = [&out](std::string message) {
        out.action = CommandLine::Action::Fail;
        out.error = std::move(message);
        return out;
    };
    std::vector<std::string> args = given;
    for (const auto& [flag, target] :
         {std::pair{"--config", &out.configPath}, {"--screenshot", &out.screenshotPath}, {"--state", &out.statePath},
          {"--web-token-file", &out.webTokenFile}}) {
        if (std::string error = TakePathOption(args, flag, *target); !error.empty()) {
            return fail(std::move(error));
        }
    }
    if (std::string error = TakePathOption(args, "--web", out.webAddress, "ADDR:PORT, such as 127.0.0.1:8270");
        !error.empty()) {
        return fail(std::move(error));
    }
    if (out.webTokenFile && !out.webAddress) {
        return fail("--web-token-file needs --web ADDR:PORT");
    }
    bool wantVersion = false;
    bool wantHelp = false;
    bool wantCheck = false;
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
        } else if (arg == "--check-config" || arg.rfind("--check-config=", 0) == 0) {
            if (wantCheck) {
                return fail("--check-config given twice");
            }
            wantCheck = true;
            // The file name is optional, so only a word that is no option
            // can be it.
            if (arg != "--check-config") {
                out.checkConfigPath = arg.substr(std::string_view("--check-config=").size());
                if (out.checkConfigPath->empty()) {
                    return fail("--check-config= needs a file name");
                }
            } else if (i + 1 < args.size() && !args[i + 1].empty() && args[i + 1][0] != '-') {
                out.checkConfigPath = args[++i];
            }
        } else {
            return fail("unknown argument '" + arg + "'");
        }
    }
    if (out.checkConfigPath && out.configPath) {
        return fail("--check-config PATH and --config PATH name two files; give one of them");
    }
    // Asking for help or the version is answered even next to other options.
    if (wantHelp) {
        out.action = CommandLine::Action::ShowHelp;
    } else if (wantVersion) {
        out.action = CommandLine::Action::ShowVersion;
    } else if (wantCheck) {
        out.action = CommandLine::Action::CheckConfig;
    }
    return out;
}

namespace {

constexpr const char* kStartupFileName = "autostart.cfg";

// Whether folder is where an install puts the programs: bin/ for the
// commands, libexec/paddock-marshal/ for the window. A build tree or an
// unpacked zip is neither.
bool isInstalledFolder(const std::filesystem::path& folder) {
    if (folder.filename() == "bin") {
        return true;
    }
    return folder.filename() == "paddock-marshal" && folder.parent_path().filename() == "libexec";
}

// The installed program's default, on systems that have one.
std::string installedDefaultHelp() {
    const std::filesystem::path folder = platform::systemConfigFolder();
    if (folder.empty()) {
        return {};
    }
    return ";\n                 installed in a bin folder without one beside it:\n                 " +
           (folder / "paddock-marshal" / kStartupFileName).string();
}

} // namespace

std::string UsageText(std::string_view program) {
    const std::string p(program);
    return "Usage: " + p +
           " [--config PATH] [--state PATH] [--web ADDR:PORT [--web-token-file PATH]] [--trace]\n"
           "                 [--screenshot PATH]\n"
           "       " +
           p + " --headless [--config PATH] [--state PATH] [--web ADDR:PORT [--web-token-file PATH]] [--trace]\n" +
           "       " + p +
           " --check-config [PATH]\n" + "       " + p +
           " --version | --help\n"
           "\n"
           "Sets the start order of Live for Speed races on one or more servers over InSim.\n"
           "\n"
           "  (no option)    open the window (needs a display and the paddock-marshal-gui package)\n"
           "  --headless     run without a window; every status line goes to stdout\n"
           "  --config PATH  the start-up file (default: autostart.cfg beside the program" +
           installedDefaultHelp() +
           ")\n"
           "  --check-config [PATH]  read the start-up file (PATH, or the one --config or the\n"
           "                 default names) as a run would, print the servers it adds and\n"
           "                 where and why the reading stops; contacts no one. Exit code 0:\n"
           "                 the file reads whole, 1: the reading stops early, 2: unreadable\n"
           "  --state PATH   keep the finishing and start orders and the rules in this file\n"
           "                 (SQLite; a folder gets state.db inside) and restore them at start\n"
           "  --web ADDR:PORT  serve a live page, a JSON API and metrics on this address\n"
           "                 (such as 127.0.0.1:8270); read-only without --web-token-file\n"
           "  --web-token-file PATH  the file holding the token that changes through the\n"
           "                 page and the API need (Authorization: Bearer <token>)\n"
           "  --trace        write the developers' diagnostic trace to stderr\n"
           "  --screenshot PATH  render the window after start-up to a PNG file, then exit\n"
           "  --version      print the program's name and version\n"
           "  --help         print this text\n"
           "\n"
           "SIGINT or SIGTERM ends the program; connected servers are told goodbye.\n";
}

std::filesystem::path DefaultStartupFile(const std::filesystem::path& program,
                                         const std::filesystem::path& systemConfigFolder,
                                         const std::function<bool(const std::filesystem::path&)>& exists) {
    if (program.empty()) {
        return kStartupFileName;
    }
    const std::filesystem::path folder = program.parent_path();
    std::filesystem::path beside = folder / kStartupFileName;
    if (systemConfigFolder.empty() || !isInstalledFolder(folder) || exists(beside)) {
        return beside;
    }
    return systemConfigFolder / "paddock-marshal" / kStartupFileName;
}

std::filesystem::path DefaultStartupFile() {
    return DefaultStartupFile(platform::ownProgramPath(), platform::systemConfigFolder(),
                              [](const std::filesystem::path& path) {
                                  std::error_code ec;
                                  return std::filesystem::exists(path, ec);
                              });
}

} // namespace pm::app
