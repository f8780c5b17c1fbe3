#pragma once
// Message boxes for the window: the Dialogs interface on QMessageBox.

#include <QPointer>
#include <QWidget>

#include "platform/Dialogs.h"

namespace pm::ui {

class QtDialogs final : public platform::Dialogs {
public:
    // The boxes are modal to this window and centred on it. The window is
    // created after the logic that needs the dialogs, hence the setter.
    void setParent(QWidget* parent) { parent_ = parent; }

    platform::DialogResult messageBox(const std::string& text, platform::DialogButtons buttons,
                                      const std::string& title, platform::DialogIcon icon) override;

private:
    QPointer<QWidget> parent_;
};

} // namespace pm::ui
