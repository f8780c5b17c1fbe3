#pragma once
// The real window over the real frmMain, on a manual clock with scripted
// message boxes. Widgets are found by their model's name and driven with
// synthetic mouse and key events, as an operator would.

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <memory>
#include <string>
#include <vector>

#include "app/frmMain.h"
#include "platform/Platform.h"
#include "ui/MainWindow.h"
#include "ui/ServerPanel.h"

namespace pm::test {

using V = std::vector<std::string>;

// One application object for the whole test program. Offscreen unless
// QT_QPA_PLATFORM names a platform: the tests need no display and should
// open no windows on a developer's screen, yet a run on a real X server
// (QT_QPA_PLATFORM=xcb xvfb-run -a) finds what offscreen hides.
inline QApplication& qtApp() {
    static int argc = 1;
    static char name[] = "ui_tests";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
            qputenv("QT_QPA_PLATFORM", "offscreen");
        }
        return new QApplication(argc, argv);
    }();
    return *app;
}

class WindowTest : public ::testing::Test {
protected:
    WindowTest() : stack(std::make_unique<platform::ManualClock>()) {
        qtApp();
        dialogs = dynamic_cast<platform::ScriptedDialogs*>(&stack.dialogs());
        form = std::make_unique<app::frmMain>(stack.platform(), "/nonexistent/autostart.cfg");
        window = std::make_unique<ui::MainWindow>(*form);
        form->Form_Load();
        window->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }
    ~WindowTest() override {
        window.reset(); // it mirrors the form, so it goes first
        form.reset();
    }

    template <typename W> W* find(const char* name) {
        W* w = window->findChild<W*>(QLatin1String(name));
        if (w == nullptr) {
            ADD_FAILURE() << "no widget named " << name;
        }
        return w;
    }
    QListWidget* list(const char* name) { return find<QListWidget>(name); }
    QLineEdit* edit(const char* name) { return find<QLineEdit>(name); }
    QCheckBox* check(const char* name) { return find<QCheckBox>(name); }
    QPushButton* button(const char* name) { return find<QPushButton>(name); }

    static V texts(const QListWidget* w) {
        V out;
        for (int i = 0; i < w->count(); ++i) {
            out.push_back(w->item(i)->text().toStdString());
        }
        return out;
    }
    static std::string text(const QLineEdit* w) { return w->text().toStdString(); }

    static void click(QWidget* w) { QTest::mouseClick(w, Qt::LeftButton); }
    static void clickItem(QListWidget* w, int row) {
        QTest::mouseClick(w->viewport(), Qt::LeftButton, {}, w->visualItemRect(w->item(row)).center());
    }
    static void doubleClickItem(QListWidget* w, int row) {
        const QPoint at = w->visualItemRect(w->item(row)).center();
        // A real double-click is a click followed by a double-click event.
        QTest::mouseClick(w->viewport(), Qt::LeftButton, {}, at);
        QTest::mouseDClick(w->viewport(), Qt::LeftButton, {}, at);
    }
    // Replaces the box's text the way an operator does: select all, type.
    static void typeInto(QLineEdit* w, const QString& text) {
        w->setFocus();
        w->selectAll();
        QTest::keyClick(w, Qt::Key_Backspace);
        QTest::keyClicks(w, text);
    }

    // Lets the window draw what the models said: it gathers status changes
    // into one redraw after the change at hand, as the loop turns.
    static void settle() {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
    }

    // Types the name into the name box and presses "Add Server".
    std::int16_t addServer(const QString& name) {
        typeInto(edit("txtNewServer"), name);
        click(button("cmdNewServer"));
        return form->LastServerIndex();
    }
    app::ServerViews& views(std::int16_t n) { return *form->server(n); }

    V dialogTexts() const {
        V out;
        for (const auto& d : dialogs->shown) {
            out.push_back(d.text);
        }
        return out;
    }

    platform::PlatformStack stack;
    platform::ScriptedDialogs* dialogs = nullptr;
    std::unique_ptr<app::frmMain> form;
    std::unique_ptr<ui::MainWindow> window;
};

} // namespace pm::test
