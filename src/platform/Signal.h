#pragma once
// A minimal observer list for the view models: the window and the tests
// subscribe, the application logic notifies. Single-threaded by design.

#include <cstddef>
#include <functional>
#include <utility>
#include <vector>

namespace pm::platform {

template <typename... Args> class Signal {
public:
    using Slot = std::function<void(Args...)>;
    using Connection = std::size_t;

    Connection connect(Slot slot) {
        slots_.push_back({nextId_, std::move(slot)});
        return nextId_++;
    }

    void disconnect(Connection id) {
        for (auto& entry : slots_) {
            if (entry.id == id) {
                entry.slot = nullptr;
            }
        }
        // Entries can only be erased when no notification is walking them;
        // otherwise the notifying call compacts once it is done.
        if (notifying_ == 0) {
            compact();
        }
    }

    // Slots may connect or disconnect while being notified; iterate by index
    // over the entries present when the notification started.
    void operator()(Args... args) const {
        ++notifying_;
        const std::size_t count = slots_.size();
        for (std::size_t i = 0; i < count && i < slots_.size(); ++i) {
            if (slots_[i].slot) {
                auto slot = slots_[i].slot;
                slot(args...);
            }
        }
        if (--notifying_ == 0) {
            compact();
        }
    }

    bool empty() const {
        for (const auto& entry : slots_) {
            if (entry.slot) {
                return false;
            }
        }
        return true;
    }

private:
    void compact() const {
        std::erase_if(slots_, [](const Entry& e) { return !e.slot; });
    }

    struct Entry {
        Connection id;
        Slot slot;
    };
    // Mutable: a const notification may still tidy up disconnected entries.
    mutable std::vector<Entry> slots_;
    mutable int notifying_ = 0;
    Connection nextId_ = 1;
};

} // namespace pm::platform
