#include "platform/cWndHook.h"

#include <cstdio>
#include <new>

namespace pm::platform {

namespace {
constexpr std::uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;
}

cWndHook::cWndHook(WindowSystem& windows, Dialogs& dialogs, EventLog& eventLog)
    : windows_(windows), dialogs_(dialogs), eventLog_(eventLog) {}

cWndHook::~cWndHook() { UnhookAll(); }

void cWndHook::report(const std::string& routine, const std::string& message) {
    eventLog_.LogEvent("cWndHook." + routine + ": " + message);
    dialogs_.messageBox(message + ".", DialogButtons::Ok, "Error in cWndHook." + routine,
                        DialogIcon::Warning);
}

bool cWndHook::inTable(const Table& t, UINT msg) {
    if (t[0] == ALL_MESSAGES) {
        return true;
    }
    for (long i = 1; i <= t[0] && i <= MSG_ENTRIES; ++i) {
        if (t[i] != 0 && static_cast<UINT>(t[i]) == msg) {
            return true;
        }
    }
    return false;
}

void cWndHook::restoreIfIdle(WindowSystem& windows, HookRecord& rec) {
    if (rec.inUse != 0 || !rec.releasePending) {
        return;
    }
    // Only take the record out when it is still the window's procedure; when
    // someone hooked on top of it, it stays in the chain and just passes on.
    auto current = windows.GetWindowProc(rec.hWnd);
    if (current && current == rec.entry.lock()) {
        windows.SetWindowProc(rec.hWnd, rec.previous);
    }
}

LRESULT cWndHook::entryProc(WindowSystem& windows, const std::shared_ptr<HookRecord>& rec, HWND hWnd,
                            UINT msg, WPARAM wParam, LPARAM lParam) {
    HookRecord& r = *rec;
    bool handled = false;
    LRESULT ret = 0;
    if (!r.releasePending && r.owner != nullptr && inTable(r.before, msg)) {
        r.owner->WndProcHook(true, handled, ret, hWnd, msg, wParam, lParam, r.userValue);
        if (handled) {
            return ret;
        }
    }
    ++r.inUse;
    ret = WindowSystem::CallWindowProc(r.previous, hWnd, msg, wParam, lParam);
    --r.inUse;
    if (r.inUse == 0 && r.releasePending) {
        restoreIfIdle(windows, r);
        return ret;
    }
    if (!r.releasePending && r.owner != nullptr && inTable(r.after, msg)) {
        handled = false;
        r.owner->WndProcHook(false, handled, ret, hWnd, msg, wParam, lParam, r.userValue);
    }
    return ret;
}

bool cWndHook::SubclassWindow(HWND hWnd, IHookOwner* aControl) {
    static const std::string routine = "sc_Subclass";
    if (!windows_.IsWindow(hWnd)) {
        report(routine, "Invalid window handle");
        return false;
    }
    if (windows_.GetWindowThreadProcessId(hWnd) != windows_.GetCurrentProcessId()) {
        report(routine, "Window handle belongs to another process");
        return false;
    }
    IHookOwner* owner = aControl != nullptr ? aControl : this;
    if (!owner->HasHookCallback()) {
        report(routine, "Callback method not found");
        return false;
    }
    if (!map_) {
        map_.emplace();
    }
    std::shared_ptr<HookRecord> rec;
    try {
        rec = std::make_shared<HookRecord>();
    } catch (const std::bad_alloc&) {
        report(routine, "VirtualAlloc failed, error: " + std::to_string(ERROR_NOT_ENOUGH_MEMORY));
        return false;
    }
    const std::string k = key(hWnd);
    for (auto& [existingKey, weak] : *map_) {
        if (existingKey != k) {
            continue;
        }
        if (!weak.expired()) {
            report(routine, "Window handle is already subclassed");
            return false;
        }
        removeKey(k); // a record that released itself leaves nothing to keep
        break;
    }
    map_->emplace_back(k, rec);

    rec->hWnd = hWnd;
    rec->owner = owner;
    WindowSystem& windows = windows_;
    // The procedure owns the record: the record lives exactly as long as the
    // window (or a running call) can still reach it.
    WNDPROC entry = makeWindowProc([&windows, rec](HWND h, UINT m, WPARAM w, LPARAM l) {
        return entryProc(windows, rec, h, m, w, l);
    });
    rec->entry = entry;
    WNDPROC previous = windows_.SetWindowProc(hWnd, entry);
    if (!previous) {
        report(routine, "SetWindowLong failed, error #" + std::to_string(windows_.lastError()));
        removeKey(k);
        return false;
    }
    rec->previous = std::move(previous);
    return true;
}

std::shared_ptr<cWndHook::HookRecord> cWndHook::zMap_hWnd(HWND hWnd) {
    static const std::string routine = "zMap_hWnd";
    if (!map_) {
        report(routine, "Subclassing hasn't been started");
        return nullptr;
    }
    const std::string k = key(hWnd);
    for (auto& [existingKey, weak] : *map_) {
        if (existingKey == k) {
            return weak.lock(); // a record that is gone is skipped silently
        }
    }
    report(routine, "Window handle isn't subclassed");
    return nullptr;
}

void cWndHook::zAddMsg(long Message, Table& table) {
    if (Message == ALL_MESSAGES) {
        table[0] = ALL_MESSAGES;
        return;
    }
    if (table[0] == ALL_MESSAGES) {
        return; // already sees every message; writing a slot would corrupt the count
    }
    if (table[0] >= MSG_ENTRIES) {
        report("zAddMsg", "Message table overflow. Either increase the value of Const MSG_ENTRIES "
                          "or use ALL_MESSAGES instead of specific message values");
        return;
    }
    for (long i = 1; i <= table[0]; ++i) {
        if (table[i] == 0) {
            table[i] = Message;
            return;
        }
        if (table[i] == Message) {
            return;
        }
    }
    table[0] += 1;
    table[table[0]] = Message;
}

void cWndHook::zDelMsg(long Message, Table& table) {
    if (Message == ALL_MESSAGES) {
        table[0] = 0;
        return;
    }
    for (long i = 1; i <= table[0]; ++i) {
        if (table[i] == Message) {
            table[i] = 0;
            return;
        }
    }
    char hex[16];
    std::snprintf(hex, sizeof hex, "%lX", static_cast<unsigned long>(static_cast<std::uint32_t>(Message)));
    report("zDelMsg", std::string("Message &H") + hex + " not found in table");
}

void cWndHook::SubclassMessage(HWND hWnd, long Message, int When) {
    auto rec = zMap_hWnd(hWnd);
    if (!rec) {
        return;
    }
    if ((When & WHEN_BEFORE) != 0) {
        zAddMsg(Message, rec->before);
    }
    if ((When & WHEN_AFTER) != 0) {
        zAddMsg(Message, rec->after);
    }
}

void cWndHook::UnSubclassMessage(HWND hWnd, long Message, int When) {
    auto rec = zMap_hWnd(hWnd);
    if (!rec) {
        return;
    }
    if ((When & WHEN_BEFORE) != 0) {
        zDelMsg(Message, rec->before);
    }
    if ((When & WHEN_AFTER) != 0) {
        zDelMsg(Message, rec->after);
    }
}

void cWndHook::removeKey(const std::string& k) {
    if (!map_) {
        return;
    }
    for (auto it = map_->begin(); it != map_->end(); ++it) {
        if (it->first == k) {
            map_->erase(it);
            return;
        }
    }
}

void cWndHook::UnSubclassWindow(HWND hWnd) {
    if (!map_) {
        report("sc_UnSubclass", "Window handle isn't subclassed");
        return;
    }
    auto rec = zMap_hWnd(hWnd);
    if (rec) {
        rec->releasePending = true;
        rec->owner = nullptr; // from now on no message reaches the owner
        rec->before[0] = 0;
        rec->after[0] = 0;
        // Nothing is running through the record: it can leave at once
        // instead of waiting for the window's next message.
        restoreIfIdle(windows_, *rec);
    }
    removeKey(key(hWnd));
}

void cWndHook::UnhookAll() {
    if (!map_) {
        return;
    }
    std::vector<HWND> windows;
    for (auto it = map_->rbegin(); it != map_->rend(); ++it) {
        if (auto rec = it->second.lock()) {
            windows.push_back(rec->hWnd);
        }
    }
    for (HWND h : windows) {
        UnSubclassWindow(h);
    }
    map_.reset();
}

bool cWndHook::IsSubclassed(HWND hWnd) const {
    if (!map_) {
        return false;
    }
    const std::string k = key(hWnd);
    for (const auto& [existingKey, weak] : *map_) {
        if (existingKey == k) {
            return !weak.expired();
        }
    }
    return false;
}

std::optional<long> cWndHook::MessageCount(HWND hWnd, int When) const {
    if (!map_) {
        return std::nullopt;
    }
    const std::string k = key(hWnd);
    for (const auto& [existingKey, weak] : *map_) {
        if (existingKey == k) {
            if (auto rec = weak.lock()) {
                return When == WHEN_AFTER ? rec->after[0] : rec->before[0];
            }
        }
    }
    return std::nullopt;
}

} // namespace pm::platform
