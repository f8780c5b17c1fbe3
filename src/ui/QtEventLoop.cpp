#include "ui/QtEventLoop.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

namespace pm::ui {

QtEventLoop::QtEventLoop(platform::Clock& clock) : clock_(clock) {}

QtEventLoop::~QtEventLoop() {
    *alive_ = false;
    watches_.clear();
    timers_.clear();
}

platform::EventLoop::WatchId QtEventLoop::watchSocket(int fd, bool read, bool write, ReadyFn onReady) {
    const WatchId id = nextWatch_++;
    Watch w;
    w.onReady = std::move(onReady);
    w.read = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    w.write = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
    w.read->setEnabled(read);
    w.write->setEnabled(write);
    std::weak_ptr<bool> alive = alive_;
    auto fire = [this, alive, id](bool readable, bool writable) {
        if (alive.expired()) {
            return;
        }
        auto it = watches_.find(id);
        if (it == watches_.end()) {
            return; // unwatched while the signal was on its way
        }
        auto fn = it->second.onReady;
        platform::Readiness r;
        r.readable = readable;
        r.writable = writable;
        fn(r);
    };
    QObject::connect(w.read.get(), &QSocketNotifier::activated, &context_,
                     [fire](QSocketDescriptor, QSocketNotifier::Type) { fire(true, false); });
    QObject::connect(w.write.get(), &QSocketNotifier::activated, &context_,
                     [fire](QSocketDescriptor, QSocketNotifier::Type) { fire(false, true); });
    watches_.emplace(id, std::move(w));
    return id;
}

void QtEventLoop::updateWatch(WatchId id, bool read, bool write) {
    auto it = watches_.find(id);
    if (it == watches_.end()) {
        return;
    }
    it->second.read->setEnabled(read);
    it->second.write->setEnabled(write);
}

void QtEventLoop::unwatch(WatchId id) {
    auto it = watches_.find(id);
    if (it == watches_.end()) {
        return;
    }
    it->second.read->setEnabled(false);
    it->second.write->setEnabled(false);
    // The notifier may be the one whose signal is being delivered right now:
    // let Qt delete it once control returns to the event loop.
    it->second.read.release()->deleteLater();
    it->second.write.release()->deleteLater();
    watches_.erase(it);
}

platform::EventLoop::TimerId QtEventLoop::startTimer(std::chrono::milliseconds interval,
                                                     std::function<void()> onTick) {
    const TimerId id = nextTimer_++;
    auto timer = std::make_unique<QTimer>();
    timer->setInterval(static_cast<int>(std::max<std::chrono::milliseconds::rep>(interval.count(), 1)));
    timer->setTimerType(Qt::CoarseTimer); // idle servers should not wake the machine for precision
    std::weak_ptr<bool> alive = alive_;
    QObject::connect(timer.get(), &QTimer::timeout, &context_, [this, alive, id, onTick] {
        if (alive.expired() || timers_.count(id) == 0) {
            return;
        }
        onTick();
    });
    timer->start();
    timers_.emplace(id, std::move(timer));
    return id;
}

void QtEventLoop::stopTimer(TimerId id) {
    auto it = timers_.find(id);
    if (it == timers_.end()) {
        return;
    }
    it->second->stop();
    it->second.release()->deleteLater();
    timers_.erase(it);
}

void QtEventLoop::post(std::function<void()> fn) {
    std::weak_ptr<bool> alive = alive_;
    QMetaObject::invokeMethod(
        &context_,
        [alive, fn = std::move(fn)] {
            if (!alive.expired()) {
                fn();
            }
        },
        Qt::QueuedConnection);
}

int QtEventLoop::run() { return QCoreApplication::exec(); }

void QtEventLoop::quit(int exitCode) { QCoreApplication::exit(exitCode); }

} // namespace pm::ui
