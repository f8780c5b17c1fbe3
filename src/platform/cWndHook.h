#pragma once
// Lets an object see chosen messages of a message window before (or after)
// the window's own procedure. One hook object serves the whole program; its
// only user is the socket object, which needs its notifications delivered.
//
// A hook record is a plain object owned by the procedure installed in the
// window; "still valid" means that object still exists.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Dialogs.h"
#include "platform/Trace.h"
#include "platform/WindowSystem.h"

namespace pm::platform {

class IHookOwner {
public:
    virtual ~IHookOwner() = default;
    virtual void WndProcHook(bool bBefore, bool& bHandled, LRESULT& lReturn, HWND hWnd, UINT uMsg,
                             WPARAM wParam, LPARAM lParam, std::intptr_t& lParamUser) = 0;
    // An owner that cannot take messages (yet) says so here.
    virtual bool HasHookCallback() const { return true; }
};

class cWndHook final : public IHookOwner {
public:
    static constexpr int MSG_ENTRIES = 32;
    static constexpr long ALL_MESSAGES = -1;
    static constexpr int WHEN_BEFORE = 1;
    static constexpr int WHEN_AFTER = 2;

    cWndHook(WindowSystem& windows, Dialogs& dialogs, EventLog& eventLog);
    ~cWndHook() override;
    cWndHook(const cWndHook&) = delete;
    cWndHook& operator=(const cWndHook&) = delete;

    // aControl null: the hook object itself is the owner.
    bool SubclassWindow(HWND hWnd, IHookOwner* aControl);
    void SubclassMessage(HWND hWnd, long Message, int When);
    void UnSubclassMessage(HWND hWnd, long Message, int When);
    void UnSubclassWindow(HWND hWnd);
    void UnhookAll();

    // Inspection, for tests and diagnostics.
    bool IsSubclassed(HWND hWnd) const;
    // The table's count word: -1 for all messages. nullopt when not hooked.
    std::optional<long> MessageCount(HWND hWnd, int When) const;

    void WndProcHook(bool, bool&, LRESULT&, HWND, UINT, WPARAM, LPARAM, std::intptr_t&) override {}

private:
    using Table = std::array<long, MSG_ENTRIES + 1>; // word 0 is the count

    struct HookRecord {
        int inUse = 0;
        bool releasePending = false;
        HWND hWnd = 0;
        IHookOwner* owner = nullptr;
        WNDPROC previous;
        std::weak_ptr<const WindowProcFn> entry;
        std::intptr_t userValue = 0;
        Table before{};
        Table after{};
    };

    static std::string key(HWND hWnd) { return "h" + std::to_string(hWnd); }
    static bool inTable(const Table& t, UINT msg);
    static LRESULT entryProc(WindowSystem& windows, const std::shared_ptr<HookRecord>& rec, HWND hWnd,
                             UINT msg, WPARAM wParam, LPARAM lParam);
    static void restoreIfIdle(WindowSystem& windows, HookRecord& rec);

    std::shared_ptr<HookRecord> zMap_hWnd(HWND hWnd);
    void zAddMsg(long Message, Table& table);
    void zDelMsg(long Message, Table& table);
    void removeKey(const std::string& k);
    void report(const std::string& routine, const std::string& message);

    WindowSystem& windows_;
    Dialogs& dialogs_;
    EventLog& eventLog_;
    // Created by the first hook; in the order windows were added.
    std::optional<std::vector<std::pair<std::string, std::weak_ptr<HookRecord>>>> map_;
};

} // namespace pm::platform
