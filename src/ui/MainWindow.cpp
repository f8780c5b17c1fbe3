#include "ui/MainWindow.h"

#include <QApplication>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSplitter>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QVBoxLayout>

#include "ui/ServerPanel.h"

namespace pm::ui {

namespace {

// What the window opens at: comfortable on a 1280×800 laptop, and not
// sprawling on a large screen.
constexpr QSize kPreferredSize{1120, 720};
constexpr QSize kMinimumSize{760, 520};
// Share of the height the status log gets at first.
constexpr int kStatusShare = 30;

} // namespace

MainWindow::MainWindow(app::frmMain& form, QWidget* parent) : QMainWindow(parent), form_(form) {
    setObjectName(QStringLiteral("frmMain"));

    auto* top = new QSplitter(Qt::Horizontal);
    top->setChildrenCollapsible(false);
    top->addWidget(buildServers());
    panel_ = new ServerPanel;
    panel_->setObjectName(QStringLiteral("serverPanel"));
    top->addWidget(panel_);
    top->setStretchFactor(0, 0);
    top->setStretchFactor(1, 1);

    auto* whole = new QSplitter(Qt::Vertical);
    whole->setChildrenCollapsible(false);
    whole->addWidget(top);
    whole->addWidget(buildStatus());
    whole->setStretchFactor(0, 100 - kStatusShare);
    whole->setStretchFactor(1, kStatusShare);

    auto* central = new QWidget;
    auto* layout = new QVBoxLayout(central);
    layout->addWidget(whole);
    setCentralWidget(central);

    setTabOrder(lstServers_, txtNewServer_);
    setTabOrder(txtNewServer_, cmdNewServer_);
    setTabOrder(cmdNewServer_, panel_->firstInTabOrder());
    setTabOrder(panel_->lastInTabOrder(), txtStatus_);

    bindings_.windowTitle(form_.Caption, this);
    bindings_.list(form_.lstServers, lstServers_, [this] { selectShownServer(); });
    bindings_.text(form_.txtNewServer, txtNewServer_);
    bindings_.button(form_.cmdNewServer, cmdNewServer_, [this] { form_.cmdNewServer_Click(); });

    for (const auto& line : form_.txtStatus.newestFirst()) {
        // Already newest first: append in that order.
        txtStatus_->appendPlainText(toQString(line));
    }
    txtStatus_->moveCursor(QTextCursor::Start);
    const auto lineId =
        form_.txtStatus.lineAdded.connect([this](const std::string& line) { prependStatus(line); });
    const auto shownId = form_.shownChanged.connect([this](std::int16_t index) { showServer(index); });
    // The shown set is about to be discarded: untie the panel while its
    // models still exist.
    const auto removingId = form_.serverRemoving.connect([this](std::int16_t index) {
        if (panel_->views() != nullptr && panel_->views() == form_.server(index)) {
            panel_->showViews(nullptr);
        }
    });
    unsubscribe_.push_back([this, lineId] { form_.txtStatus.lineAdded.disconnect(lineId); });
    unsubscribe_.push_back([this, shownId] { form_.shownChanged.disconnect(shownId); });
    unsubscribe_.push_back([this, removingId] { form_.serverRemoving.disconnect(removingId); });

    panel_->onConnectionPicked = [this](int item) { form_.lstConnections_Click(form_.ShownIndex(), item); };
    showServer(form_.ShownIndex());

    setMinimumSize(kMinimumSize);
    fitToScreen();
    txtNewServer_->setFocus();
}

MainWindow::~MainWindow() {
    for (auto& undo : unsubscribe_) {
        undo();
    }
    bindings_.clear();
    panel_->showViews(nullptr);
}

QWidget* MainWindow::buildServers() {
    auto* frame = new QGroupBox(QStringLiteral("Brenhollow's InSim &Servers"));
    frame->setObjectName(QStringLiteral("fraServers"));

    lstServers_ = new QListWidget(frame);
    lstServers_->setObjectName(QStringLiteral("lstServers"));
    lstServers_->setSelectionMode(QAbstractItemView::SingleSelection);
    lstServers_->setToolTip(QStringLiteral("Click to show a server; double-click or Delete to remove it"));
    lstServers_->installEventFilter(this);
    txtNewServer_ = new QLineEdit(frame);
    txtNewServer_->setObjectName(QStringLiteral("txtNewServer"));
    txtNewServer_->setPlaceholderText(QStringLiteral("Server name"));
    txtNewServer_->setAccessibleName(QStringLiteral("New server name"));
    cmdNewServer_ = new QPushButton(frame);
    cmdNewServer_->setObjectName(QStringLiteral("cmdNewServer"));
    cmdNewServer_->setAutoDefault(false);

    // Arrow keys move the selection, and a selection change is a click as
    // far as showing a server goes.
    connect(lstServers_, &QListWidget::currentRowChanged, this, [this](int row) {
        if (row >= 0) {
            form_.lstServers_Click(row);
        }
    });
    // A click on the already current item still shows it (after its
    // neighbour was removed, say).
    connect(lstServers_, &QListWidget::itemClicked, this,
            [this](QListWidgetItem* item) { form_.lstServers_Click(lstServers_->row(item)); });
    connect(lstServers_, &QListWidget::itemDoubleClicked, this,
            [this](QListWidgetItem* item) { form_.lstServers_DblClick(lstServers_->row(item)); });
    connect(txtNewServer_, &QLineEdit::returnPressed, this, [this] { form_.cmdNewServer_Click(); });

    auto* add = new QHBoxLayout;
    add->addWidget(txtNewServer_, 1);
    add->addWidget(cmdNewServer_);

    auto* layout = new QVBoxLayout(frame);
    layout->addWidget(lstServers_, 1);
    layout->addLayout(add);
    frame->setMinimumWidth(220);
    return frame;
}

QWidget* MainWindow::buildStatus() {
    auto* frame = new QGroupBox(QStringLiteral("S&tatus"));
    frame->setObjectName(QStringLiteral("fraStatus"));
    txtStatus_ = new QPlainTextEdit(frame);
    txtStatus_->setObjectName(QStringLiteral("txtStatus"));
    txtStatus_->setReadOnly(true);
    // One line per entry, with a scroll bar for long ones: the reader keeps
    // their place by whole lines as new ones arrive above.
    txtStatus_->setLineWrapMode(QPlainTextEdit::NoWrap);
    // The log has no length limit; an undo history of it would double that.
    txtStatus_->document()->setUndoRedoEnabled(false);
    txtStatus_->setMinimumHeight(80);
    auto* layout = new QVBoxLayout(frame);
    layout->addWidget(txtStatus_);
    return frame;
}

QSize MainWindow::preferredSize() {
    return kPreferredSize;
}

void MainWindow::fitToScreen() {
    QSize size = kPreferredSize;
    if (const QScreen* screen = QApplication::primaryScreen()) {
        const QSize room = screen->availableGeometry().size() * 9 / 10;
        size = size.boundedTo(room).expandedTo(kMinimumSize);
    }
    resize(size);
}

void MainWindow::showServer(std::int16_t index) {
    panel_->showViews(form_.server(index));
    selectShownServer();
}

void MainWindow::selectShownServer() {
    const QSignalBlocker block(lstServers_);
    const std::int16_t shown = form_.ShownIndex();
    for (int row = 0; row < lstServers_->count(); ++row) {
        if (lstServers_->item(row)->data(Qt::UserRole).toInt() == shown) {
            lstServers_->setCurrentRow(row);
            return;
        }
    }
    // The template set or nothing: no server is on show.
    lstServers_->setCurrentRow(-1);
}

void MainWindow::prependStatus(const std::string& line) {
    QTextDocument* doc = txtStatus_->document();
    QScrollBar* bar = txtStatus_->verticalScrollBar();
    const int scrolled = bar->value();
    QTextCursor cursor(doc);
    cursor.movePosition(QTextCursor::Start);
    if (doc->isEmpty()) {
        cursor.insertText(toQString(line));
    } else {
        cursor.insertText(toQString(line) + QLatin1Char('\n'));
    }
    // Someone reading older lines keeps them in view; at the top, the
    // newest line stays in view.
    if (scrolled > 0) {
        bar->setValue(scrolled + 1);
    }
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == lstServers_ && event->type() == QEvent::KeyPress) {
        const int row = lstServers_->currentRow();
        switch (static_cast<QKeyEvent*>(event)->key()) {
        case Qt::Key_Delete:
            if (row >= 0) {
                form_.lstServers_DblClick(row);
            }
            return true;
        case Qt::Key_Return:
        case Qt::Key_Enter:
            if (row >= 0) {
                form_.lstServers_Click(row);
            }
            return true;
        default: break;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

} // namespace pm::ui
