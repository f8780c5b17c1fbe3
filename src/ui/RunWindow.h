#pragma once
// The windowed program: everything paddock-marshal needs beyond its command
// line to run with a window.

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pm::app {
class frmMain;
}
namespace pm::platform {
class EventLoop;
}

namespace pm::ui {

struct WindowOptions {
    std::filesystem::path startupFile;
    // --state: where the state is kept; none = nothing kept.
    std::optional<std::filesystem::path> statePath;
    bool trace = false;
    // Render the window to this PNG once start-up has settled, then exit.
    std::optional<std::string> screenshotPath;
    // Started on the window's loop once the start-up file has been read, and
    // ended before the servers go (the web page, --web). Returns what must
    // live that long; an error text in `why` ends the program with exit 2.
    std::function<std::shared_ptr<void>(app::frmMain&, platform::EventLoop&, std::string& why)> attach;
};

// Takes the window's own arguments (--screenshot PATH, --screenshot=PATH)
// out of args, leaving the rest for the common parser. Returns an error text,
// empty when all is well.
std::string takeWindowArguments(std::vector<std::string>& args, WindowOptions& options);

// Whether Qt has anything to show a window on. Checked before Qt starts,
// because Qt ends the process when it finds no display.
bool displayAvailable();

// Runs the window until it is closed (or SIGINT/SIGTERM arrives); returns
// the exit code. Without a display it says so on stderr and returns 2,
// except for a screenshot, which needs none.
int runWindow(int& argc, char** argv, const WindowOptions& options);

} // namespace pm::ui
