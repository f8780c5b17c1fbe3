#pragma once
// Ties widgets to the view models of app/ and insim/. A model change (from
// the network, a chat command, the start-up file) shows at once; an operator
// edit reaches the model at once. Widgets are updated on a model's behalf
// only through calls that do not raise the "operator edited" signals
// (textEdited, clicked, a blocked list), so nothing echoes back.

#include <QString>
#include <functional>
#include <string>
#include <vector>

#include "platform/Controls.h"

class QAbstractButton;
class QCheckBox;
class QComboBox;
class QLineEdit;
class QListWidget;
class QWidget;

namespace pm::ui {

inline QString toQString(const std::string& utf8) {
    return QString::fromStdString(utf8);
}

// A button caption with its first letter as the keyboard mnemonic.
QString withMnemonic(const std::string& caption);

// Writes a model's state into its widget; the bindings call these on every
// change, and they are usable alone for a first fill.
void showText(const platform::TextBox& model, QLineEdit* edit);
void showCheck(const platform::CheckBox& model, QCheckBox* box);
void showChoice(const platform::TextBox& model, QComboBox* combo);
void showList(const platform::ListBox& model, QListWidget* list);
void showButton(const platform::CommandButton& model, QAbstractButton* button);

class ModelBindings {
public:
    ModelBindings() = default;
    ~ModelBindings() { clear(); }
    ModelBindings(const ModelBindings&) = delete;
    ModelBindings& operator=(const ModelBindings&) = delete;

    void text(platform::TextBox& model, QLineEdit* edit);
    void check(platform::CheckBox& model, QCheckBox* box);
    // A text model chosen from a fixed list: the item whose text equals the
    // model's; a value not among them is shown as an extra item.
    void choice(platform::TextBox& model, QComboBox* combo);
    // afterShow runs after every refresh of the widget from the model.
    void list(platform::ListBox& model, QListWidget* list, std::function<void()> afterShow = {});
    // Mirrors caption and enabled state; pressing the button runs onPress.
    void button(platform::CommandButton& model, QAbstractButton* button, std::function<void()> onPress,
                std::function<void()> afterShow = {});
    void windowTitle(platform::TextBox& model, QWidget* window);
    // Runs onChange after every change of a model shown in some other way.
    void watch(platform::TextBox& model, std::function<void()> onChange);

    // Unties everything. The models must still exist: call this before a
    // model set is discarded.
    void clear();
    bool empty() const { return undo_.empty(); }

private:
    std::vector<std::function<void()>> undo_;
};

} // namespace pm::ui
