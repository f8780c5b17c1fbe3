#pragma once
// A byte stream read on the loop as it arrives: the simulator's console
// reads standard input with it. On POSIX systems the loop watches the
// descriptor itself. WSAPoll watches sockets only, so on Windows a thread of
// the stream's own reads the handle and hands each chunk to the loop.

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

#include "platform/EventLoop.h"

namespace pm::platform {

class InputStream {
public:
    // A file descriptor (POSIX) or a file HANDLE (Windows), as an integer.
    using Source = std::intptr_t;
    static Source standardInput();

    using ChunkFn = std::function<void(std::string_view)>;
    using EndFn = std::function<void()>;

    // Reads `source` (never closed here) until its end or an error; onEnd is
    // called once then. Nothing is called after the stream is destroyed.
    InputStream(EventLoop& loop, Source source, ChunkFn onChunk, EndFn onEnd);
    ~InputStream();
    InputStream(const InputStream&) = delete;
    InputStream& operator=(const InputStream&) = delete;

    // False once the end has been reached, or when it could not be read at all.
    bool open() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace pm::platform
