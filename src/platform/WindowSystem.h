#pragma once
// Message windows standing in for the window system the program was designed
// around: registered message numbers, windows whose procedure can be replaced
// and called through, and posted messages delivered in order on the loop.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/EventLoop.h"

namespace pm::platform {

using HWND = std::uint32_t;
using UINT = std::uint32_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;

using WindowProcFn = std::function<LRESULT(HWND, UINT, WPARAM, LPARAM)>;
// A procedure is an object; replacing it hands back the previous one, which
// stays callable for as long as someone holds it.
using WNDPROC = std::shared_ptr<const WindowProcFn>;

inline WNDPROC makeWindowProc(WindowProcFn fn) {
    return std::make_shared<const WindowProcFn>(std::move(fn));
}

class WindowSystem {
public:
    explicit WindowSystem(EventLoop& loop, std::uint32_t processId = 1);

    // The same name always gives the same number; numbers start above the
    // range a window uses for its own messages.
    UINT RegisterWindowMessage(std::string_view name);

    // A window whose procedure ignores every message.
    HWND CreateMessageWindow();
    // A window owned by another process, for tests of the ownership check.
    HWND CreateForeignWindow(std::uint32_t processId);
    void DestroyWindow(HWND hWnd);

    bool IsWindow(HWND hWnd) const;
    std::uint32_t GetWindowThreadProcessId(HWND hWnd) const; // 0 when not a window
    std::uint32_t GetCurrentProcessId() const { return processId_; }

    // Installs proc and returns the previous one; null when hWnd is not a
    // window (the caller reads the reason from lastError()).
    WNDPROC SetWindowProc(HWND hWnd, WNDPROC proc);
    WNDPROC GetWindowProc(HWND hWnd) const;
    static LRESULT CallWindowProc(const WNDPROC& proc, HWND hWnd, UINT msg, WPARAM wParam,
                                  LPARAM lParam);

    // Delivered later, in posting order, to whatever procedure the window has
    // then; a message for a window destroyed meanwhile is dropped.
    bool PostMessage(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam);
    LRESULT SendMessage(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam);

    std::uint32_t lastError() const { return lastError_; }
    EventLoop& loop() { return loop_; }

private:
    struct Window {
        std::uint32_t processId;
        WNDPROC proc;
    };

    EventLoop& loop_;
    std::uint32_t processId_;
    std::unordered_map<std::string, UINT> registered_;
    std::unordered_map<HWND, Window> windows_;
    UINT nextMessage_ = 0xC000; // where registered messages begin
    HWND nextWindow_ = 0x10010;
    std::uint32_t lastError_ = 0;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

constexpr std::uint32_t ERROR_INVALID_WINDOW_HANDLE = 1400;

} // namespace pm::platform
