// The status log's view, the Qt message boxes and the window's own
// command-line arguments.

#include <QGroupBox>
#include <QMessageBox>
#include <QScrollBar>
#include <QSplitter>
#include <QTextBlock>
#include <QTimer>

#include "WindowFixture.h"
#include "ui/QtDialogs.h"
#include "ui/RunWindow.h"

using namespace pm;
using namespace pm::test;
using platform::DialogButtons;
using platform::DialogIcon;
using platform::DialogResult;

namespace {

QStringList shownLines(QPlainTextEdit* log) {
    return log->toPlainText().split(QLatin1Char('\n'));
}

QString topLine(QPlainTextEdit* log) {
    return log->cursorForPosition(QPoint(2, 2)).block().text();
}

} // namespace

TEST_F(WindowTest, status_log_shows_newest_first) {
    QPlainTextEdit* log = find<QPlainTextEdit>("txtStatus");
    EXPECT_TRUE(log->isReadOnly());
    EXPECT_TRUE(log->toPlainText().isEmpty());
    form->AddStatus("first");
    form->AddStatus("second");
    const std::string stamp = platform::formatLocalDateTime(stack.clock().wallNow()) + ": ";
    EXPECT_EQ(shownLines(log), (QStringList{QString::fromStdString(stamp + "second"),
                                            QString::fromStdString(stamp + "first")}));

    // A window opened on a log that already has lines shows them the same way.
    ui::MainWindow second(*form);
    EXPECT_EQ(shownLines(second.findChild<QPlainTextEdit*>("txtStatus")), shownLines(log));
}

TEST_F(WindowTest, a_reader_of_older_status_lines_keeps_their_place) {
    QPlainTextEdit* log = find<QPlainTextEdit>("txtStatus");
    for (int i = 0; i < 300; ++i) {
        form->AddStatus("line " + std::to_string(i));
    }
    QScrollBar* bar = log->verticalScrollBar();
    ASSERT_GT(bar->maximum(), 60);
    EXPECT_EQ(bar->value(), 0) << "the newest line is in view";
    const QString top = topLine(log);
    EXPECT_TRUE(top.endsWith("line 299")) << top.toStdString();

    bar->setValue(50);
    const QString reading = topLine(log);
    form->AddStatus("newer");
    EXPECT_EQ(topLine(log), reading);
}

namespace {

// Lines of the log the reader sees whole, from the top; fails the test on a
// line cut off at the bottom.
int wholeLinesInView(QPlainTextEdit* log) {
    const int bottom = log->viewport()->height();
    const int step = log->fontMetrics().lineSpacing();
    int whole = 0;
    for (QTextBlock block = log->document()->begin(); block.isValid(); block = block.next()) {
        const int top = log->cursorRect(QTextCursor(block)).top();
        if (top < 0 || top >= bottom) {
            continue;
        }
        EXPECT_LE(top + step, bottom) << "cut: " << block.text().toStdString();
        ++whole;
    }
    return whole;
}

} // namespace

TEST_F(WindowTest, the_status_log_shows_at_least_fifteen_whole_lines_however_tall_it_is_made) {
    QPlainTextEdit* log = find<QPlainTextEdit>("txtStatus");
    for (int i = 0; i < 60; ++i) {
        form->AddStatus("line " + std::to_string(i));
    }
    auto* split = qobject_cast<QSplitter*>(find<QGroupBox>("fraStatus")->parentWidget());
    ASSERT_NE(split, nullptr);
    window->resize(1120, 900);
    QApplication::processEvents();
    const int total = split->sizes()[0] + split->sizes()[1];
    const int opened = split->sizes()[1];

    for (const bool longLine : {false, true}) {
        if (longLine) { // brings the horizontal scroll bar, which takes height
            form->AddStatus(std::string(600, 'w'));
            QApplication::processEvents(); // laid out, it widens the document
        }
        // Dragged taller by every remainder of a line height, and more.
        for (const int extra : {0, 1, 5, 9, 13, 40, 101}) {
            SCOPED_TRACE(testing::Message() << "taller by " << extra << (longLine ? ", scroll bar" : ""));
            split->setSizes({total - opened - extra, opened + extra});
            QApplication::processEvents(); // the scroll bar shows or hides
            ASSERT_EQ(split->sizes()[1], opened + extra);
            EXPECT_EQ(log->horizontalScrollBar()->isVisible(), longLine);
            EXPECT_GE(wholeLinesInView(log), 15);
            EXPECT_TRUE(topLine(log).endsWith(longLine ? "www" : "line 59")) << "newest first";
            log->verticalScrollBar()->setValue(20); // a reader further down
            EXPECT_GE(wholeLinesInView(log), 15);
            log->verticalScrollBar()->setValue(0);
        }
    }

    window->resize(window->minimumSize());
    QApplication::processEvents();
    EXPECT_GE(wholeLinesInView(log), 15) << "at the window's smallest too";
}

