#pragma once
// Carries out scenario steps against a SimServer, on the event loop: a step
// that waits starts a timer and the next steps run when it fires, so the sim
// keeps answering its client meanwhile, on any loop and any clock.
//
// Outcomes: an expect that does not hold (or a click on a button that is not
// there) is a failure; the run goes on
// and exits 1. A step the world refuses (leave of someone not connected) is
// an error; a script stops there and exits 2. In a console every line is on
// its own: errors are reported and the next line runs.

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/EventLoop.h"
#include "platform/PollEventLoop.h"
#include "sim/Scenario.h"
#include "sim/SimServer.h"

namespace pm::sim {

class ScenarioRunner {
public:
    enum class Kind { Pass, Fail, Error, Info };
    using Report = std::function<void(Kind kind, std::string_view text)>;

    static constexpr int kExitOk = 0;
    static constexpr int kExitFailed = 1;
    static constexpr int kExitError = 2;

    ScenarioRunner(SimServer& server, platform::EventLoop& loop);
    ~ScenarioRunner();
    ScenarioRunner(const ScenarioRunner&) = delete;
    ScenarioRunner& operator=(const ScenarioRunner&) = delete;

    void setReport(Report report) { report_ = std::move(report); }
    // Console: errors do not stop the run, and an empty queue is not the end.
    void setInteractive(bool interactive) { interactive_ = interactive; }

    // Queues steps; they run at once unless a wait is in progress.
    void append(std::vector<Step> steps);
    // Starts (or resumes) running; onFinished gets the exit code once the
    // queue is done (never in a console).
    void start(std::function<void(int exitCode)> onFinished = nullptr);

    bool finished() const { return finished_; }
    int exitCode() const;
    int passed() const { return passed_; }
    const std::vector<std::string>& failures() const { return failures_; }
    const std::string& error() const { return error_; }

private:
    void pump();
    void execute(const Step& step);
    void waitFor(std::chrono::milliseconds duration, bool untilConnected, std::string where);
    void resume();
    void pass(const Step& step, const std::string& what);
    void fail(const Step& step, const std::string& what);
    void refuse(const Step& step, const Outcome& outcome);
    void info(const std::string& text);

    SimServer& server_;
    platform::EventLoop& loop_;
    Report report_;
    bool interactive_ = false;
    std::deque<Step> queue_;
    std::function<void(int)> onFinished_;
    bool started_ = false;
    bool pumping_ = false;
    bool waiting_ = false;
    bool waitingForClient_ = false;
    std::string waitWhere_;
    platform::EventLoop::TimerId waitTimer_ = 0;
    bool finished_ = false;
    int passed_ = 0;
    std::vector<std::string> failures_;
    std::string error_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// Runs a runner to its end on a poll loop: with a ManualClock time is moved
// on (so "wait 30" takes no real time), otherwise the loop runs in real time.
// Returns the exit code; stops early, with kExitError, if the loop is quit.
int runToEnd(platform::PollEventLoop& loop, ScenarioRunner& runner);

} // namespace pm::sim
