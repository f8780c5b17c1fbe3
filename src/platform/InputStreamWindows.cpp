#include "platform/InputStream.h"

#include <windows.h>

#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "platform/SysSocket.h"

namespace pm::platform {

namespace {

constexpr std::uint32_t kLoopback = 0x0100007Fu; // network order

// What the reading thread and the loop share. The thread may outlive the
// stream: a read of a console cannot be called off, so the thread is left
// to end with the process, holding this alone.
struct Shared {
    std::mutex mutex;
    std::deque<std::string> chunks;
    bool ended = false;
    bool wakePending = false; // one datagram wakes the loop for any number of chunks
    bool abandoned = false;   // the stream is gone: read no more
    sys::Fd sender = sys::kNoFd;
    std::uint16_t senderPort = 0;   // network order
    std::uint16_t receiverPort = 0; // network order

    ~Shared() {
        if (sender != sys::kNoFd) {
            sys::close(sender);
        }
    }
};

sys::Fd loopbackSocket(std::uint16_t& port) {
    int error = 0;
    const sys::Fd fd = sys::open(false, 0, error);
    if (fd == sys::kNoFd) {
        return fd;
    }
    std::uint32_t ip = 0;
    if (sys::bind(fd, kLoopback, 0) != 0 || sys::localAddress(fd, ip, port) != 0) {
        sys::close(fd);
        return sys::kNoFd;
    }
    return fd;
}

void readUntilEnd(HANDLE handle, const std::shared_ptr<Shared>& shared) {
    char buf[4096];
    for (;;) {
        DWORD n = 0;
        const BOOL ok = ::ReadFile(handle, buf, sizeof buf, &n, nullptr);
        const std::lock_guard lock(shared->mutex);
        if (shared->abandoned) {
            return;
        }
        // A pipe's writer gone, Ctrl+Z on a console, or an error: the end.
        if (ok != FALSE && n > 0) {
            shared->chunks.emplace_back(buf, n);
        } else {
            shared->ended = true;
        }
        if (!shared->wakePending) {
            shared->wakePending = true;
            const std::uint8_t byte = 1;
            int error = 0;
            sys::send(shared->sender, &byte, 1, false, kLoopback, shared->receiverPort, error);
        }
        if (shared->ended) {
            return;
        }
    }
}

} // namespace

struct InputStream::Impl {
    EventLoop& loop;
    ChunkFn onChunk;
    EndFn onEnd;
    std::shared_ptr<Shared> shared = std::make_shared<Shared>();
    sys::Fd receiver = sys::kNoFd;
    EventLoop::WatchId watch = 0;

    void readable() {
        std::uint8_t buf[16];
        std::uint32_t fromIp = 0;
        std::uint16_t fromPort = 0;
        int error = 0;
        bool woken = false;
        while (sys::receive(receiver, buf, sizeof buf, false, fromIp, fromPort, error) >= 0) {
            // A stranger's datagram on the loopback interface is no input.
            woken = woken || fromPort == shared->senderPort;
        }
        if (!woken) {
            return;
        }
        std::deque<std::string> chunks;
        bool ended = false;
        {
            const std::lock_guard lock(shared->mutex);
            chunks.swap(shared->chunks);
            ended = shared->ended;
            shared->wakePending = false;
        }
        for (const auto& chunk : chunks) {
            onChunk(chunk);
        }
        if (ended) {
            stop();
            onEnd();
        }
    }

    void stop() {
        if (watch != 0) {
            loop.unwatch(watch);
            watch = 0;
        }
        if (receiver != sys::kNoFd) {
            sys::close(receiver);
            receiver = sys::kNoFd;
        }
    }
};

InputStream::Source InputStream::standardInput() {
    return reinterpret_cast<Source>(::GetStdHandle(STD_INPUT_HANDLE));
}

InputStream::InputStream(EventLoop& loop, Source source, ChunkFn onChunk, EndFn onEnd)
    : impl_(new Impl{loop, std::move(onChunk), std::move(onEnd)}) {
    Impl* impl = impl_.get();
    const HANDLE handle = reinterpret_cast<HANDLE>(source);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return;
    }
    impl->receiver = loopbackSocket(impl->shared->receiverPort);
    impl->shared->sender = loopbackSocket(impl->shared->senderPort);
    if (impl->receiver == sys::kNoFd || impl->shared->sender == sys::kNoFd) {
        impl->stop();
        return;
    }
    impl->watch = loop.watchSocket(impl->receiver, true, false, [impl](Readiness) { impl->readable(); });
    std::thread(readUntilEnd, handle, impl->shared).detach();
}

InputStream::~InputStream() {
    {
        const std::lock_guard lock(impl_->shared->mutex);
        impl_->shared->abandoned = true;
    }
    impl_->stop();
}

bool InputStream::open() const {
    return impl_->watch != 0;
}

} // namespace pm::platform