namespace {

// Answers the next message box that opens by pressing one of its buttons,
// and records what it showed. Gives up (and closes whatever is open) after a
// while, so a box that never appears fails the test instead of hanging it.
struct BoxAnswer {
    explicit BoxAnswer(QMessageBox::StandardButton button) : press(button) {}

    QMessageBox::StandardButton press;
    QString text, title;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    int tries = 0;

    void arm() {
        QTimer::singleShot(10, [this] {
            for (QWidget* w : QApplication::topLevelWidgets()) {
                auto* box = qobject_cast<QMessageBox*>(w);
                if (box != nullptr && box->isVisible()) {
                    text = box->text();
                    title = box->windowTitle();
                    icon = box->icon();
                    buttons = box->standardButtons();
                    box->button(press)->click();
                    return;
                }
            }
            if (++tries < 200) {
                arm();
            } else if (QWidget* modal = QApplication::activeModalWidget()) {
                modal->close();
            }
        });
    }
};

} // namespace

TEST(QtDialogsTest, boxes_show_the_text_plainly_and_return_the_button_pressed) {
    qtApp();
    ui::QtDialogs dialogs;

    BoxAnswer yes{QMessageBox::Yes};
    yes.arm();
    EXPECT_EQ(dialogs.messageBox("Are you sure you want to remove '<b>A</b>'?", DialogButtons::YesNo, "Title",
                                 DialogIcon::Question),
              DialogResult::Yes);
    EXPECT_EQ(yes.text, "Are you sure you want to remove '<b>A</b>'?");
    EXPECT_EQ(yes.title, "Title");
    EXPECT_EQ(yes.icon, QMessageBox::Question);
    EXPECT_EQ(yes.buttons, QMessageBox::Yes | QMessageBox::No);

    BoxAnswer no{QMessageBox::No};
    no.arm();
    EXPECT_EQ(dialogs.messageBox("Remove?", DialogButtons::YesNo, "", DialogIcon::Question),
              DialogResult::No);

    BoxAnswer ok{QMessageBox::Ok};
    ok.arm();
    EXPECT_EQ(dialogs.warning("Refused", "Title"), DialogResult::Ok);
    EXPECT_EQ(ok.icon, QMessageBox::Warning);
    EXPECT_EQ(ok.buttons, QMessageBox::Ok);
}

TEST(WindowArgumentsTest, screenshot_path_is_taken_out_and_the_rest_left_alone) {
    struct Row {
        std::vector<std::string> args;
        std::string error;
        std::optional<std::string> path;
        std::vector<std::string> rest;
    };
    const std::vector<Row> rows = {
        {{"--config", "a.cfg"}, "", std::nullopt, {"--config", "a.cfg"}},
        {{"--screenshot", "s.png", "--trace"}, "", "s.png", {"--trace"}},
        {{"--trace", "--screenshot=s.png"}, "", "s.png", {"--trace"}},
        {{"--screenshot"}, "--screenshot needs a file name", std::nullopt, {"--screenshot"}},
        {{"--screenshot="}, "--screenshot needs a file name", std::nullopt, {"--screenshot="}},
        {{"--screenshot", "a.png", "--screenshot", "b.png"}, "--screenshot given twice", "a.png", {}},
    };
    for (const auto& row : rows) {
        auto args = row.args;
        ui::WindowOptions options;
        const std::string error = ui::takeWindowArguments(args, options);
        EXPECT_EQ(error, row.error) << row.args[0];
        EXPECT_EQ(options.screenshotPath, row.path) << row.args[0];
        if (error.empty()) {
            EXPECT_EQ(args, row.rest);
        }
    }
}
