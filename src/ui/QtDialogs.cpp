#include "ui/QtDialogs.h"

#include <QMessageBox>

namespace pm::ui {

using platform::DialogButtons;
using platform::DialogIcon;
using platform::DialogResult;

namespace {

QMessageBox::Icon toQt(DialogIcon icon) {
    switch (icon) {
    case DialogIcon::None: return QMessageBox::NoIcon;
    case DialogIcon::Information: return QMessageBox::Information;
    case DialogIcon::Question: return QMessageBox::Question;
    case DialogIcon::Warning: return QMessageBox::Warning;
    }
    return QMessageBox::NoIcon;
}

} // namespace

DialogResult QtDialogs::messageBox(const std::string& text, DialogButtons buttons, const std::string& title,
                                   DialogIcon icon) {
    QMessageBox box(parent_.data());
    box.setIcon(toQt(icon));
    box.setWindowTitle(QString::fromStdString(title));
    // Server and user names come from files and the network: never let one
    // be taken for markup.
    box.setTextFormat(Qt::PlainText);
    box.setText(QString::fromStdString(text));
    if (buttons == DialogButtons::YesNo) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        // Every question asked is about discarding something; a stray Enter
        // should keep it.
        box.setDefaultButton(QMessageBox::No);
        box.setEscapeButton(QMessageBox::No);
        return box.exec() == QMessageBox::Yes ? DialogResult::Yes : DialogResult::No;
    }
    box.setStandardButtons(QMessageBox::Ok);
    box.setEscapeButton(QMessageBox::Ok);
    box.exec();
    return DialogResult::Ok;
}

} // namespace pm::ui
