#include "ui/ModelBindings.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QSignalBlocker>
#include <algorithm>
#include <optional>
#include <utility>

namespace pm::ui {

namespace {

// Item data rides along so that lists can be matched by it, as the logic does.
constexpr int kDataRole = Qt::UserRole;

int valueOf(Qt::CheckState state) {
    switch (state) {
    case Qt::Unchecked: return 0;
    case Qt::Checked: return 1;
    case Qt::PartiallyChecked: return 2;
    }
    return 0;
}

} // namespace

QString withMnemonic(const std::string& caption) {
    QString text = toQString(caption);
    text.replace(QLatin1Char('&'), QLatin1String("&&"));
    return text.isEmpty() ? text : QLatin1Char('&') + text;
}

void showText(const platform::TextBox& model, QLineEdit* edit) {
    const QString text = toQString(model.text());
    if (edit->text() == text) {
        return;
    }
    // A change from the network while the operator types elsewhere in the
    // box should not throw the cursor to the end.
    const int cursor = edit->cursorPosition();
    edit->setText(text);
    edit->setCursorPosition(std::min<int>(cursor, static_cast<int>(text.size())));
}

void showCheck(const platform::CheckBox& model, QCheckBox* box) {
    const QSignalBlocker block(box);
    switch (model.value()) {
    case 0:
        box->setCheckState(Qt::Unchecked);
        box->setTristate(false);
        break;
    case 1:
        box->setCheckState(Qt::Checked);
        box->setTristate(false);
        break;
    default:
        // Grey only when the model says so; the operator's clicks toggle
        // between off and on.
        box->setTristate(true);
        box->setCheckState(Qt::PartiallyChecked);
        break;
    }
}

void showList(const platform::ListBox& model, QListWidget* list) {
    const QSignalBlocker block(list);
    // Keep the operator's selection on the same entry when others come and
    // go around it.
    std::optional<std::pair<QString, int>> current;
    if (const QListWidgetItem* item = list->currentItem()) {
        current.emplace(item->text(), item->data(kDataRole).toInt());
    }

    const auto& items = model.items();
    const int count = static_cast<int>(items.size());
    while (list->count() > count) {
        delete list->takeItem(list->count() - 1);
    }
    for (int i = 0; i < count; ++i) {
        const QString text = toQString(items[static_cast<std::size_t>(i)].text);
        const int data = items[static_cast<std::size_t>(i)].data;
        if (i < list->count()) {
            QListWidgetItem* item = list->item(i);
            if (item->text() != text) {
                item->setText(text);
            }
            if (item->data(kDataRole).toInt() != data) {
                item->setData(kDataRole, data);
            }
        } else {
            auto* item = new QListWidgetItem(text);
            item->setData(kDataRole, data);
            list->addItem(item);
        }
    }

    int row = -1;
    if (current) {
        for (int i = 0; i < list->count(); ++i) {
            const QListWidgetItem* item = list->item(i);
            if (item->text() == current->first && item->data(kDataRole).toInt() == current->second) {
                row = i;
                break;
            }
        }
    }
    if (list->currentRow() != row) {
        list->setCurrentRow(row);
    }
}

void showButton(const platform::CommandButton& model, QAbstractButton* button) {
    const QString text = withMnemonic(model.caption());
    if (button->text() != text) {
        button->setText(text);
    }
    button->setEnabled(model.enabled());
}

void ModelBindings::text(platform::TextBox& model, QLineEdit* edit) {
    showText(model, edit);
    const auto id = model.changed.connect([&model, edit] { showText(model, edit); });
    const auto conn = QObject::connect(edit, &QLineEdit::textEdited, edit,
                                       [&model](const QString& text) { model.setText(text.toStdString()); });
    undo_.push_back([&model, id, conn] {
        model.changed.disconnect(id);
        QObject::disconnect(conn);
    });
}

void showChoice(const platform::TextBox& model, QComboBox* combo) {
    const QSignalBlocker quiet(combo);
    const QString value = toQString(model.text());
    int index = combo->findText(value);
    if (index < 0) {
        combo->addItem(value);
        index = combo->count() - 1;
    }
    combo->setCurrentIndex(index);
}

void ModelBindings::choice(platform::TextBox& model, QComboBox* combo) {
    showChoice(model, combo);
    const auto id = model.changed.connect([&model, combo] { showChoice(model, combo); });
    // activated comes from the operator only, never from setCurrentIndex.
    const auto conn = QObject::connect(combo, &QComboBox::activated, combo, [&model, combo](int index) {
        model.setText(combo->itemText(index).toStdString());
    });
    undo_.push_back([&model, id, conn] {
        model.changed.disconnect(id);
        QObject::disconnect(conn);
    });
}

void ModelBindings::check(platform::CheckBox& model, QCheckBox* box) {
    showCheck(model, box);
    const auto id = model.changed.connect([&model, box] { showCheck(model, box); });
    // clicked comes from the operator only (mouse or keyboard), never from
    // setCheckState; the model's echo of the new value also takes the box
    // out of the grey state.
    const auto conn = QObject::connect(box, &QAbstractButton::clicked, box,
                                       [&model, box] { model.setValue(valueOf(box->checkState())); });
    undo_.push_back([&model, id, conn] {
        model.changed.disconnect(id);
        QObject::disconnect(conn);
    });
}

void ModelBindings::list(platform::ListBox& model, QListWidget* list, std::function<void()> afterShow) {
    auto refresh = [&model, list, afterShow = std::move(afterShow)] {
        showList(model, list);
        if (afterShow) {
            afterShow();
        }
    };
    refresh();
    const auto id = model.changed.connect(refresh);
    undo_.push_back([&model, id] { model.changed.disconnect(id); });
}

void ModelBindings::button(platform::CommandButton& model, QAbstractButton* button,
                           std::function<void()> onPress, std::function<void()> afterShow) {
    auto refresh = [&model, button, afterShow = std::move(afterShow)] {
        showButton(model, button);
        if (afterShow) {
            afterShow();
        }
    };
    refresh();
    const auto id = model.changed.connect(refresh);
    const auto conn = QObject::connect(button, &QAbstractButton::clicked, button, std::move(onPress));
    undo_.push_back([&model, id, conn] {
        model.changed.disconnect(id);
        QObject::disconnect(conn);
    });
}

void ModelBindings::windowTitle(platform::TextBox& model, QWidget* window) {
    window->setWindowTitle(toQString(model.text()));
    const auto id =
        model.changed.connect([&model, window] { window->setWindowTitle(toQString(model.text())); });
    undo_.push_back([&model, id] { model.changed.disconnect(id); });
}

void ModelBindings::watch(platform::TextBox& model, std::function<void()> onChange) {
    const auto id = model.changed.connect(std::move(onChange));
    undo_.push_back([&model, id] { model.changed.disconnect(id); });
}

void ModelBindings::clear() {
    // Newest first, the reverse of how they were made.
    while (!undo_.empty()) {
        auto undo = std::move(undo_.back());
        undo_.pop_back();
        undo();
    }
}

} // namespace pm::ui
