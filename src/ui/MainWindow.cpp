#include "ui/MainWindow.h"

#include <QApplication>
#include <QEvent>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSplitter>
#include <QStyledItemDelegate>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QVBoxLayout>
#include <algorithm>
#include <chrono>
#include <utility>

#include "ui/ServerPanel.h"
#include "ui/StatusLook.h"

namespace pm::ui {

namespace {

// What the window opens at: comfortable on a 1280×800 laptop, and not
// sprawling on a large screen.
constexpr QSize kPreferredSize{1120, 720};
constexpr QSize kMinimumSize{760, 520};
// Enough of the log to follow a race's worth of lines without scrolling.
constexpr int kStatusLines = 15;
// How often the badges and the link line are drawn again while nothing is
// reported: their counts are in seconds.
constexpr std::chrono::seconds kStatusTick{1};

// A server list row: the name on the left, a badge with the link's state on
// the right, in the colour of that state.
class BadgeDelegate final : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        const QString badge = index.data(kBadgeTextRole).toString();
        if (badge.isEmpty()) {
            QStyledItemDelegate::paint(painter, option, index);
            return;
        }
        QStyleOptionViewItem opt = option;
        initStyleOption(&opt, index);
        const QFontMetrics metrics(opt.font);
        const int pad = metrics.horizontalAdvance(QLatin1Char(' '));
        const int width = metrics.horizontalAdvance(badge) + 2 * pad;
        const QRect row = opt.rect;
        const QRect pill(row.right() - width - pad, row.top() + 2, width, row.height() - 4);
        // The name gives way to the badge: it is elided, never drawn under it.
        QStyleOptionViewItem name = opt;
        name.rect.setRight(pill.left() - pad);
        name.textElideMode = Qt::ElideRight;
        const QWidget* widget = opt.widget;
        QStyle* style = widget != nullptr ? widget->style() : QApplication::style();
        // The whole row's background and selection first, then the name.
        QStyleOptionViewItem background = opt;
        background.text.clear();
        style->drawControl(QStyle::CE_ItemViewItem, &background, painter, widget);
        name.backgroundBrush = Qt::NoBrush;
        name.state &= ~QStyle::State_HasFocus;
        painter->save();
        painter->setClipRect(name.rect);
        style->drawControl(QStyle::CE_ItemViewItem, &name, painter, widget);
        painter->restore();

        const QColor fill = index.data(kBadgeColourRole).value<QColor>();
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        painter->setPen(Qt::NoPen);
        painter->setBrush(fill);
        painter->drawRoundedRect(pill, pill.height() / 2.0, pill.height() / 2.0);
        painter->setPen(textOn(fill));
        painter->drawText(pill, Qt::AlignCenter, badge);
        painter->restore();
    }

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QSize size = QStyledItemDelegate::sizeHint(option, index);
        const QString badge = index.data(kBadgeTextRole).toString();
        if (!badge.isEmpty()) {
            const QFontMetrics metrics(option.font);
            size.rwidth() +=
                metrics.horizontalAdvance(badge) + 4 * metrics.horizontalAdvance(QLatin1Char(' '));
            size.rheight() = std::max(size.height(), metrics.height() + 6);
        }
        return size;
    }
};

// The status log, never showing a line cut through: the height left over
// below the last whole line is kept out of the text area. A cut line at
// the bottom reads as the oldest line there is.
class StatusView final : public QPlainTextEdit {
public:
    explicit StatusView(QWidget* parent) : QPlainTextEdit(parent) {
        // The text's inset is kept around the text area instead of inside
        // it: the document's own margin shows only while the log is scrolled
        // to the top, and would shift the lines by that much below it.
        document()->setDocumentMargin(0);
        // The inset and the strip below the last line are painted as the
        // text area is.
        setBackgroundRole(QPalette::Base);
        setAutoFillBackground(true);
        fitLines();
    }

