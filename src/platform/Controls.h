#pragma once
// Models of the window's controls. The application logic reads and writes
// them; the desktop window mirrors them and writes operator edits back; tests
// read them directly. Every change notifies.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Signal.h"

namespace pm::platform {

struct ListItem {
    std::string text;
    std::int32_t data = 0;
    bool operator==(const ListItem&) const = default;
};

class ListBox {
public:
    int count() const { return static_cast<int>(items_.size()); }
    const std::vector<ListItem>& items() const { return items_; }
    const std::string& text(int index) const { return items_.at(index).text; }
    std::int32_t itemData(int index) const { return items_.at(index).data; }

    // Appends, or inserts before index; returns the new item's index.
    int addItem(std::string text, int index = -1) {
        if (index < 0 || index > count()) {
            index = count();
        }
        items_.insert(items_.begin() + index, ListItem{std::move(text), 0});
        changed();
        return index;
    }
    void setItemData(int index, std::int32_t data) {
        items_.at(index).data = data;
        changed();
    }
    void removeItem(int index) {
        if (index < 0 || index >= count()) {
            return;
        }
        items_.erase(items_.begin() + index);
        changed();
    }
    void clear() {
        if (items_.empty()) {
            return;
        }
        items_.clear();
        changed();
    }
    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        out.reserve(items_.size());
        for (const auto& item : items_) {
            out.push_back(item.text);
        }
        return out;
    }

    Signal<> changed;

private:
    std::vector<ListItem> items_;
};

class CheckBox {
public:
    // 0 unchecked, 1 checked, 2 grey.
    int value() const { return value_; }
    bool isOn() const { return value_ == 1; }
    void setValue(int value) {
        if (value == value_) {
            return;
        }
        value_ = value;
        changed();
    }
    Signal<> changed;

private:
    int value_ = 0;
};

class TextBox {
public:
    explicit TextBox(std::string text = {}) : text_(std::move(text)) {}
    const std::string& text() const { return text_; }
    void setText(std::string text) {
        if (text == text_) {
            return;
        }
        text_ = std::move(text);
        changed();
    }
    Signal<> changed;

private:
    std::string text_;
};

class CommandButton {
public:
    explicit CommandButton(std::string caption = {}) : caption_(std::move(caption)) {}
    const std::string& caption() const { return caption_; }
    bool enabled() const { return enabled_; }
    void setCaption(std::string caption) {
        if (caption == caption_) {
            return;
        }
        caption_ = std::move(caption);
        changed();
    }
    void setEnabled(bool enabled) {
        if (enabled == enabled_) {
            return;
        }
        enabled_ = enabled;
        changed();
    }
    Signal<> changed;
    // Raised by the window (or a test) when the operator presses the button.
    Signal<> clicked;

private:
    std::string caption_;
    bool enabled_ = true;
};

} // namespace pm::platform
