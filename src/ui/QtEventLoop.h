#pragma once
// The event loop on Qt's own: socket readiness through QSocketNotifier,
// timers through QTimer, posted tasks as queued calls. The application code
// runs unchanged on it. Every callback is guarded: once the loop (or the
// watch/timer) is gone, a late Qt signal does nothing.

#include <QObject>

#include <map>
#include <memory>

#include "platform/EventLoop.h"

class QSocketNotifier;
class QTimer;

namespace pm::ui {

class QtEventLoop final : public platform::EventLoop {
public:
    explicit QtEventLoop(platform::Clock& clock);
    ~QtEventLoop() override;

    WatchId watchSocket(int fd, bool read, bool write, ReadyFn onReady) override;
    void updateWatch(WatchId id, bool read, bool write) override;
    void unwatch(WatchId id) override;

    TimerId startTimer(std::chrono::milliseconds interval, std::function<void()> onTick) override;
    void stopTimer(TimerId id) override;

    void post(std::function<void()> fn) override;

    int run() override;
    void quit(int exitCode) override;
    platform::Clock& clock() override { return clock_; }

private:
    struct Watch {
        std::unique_ptr<QSocketNotifier> read;
        std::unique_ptr<QSocketNotifier> write;
        ReadyFn onReady;
    };

    platform::Clock& clock_;
    QObject context_;
    std::map<WatchId, Watch> watches_;
    std::map<TimerId, std::unique_ptr<QTimer>> timers_;
    WatchId nextWatch_ = 1;
    TimerId nextTimer_ = 1;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

} // namespace pm::ui