    QSize sizeHint() const override { return {QPlainTextEdit::sizeHint().width(), heightFor(kStatusLines)}; }

protected:
    void changeEvent(QEvent* event) override {
        QPlainTextEdit::changeEvent(event);
        if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange) {
            fitLines();
        }
    }
    bool viewportEvent(QEvent* event) override {
        // The horizontal scroll bar comes and goes with the longest line,
        // and changes the height as a resize of the window does.
        if (event->type() == QEvent::Resize) {
            snapToLines();
        }
        return QPlainTextEdit::viewportEvent(event);
    }

private:
    int lineHeight() const { return std::max(1, fontMetrics().lineSpacing()); }

    // The height that holds n whole lines, with room for the horizontal
    // scroll bar, which a long line brings.
    int heightFor(int lines) const {
        return 2 * (frameWidth() + kInset) + lines * lineHeight() +
               horizontalScrollBar()->sizeHint().height();
    }

    void fitLines() {
        setMinimumHeight(heightFor(kStatusLines));
        updateGeometry();
        snapToLines();
    }

    void snapToLines() {
        // Measured with the current strip given back, so that a second pass
        // over the same height leaves it as it is.
        const int room = viewport()->height() + strip_;
        const int strip = room > 0 ? room % lineHeight() : 0;
        if (strip != strip_ || !inset_) {
            strip_ = strip;
            inset_ = true;
            setViewportMargins(kInset, kInset, kInset, kInset + strip_);
        }
    }

    // What QPlainTextEdit leaves between its frame and the text.
    static constexpr int kInset = 4;
    int strip_ = 0;
    bool inset_ = false;
};

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
    // The log opens at its own height; the room beyond goes to the lists.
    whole->setStretchFactor(0, 1);
    whole->setStretchFactor(1, 0);

    auto* central = new QWidget;
    auto* layout = new QVBoxLayout(central);
    layout->addWidget(whole);
    setCentralWidget(central);

    setTabOrder(lstServers_, cmdRemoveServer_);
    setTabOrder(cmdRemoveServer_, txtNewServer_);
    setTabOrder(txtNewServer_, cmdNewServer_);
    setTabOrder(cmdNewServer_, panel_->firstInTabOrder());
    setTabOrder(panel_->lastInTabOrder(), txtStatus_);

    bindings_.windowTitle(form_.Caption, this);
    bindings_.list(form_.lstServers, lstServers_, [this] {
        selectShownServer();
        refreshBadges();
    });
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
    panel_->statusOfShown = [this] { return form_.Status(form_.ShownIndex()); };
    panel_->onMoveInGrid = [this](int from, int to) {
        return form_.MoveInGrid(form_.ShownIndex(), from, to);
    };
    panel_->onRemoveFromGrid = [this](int place) { return form_.RemoveFromGrid(form_.ShownIndex(), place); };
    panel_->onAddToGrid = [this](const std::string& user) {
        return form_.AddToGrid(form_.ShownIndex(), user);
    };

    redraw_.setSingleShot(true);
    redraw_.setInterval(0);
    connect(&redraw_, &QTimer::timeout, this, [this] {
        const std::set<std::int16_t> changed = std::exchange(badgesChanged_, {});
        refreshBadges(&changed);
        panel_->refreshStatus(std::exchange(gridChanged_, false));
    });
    const auto statusId =
        form_.statusChanged.connect([this](std::int16_t index) { statusChangedFor(index); });
    unsubscribe_.push_back([this, statusId] { form_.statusChanged.disconnect(statusId); });
    tick_.setInterval(kStatusTick);
    connect(&tick_, &QTimer::timeout, this, [this] {
        refreshBadges();
        panel_->refreshStatus(false);
    });
    tick_.start();

    showServer(form_.ShownIndex());

    // Never below what the log's lines and the lists need.
    setMinimumSize(kMinimumSize.expandedTo(minimumSizeHint()));
    fitToScreen();
    txtNewServer_->setFocus();
}

