#include "ui/RunWindow.h"

#include <QApplication>
#include <QPixmap>
#include <QPointer>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "app/CommandLine.h"
#include "app/StatePersistence.h"
#include "app/frmMain.h"
#include "platform/Platform.h"
#include "platform/StopRequests.h"
#include "ui/MainWindow.h"
#include "ui/QtDialogs.h"
#include "ui/QtEventLoop.h"

namespace pm::ui {

namespace {

constexpr const char* kProgram = "paddock-marshal";
// Time the network gets before a screenshot, so that a server connected at
// start-up has answered and filled its lists.
constexpr std::chrono::milliseconds kScreenshotSettle{1500};

void writeLine(std::FILE* stream, const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

bool envSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

} // namespace

std::string takeWindowArguments(std::vector<std::string>& args, WindowOptions& options) {
    return app::TakePathOption(args, "--screenshot", options.screenshotPath);
}

bool displayAvailable() {
    return envSet("DISPLAY") || envSet("WAYLAND_DISPLAY") || envSet("QT_QPA_PLATFORM");
}

int runWindow(int& argc, char** argv, const WindowOptions& options) {
    if (!displayAvailable()) {
        if (!options.screenshotPath) {
            writeLine(stderr, std::string(kProgram) +
                                  ": no display to open the window on (DISPLAY and WAYLAND_DISPLAY are not "
                                  "set); run it with --headless to work without a window");
            return 2;
        }
        // A picture of the window needs no screen.
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }

    // SIGINT and SIGTERM close the window, so that servers are told goodbye
    // as when the operator closes it. They are blocked here, before Qt starts
    // its threads (the X connection's reader, D-Bus): a thread that does not
    // block them takes them with their default action and ends the process
    // on the spot.
    platform::StopRequests stopRequests;

    QApplication app(argc, argv);
    QApplication::setApplicationName(QString::fromLatin1(kProgram));

    platform::SystemClock clock;
    QtEventLoop loop(clock);
    platform::WindowSystem windows(loop);
    platform::WinSock sockets(loop, windows);
    platform::Trace trace(clock);
    platform::EventLog eventLog(
        [](std::string_view entry) { writeLine(stderr, std::string(kProgram) + ": " + std::string(entry)); });
    QtDialogs dialogs;
    platform::Platform platform{loop, clock, windows, sockets, dialogs, trace, eventLog, nullptr};
    if (options.trace) {
        trace.enable([](std::string_view line) { writeLine(stderr, std::string(line)); });
    }

    int exitCode = 0;
    {
        app::frmMain form(platform, options.startupFile);
        MainWindow window(form);
        dialogs.setParent(&window);
        // A request that came during start-up closes the window once the loop runs.
        bool stopAsked = false;
        if (!stopRequests.watch(loop, [&stopAsked, window = QPointer<MainWindow>(&window)] {
                stopAsked = true;
                // A message box waits for an answer nobody may be there to
                // give (one at start-up, before the window shows, would
                // hold the end for good): it gets its Escape answer, the
                // one that discards nothing.
                if (QWidget* modal = QApplication::activeModalWidget()) {
                    modal->close();
                }
                if (window) {
                    window->close();
                }
            })) {
            writeLine(stderr, std::string(kProgram) + ": cannot watch for requests to stop");
        }
        // Taken before the start-up file connects anything: a second program
        // on the same state stops here, before it disturbs a server.
        std::unique_ptr<app::StatePersistence> state;
        if (options.statePath) {
            state = std::make_unique<app::StatePersistence>(form, platform, *options.statePath);
            if (const auto refusal = state->open()) {
                writeLine(stderr, std::string(kProgram) + ": " + *refusal);
                if (!options.screenshotPath) {
                    dialogs.messageBox(*refusal, platform::DialogButtons::Ok, app::frmMain::kDialogTitle,
                                       platform::DialogIcon::Warning);
                }
                dialogs.setParent(nullptr);
                return 2;
            }
        }
        // After the window subscribed, so that it sees every server the
        // start-up file adds.
        form.Form_Load();
        if (state) {
            state->restore();
        }
        std::shared_ptr<void> attached;
        if (options.attach) {
            std::string why;
            attached = options.attach(form, loop, why);
            if (!why.empty()) {
                writeLine(stderr, std::string(kProgram) + ": " + why);
                dialogs.setParent(nullptr);
                return 2;
            }
        }
        // Asked to end before the window showed, closing it did nothing:
        // the loop is not started at all.
        if (!stopAsked) {
            window.show();
        }

        if (options.screenshotPath) {
            // The picture shows the window as it opens on a roomy screen,
            // whatever the (possibly virtual) screen here measures.
            window.resize(MainWindow::preferredSize());
            const QString path = QString::fromStdString(*options.screenshotPath);
            QTimer::singleShot(kScreenshotSettle, &window, [&window, path] {
                const bool saved = window.grab().save(path, "PNG");
                if (!saved) {
                    writeLine(stderr, std::string(kProgram) + ": cannot write the screenshot to '" +
                                          path.toStdString() + "'");
                }
                QCoreApplication::exit(saved ? 0 : 1);
            });
        }

        exitCode = stopAsked ? 0 : loop.run();
        attached.reset();
        // The last changes are written while the servers still exist.
        state.reset();
        dialogs.setParent(nullptr);
        // The window goes first (it mirrors the form), then the form, whose
        // clients tell their servers goodbye while the platform still stands.
    }
    stopRequests.release();
    platform.sharedHook.reset();
    return exitCode;
}

} // namespace pm::ui
