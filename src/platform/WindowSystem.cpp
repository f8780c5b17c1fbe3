#include "platform/WindowSystem.h"

namespace pm::platform {

WindowSystem::WindowSystem(EventLoop& loop, std::uint32_t processId)
    : loop_(loop), processId_(processId) {}

UINT WindowSystem::RegisterWindowMessage(std::string_view name) {
    auto [it, inserted] = registered_.try_emplace(std::string(name), nextMessage_);
    if (inserted) {
        ++nextMessage_;
    }
    return it->second;
}

HWND WindowSystem::CreateMessageWindow() {
    const HWND h = nextWindow_;
    nextWindow_ += 2;
    windows_.emplace(h, Window{processId_, makeWindowProc([](HWND, UINT, WPARAM, LPARAM) {
                                   return LRESULT{0};
                               })});
    return h;
}

HWND WindowSystem::CreateForeignWindow(std::uint32_t processId) {
    const HWND h = CreateMessageWindow();
    windows_.at(h).processId = processId;
    return h;
}

void WindowSystem::DestroyWindow(HWND hWnd) { windows_.erase(hWnd); }

bool WindowSystem::IsWindow(HWND hWnd) const { return windows_.count(hWnd) != 0; }

std::uint32_t WindowSystem::GetWindowThreadProcessId(HWND hWnd) const {
    auto it = windows_.find(hWnd);
    return it == windows_.end() ? 0 : it->second.processId;
}

WNDPROC WindowSystem::SetWindowProc(HWND hWnd, WNDPROC proc) {
    auto it = windows_.find(hWnd);
    if (it == windows_.end() || !proc) {
        lastError_ = ERROR_INVALID_WINDOW_HANDLE;
        return nullptr;
    }
    auto previous = std::move(it->second.proc);
    it->second.proc = std::move(proc);
    return previous;
}

WNDPROC WindowSystem::GetWindowProc(HWND hWnd) const {
    auto it = windows_.find(hWnd);
    return it == windows_.end() ? nullptr : it->second.proc;
}

LRESULT WindowSystem::CallWindowProc(const WNDPROC& proc, HWND hWnd, UINT msg, WPARAM wParam,
                                     LPARAM lParam) {
    return proc ? (*proc)(hWnd, msg, wParam, lParam) : 0;
}

bool WindowSystem::PostMessage(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (!IsWindow(hWnd)) {
        lastError_ = ERROR_INVALID_WINDOW_HANDLE;
        return false;
    }
    std::weak_ptr<bool> alive = alive_;
    loop_.post([this, alive, hWnd, msg, wParam, lParam] {
        if (alive.expired()) {
            return;
        }
        SendMessage(hWnd, msg, wParam, lParam);
    });
    return true;
}

LRESULT WindowSystem::SendMessage(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    // Hold the procedure while it runs: it may replace itself.
    WNDPROC proc = GetWindowProc(hWnd);
    return CallWindowProc(proc, hWnd, msg, wParam, lParam);
}

} // namespace pm::platform
