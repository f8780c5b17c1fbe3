#pragma once
// Message boxes behind an interface: the window shows them, the headless
// program answers them safely and logs them, tests script them.

#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace pm::platform {

enum class DialogButtons { Ok, YesNo };
enum class DialogIcon { None, Information, Question, Warning };
enum class DialogResult { Ok, Yes, No };

class Dialogs {
public:
    virtual ~Dialogs() = default;
    virtual DialogResult messageBox(const std::string& text, DialogButtons buttons,
                                    const std::string& title, DialogIcon icon) = 0;

    DialogResult warning(const std::string& text, const std::string& title) {
        return messageBox(text, DialogButtons::Ok, title, DialogIcon::Warning);
    }
};

// Without a person to ask, every question is answered with the choice that
// changes nothing (No), and every box is reported through the log.
class HeadlessDialogs final : public Dialogs {
public:
    explicit HeadlessDialogs(std::function<void(const std::string&)> log) : log_(std::move(log)) {}
    DialogResult messageBox(const std::string& text, DialogButtons buttons, const std::string& title,
                            DialogIcon) override {
        if (log_) {
            log_(title.empty() ? text : title + ": " + text);
        }
        return buttons == DialogButtons::YesNo ? DialogResult::No : DialogResult::Ok;
    }

private:
    std::function<void(const std::string&)> log_;
};

// The test double: records every box and answers from a queue (No when the
// queue is empty).
class ScriptedDialogs final : public Dialogs {
public:
    struct Shown {
        std::string text;
        DialogButtons buttons;
        std::string title;
        DialogIcon icon;
    };

    DialogResult messageBox(const std::string& text, DialogButtons buttons, const std::string& title,
                            DialogIcon icon) override {
        shown.push_back({text, buttons, title, icon});
        if (buttons == DialogButtons::Ok) {
            return DialogResult::Ok;
        }
        if (answers.empty()) {
            return DialogResult::No;
        }
        const DialogResult r = answers.front();
        answers.pop_front();
        return r;
    }

    std::vector<Shown> shown;
    std::deque<DialogResult> answers;
};

} // namespace pm::platform