MainWindow::~MainWindow() {
    redraw_.stop();
    tick_.stop();
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
    lstServers_->setItemDelegate(new BadgeDelegate(lstServers_));
    cmdRemoveServer_ = new QPushButton(QStringLiteral("R&emove"), frame);
    cmdRemoveServer_->setObjectName(QStringLiteral("cmdRemoveServer"));
    cmdRemoveServer_->setAutoDefault(false);
    cmdRemoveServer_->setToolTip(
        QStringLiteral("Remove the selected server (or double-click it, or press Delete)"));
    connect(cmdRemoveServer_, &QPushButton::clicked, this, [this] {
        if (const int row = selectedServerRow(); row >= 0) {
            form_.lstServers_DblClick(row);
        }
    });
    // Also after a change the list makes without signals (the shown server
    // selected on the model's behalf): see selectShownServer.
    connect(lstServers_, &QListWidget::itemSelectionChanged, this, [this] { updateRemoveButton(); });
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

    auto* remove = new QHBoxLayout;
    remove->addStretch(1);
    remove->addWidget(cmdRemoveServer_);

    auto* layout = new QVBoxLayout(frame);
    layout->addWidget(lstServers_, 1);
    layout->addLayout(remove);
    layout->addLayout(add);
    frame->setMinimumWidth(220);
    return frame;
}

QWidget* MainWindow::buildStatus() {
    auto* frame = new QGroupBox(QStringLiteral("S&tatus"));
    frame->setObjectName(QStringLiteral("fraStatus"));
    txtStatus_ = new StatusView(frame);
    txtStatus_->setObjectName(QStringLiteral("txtStatus"));
    txtStatus_->setReadOnly(true);
    // One line per entry, with a scroll bar for long ones: the reader keeps
    // their place by whole lines as new ones arrive above.
    txtStatus_->setLineWrapMode(QPlainTextEdit::NoWrap);
    // The log has no length limit; an undo history of it would double that.
    txtStatus_->document()->setUndoRedoEnabled(false);
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

void MainWindow::statusChangedFor(std::int16_t index) {
    if (index == form_.ShownIndex()) {
        gridChanged_ = true;
    }
    badgesChanged_.insert(index);
    if (!redraw_.isActive()) {
        redraw_.start();
    }
}

void MainWindow::refreshStatus() {
    redraw_.stop();
    gridChanged_ = false;
    badgesChanged_.clear();
    refreshBadges();
    panel_->refreshStatus(true);
}

void MainWindow::refreshBadges(const std::set<std::int16_t>* only) {
    for (int row = 0; row < lstServers_->count(); ++row) {
        QListWidgetItem* item = lstServers_->item(row);
        const auto index = static_cast<std::int16_t>(item->data(Qt::UserRole).toInt());
        if (only != nullptr && only->count(index) == 0) {
            continue;
        }
        const auto status = form_.Status(index);
        if (!status) {
            continue;
        }
        const app::LinkStatus& link = status->link;
        item->setData(kBadgeTextRole, toQString(link.badge()));
        item->setData(kBadgeColourRole, badgeColour(link.phase));
        QString tip = toQString(link.line());
        if (!status->lastError.empty() && link.line().find(status->lastError) == std::string::npos) {
            tip += QStringLiteral("\nLast error: ") + toQString(status->lastError);
        }
        item->setToolTip(tip);
        item->setData(Qt::AccessibleTextRole, item->text() + QStringLiteral(": ") + toQString(link.badge()));
    }
}

void MainWindow::selectShownServer() {
    {
        const QSignalBlocker block(lstServers_);
        const std::int16_t shown = form_.ShownIndex();
        int current = -1; // the template set or nothing: no server is on show
        for (int row = 0; row < lstServers_->count(); ++row) {
            if (lstServers_->item(row)->data(Qt::UserRole).toInt() == shown) {
                current = row;
                break;
            }
        }
        lstServers_->setCurrentRow(current);
    }
    updateRemoveButton();
}

int MainWindow::selectedServerRow() const {
    const QList<QListWidgetItem*> selected = lstServers_->selectedItems();
    return selected.isEmpty() ? -1 : lstServers_->row(selected.front());
}

void MainWindow::updateRemoveButton() {
    cmdRemoveServer_->setEnabled(selectedServerRow() >= 0);
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
