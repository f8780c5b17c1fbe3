#include "platform/InputStream.h"

#include <unistd.h>

#include <cerrno>

namespace pm::platform {

struct InputStream::Impl {
    EventLoop& loop;
    int fd;
    ChunkFn onChunk;
    EndFn onEnd;
    EventLoop::WatchId watch = 0;

    void readable() {
        char buf[4096];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            return;
        }
        if (n <= 0) {
            loop.unwatch(watch);
            watch = 0;
            onEnd();
            return;
        }
        onChunk(std::string_view(buf, static_cast<std::size_t>(n)));
    }
};

InputStream::Source InputStream::standardInput() {
    return STDIN_FILENO;
}

InputStream::InputStream(EventLoop& loop, Source source, ChunkFn onChunk, EndFn onEnd)
    : impl_(new Impl{loop, static_cast<int>(source), std::move(onChunk), std::move(onEnd)}) {
    Impl* impl = impl_.get();
    impl_->watch = loop.watchSocket(impl->fd, true, false, [impl](Readiness) { impl->readable(); });
}

InputStream::~InputStream() {
    if (impl_->watch != 0) {
        impl_->loop.unwatch(impl_->watch);
    }
}

bool InputStream::open() const {
    return impl_->watch != 0;
}

} // namespace pm::platform
