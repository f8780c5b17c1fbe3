#include "sim/ScenarioRunner.h"

#include <algorithm>

#include "insim/modByteHelper.h"
#include "sim/PacketText.h"

namespace pm::sim {

using namespace std::chrono;

namespace {

// How often a wait for the client looks again.
constexpr milliseconds kConnectPoll{20};

milliseconds toMs(double seconds) {
    return milliseconds(static_cast<long long>(seconds * 1000.0 + 0.5));
}

// Expected texts match what was sent or what a driver would read.
bool contains(const std::string& sent, const std::string& wanted) {
    return sent.find(wanted) != std::string::npos ||
           insim::DecodeCarets(sent).find(wanted) != std::string::npos;
}

std::string quotedList(const std::vector<std::string>& texts) {
    if (texts.empty()) {
        return "none";
    }
    std::string out;
    for (const auto& t : texts) {
        out += (out.empty() ? "" : ", ") + quoted(t);
    }
    return out;
}

} // namespace

ScenarioRunner::ScenarioRunner(SimServer& server, platform::EventLoop& loop) : server_(server), loop_(loop) {}

ScenarioRunner::~ScenarioRunner() {
    *alive_ = false;
    if (waitTimer_ != 0) {
        loop_.stopTimer(waitTimer_);
    }
}

int ScenarioRunner::exitCode() const {
    if (!error_.empty()) {
        return kExitError;
    }
    return failures_.empty() ? kExitOk : kExitFailed;
}

void ScenarioRunner::append(std::vector<Step> steps) {
    for (auto& s : steps) {
        queue_.push_back(std::move(s));
    }
    if (started_) {
        pump();
    }
}

void ScenarioRunner::start(std::function<void(int)> onFinished) {
    if (onFinished) {
        onFinished_ = std::move(onFinished);
    }
    started_ = true;
    pump();
}

void ScenarioRunner::pump() {
    if (pumping_ || waiting_ || finished_) {
        return;
    }
    pumping_ = true;
    while (!queue_.empty() && !waiting_) {
        const Step step = std::move(queue_.front());
        queue_.pop_front();
        execute(step);
        if (!error_.empty() && !interactive_) {
            queue_.clear();
            break;
        }
    }
    pumping_ = false;
    if (!waiting_ && queue_.empty() && !interactive_) {
        finished_ = true;
        if (onFinished_) {
            onFinished_(exitCode());
        }
    }
}

void ScenarioRunner::resume() {
    waiting_ = false;
    waitingForClient_ = false;
    if (waitTimer_ != 0) {
        loop_.stopTimer(waitTimer_);
        waitTimer_ = 0;
    }
    pump();
}

void ScenarioRunner::waitFor(milliseconds duration, bool untilConnected, std::string where) {
    if (duration.count() <= 0 && !untilConnected) {
        return;
    }
    waiting_ = true;
    waitingForClient_ = untilConnected;
    waitWhere_ = std::move(where);
    std::weak_ptr<bool> alive = alive_;
    if (!untilConnected) {
        waitTimer_ = loop_.startTimer(duration, [this, alive] {
            if (alive.lock()) {
                resume();
            }
        });
        return;
    }
    const auto deadline = loop_.clock().monotonicNow() + duration;
    waitTimer_ = loop_.startTimer(kConnectPoll, [this, alive, deadline] {
        if (!alive.lock()) {
            return;
        }
        if (server_.clientConnected()) {
            info(waitWhere_ + ": the InSim client is connected");
            resume();
        } else if (loop_.clock().monotonicNow() >= deadline) {
            // Only a wait: "expect connected" is the check.
            info(waitWhere_ + ": no InSim client yet, going on");
            resume();
        }
    });
}

void ScenarioRunner::pass(const Step& step, const std::string& what) {
    ++passed_;
    if (report_) {
        report_(Kind::Pass, step.where + ": ok: " + what);
    }
}

void ScenarioRunner::fail(const Step& step, const std::string& what) {
    const std::string text = step.where + ": " + what;
    failures_.push_back(text);
    if (report_) {
        report_(Kind::Fail, text);
    }
}

void ScenarioRunner::refuse(const Step& step, const Outcome& outcome) {
    const std::string text = step.where + ": " + outcome.error;
    if (!interactive_) {
        error_ = text;
    }
    if (report_) {
        report_(Kind::Error, text);
    }
}

void ScenarioRunner::info(const std::string& text) {
    if (report_) {
        report_(Kind::Info, text);
    }
}

void ScenarioRunner::execute(const Step& step) {
    const std::string name = step.names.empty() ? std::string{} : step.names.front();
    Outcome outcome;
    switch (step.op) {
    case Op::Join: outcome = server_.join(name, step.text, step.admin); break;
    case Op::Connect: outcome = server_.connect(name, step.text, step.admin); break;
    case Op::Leave: outcome = server_.leave(name); break;
    case Op::Spectate: outcome = server_.spectate(name); break;
    case Op::RaceStart: outcome = server_.startRace(); break;
    case Op::RaceEnd: outcome = server_.endRace(); break;
    case Op::Qualify: outcome = server_.startQualifying(); break;
    case Op::Finish: outcome = server_.finish(step.names); break;
    case Op::Vote: outcome = server_.vote(static_cast<std::uint8_t>(step.number)); break;
    case Op::ReportOrder: outcome = server_.reportOrder(); break;
    case Op::Chat: outcome = server_.chat(name, step.text); break;
    case Op::Click:
        // The client should have drawn it: a missing button is its failure.
        if (auto r = server_.click(name, step.number, step.flags); !r) {
            fail(step, "click: " + r.error);
        }
        return;
    case Op::Show: info(server_.screenFor(name)); return;
    case Op::Wait: waitFor(toMs(step.value), false, step.where); return;
    case Op::WaitConnected:
        if (server_.clientConnected()) {
            return;
        }
        waitFor(toMs(step.value), true, step.where);
        return;
    case Op::ExpectConnected:
        if (server_.clientConnected()) {
            pass(step, "the client is connected");
        } else {
            fail(step, "expected an InSim client, none is connected");
        }
        return;
    case Op::ExpectGrid: {
        const auto grid = server_.grid();
        if (grid == step.names) {
            pass(step, "grid " + spaced(grid));
        } else {
            fail(step, "expected grid " + spaced(step.names) + ", got " + spaced(grid));
        }
        return;
    }
    case Op::ExpectMessage:
    case Op::ExpectNoMessage: {
        const auto texts = server_.messagesFor(name);
        const bool found =
            std::ranges::any_of(texts, [&](const std::string& t) { return contains(t, step.text); });
        const bool wanted = step.op == Op::ExpectMessage;
        if (found == wanted) {
            pass(step, name + (wanted ? " has " : " has no ") + "message with " + quoted(step.text));
        } else {
            fail(step, "expected " + name + " to have " + (wanted ? "a" : "no") + " message with " +
                           quoted(step.text) + "; received: " + quotedList(texts));
        }
        return;
    }
    case Op::ExpectButton:
    case Op::ExpectNoButton: {
        const auto buttons = server_.buttonsFor(name);
        auto it = std::ranges::find_if(buttons, [&](const Button& b) { return b.clickId == step.number; });
        const std::string id = "button " + std::to_string(step.number);
        if (step.op == Op::ExpectNoButton) {
            if (it == buttons.end()) {
                pass(step, name + " has no " + id);
            } else {
                fail(step, "expected no " + id + " on " + name + "'s screen, it shows " + quoted(it->text));
            }
        } else if (it == buttons.end()) {
            fail(step, "expected " + id + " on " + name + "'s screen, there is none");
        } else if (!step.text.empty() && !contains(it->text, step.text)) {
            fail(step, "expected " + id + " on " + name + "'s screen to show " + quoted(step.text) +
                           ", it shows " + quoted(it->text));
        } else {
            pass(step, name + " has " + id + " " + quoted(it->text));
        }
        return;
    }
    case Op::Drop: server_.faults().settings().dropPercent = step.value; return;
    case Op::Duplicate: server_.faults().settings().duplicatePercent = step.value; return;
    case Op::Reorder: server_.faults().settings().reorderPercent = step.value; return;
    case Op::Silence: server_.silence(toMs(step.value)); return;
    case Op::RestartServer: server_.restartServer(toMs(step.value)); return;
    case Op::Lfs: server_.changeRelease(*releaseNamed(step.text)); return;
    }
    if (!outcome) {
        refuse(step, outcome);
    }
    return;
}

int runToEnd(platform::PollEventLoop& loop, ScenarioRunner& runner) {
    runner.start();
    const bool manual = loop.clock().isManual();
    while (!runner.finished()) {
        if (loop.quitRequested()) {
            return ScenarioRunner::kExitError;
        }
        if (manual) {
            loop.advance(milliseconds(20));
        } else {
            loop.runOnce(milliseconds(50));
        }
    }
    return runner.exitCode();
}

} // namespace pm::sim
