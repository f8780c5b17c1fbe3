#include "ui/ServerPanel.h"

#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

#include "ui/GridView.h"

namespace pm::ui {

namespace {

// Room for "65535" and a little air; ports never need more.
constexpr int kPortChars = 7;
// Room for a dotted IPv4 address or a short host name.
constexpr int kHostChars = 18;
// The reverse-top count is a small number.
constexpr int kCountChars = 4;

int widthForChars(const QWidget* w, int chars) {
    // Frame and margins of a line edit, beyond its text.
    constexpr int kEditChrome = 16;
    return w->fontMetrics().horizontalAdvance(QLatin1Char('0')) * chars + kEditChrome;
}

QLineEdit* makeEdit(const char* name, QWidget* parent) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QLatin1String(name));
    return edit;
}

QListWidget* makeList(const char* name, QWidget* parent) {
    auto* list = new QListWidget(parent);
    list->setObjectName(QLatin1String(name));
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->setUniformItemSizes(true);
    // Rows of names and positions are easier to follow across a wide list.
    list->setAlternatingRowColors(true);
    list->setMinimumWidth(120);
    return list;
}

QCheckBox* makeCheck(const char* name, const char* text, QWidget* parent) {
    auto* box = new QCheckBox(QString::fromUtf8(text), parent);
    box->setObjectName(QLatin1String(name));
    return box;
}

QLabel* makeBuddyLabel(const char* text, QWidget* buddy, QWidget* parent) {
    auto* label = new QLabel(QString::fromUtf8(text), parent);
    label->setBuddy(buddy);
    return label;
}

} // namespace

ServerPanel::ServerPanel(QWidget* parent) : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(buildInSimPanel());
    layout->addWidget(buildLists(), 1);
    layout->addWidget(buildRules());

    setTabOrder(txtHost_, txtPort_);
    setTabOrder(txtPort_, txtPortListen_);
    setTabOrder(txtPortListen_, txtPass_);
    setTabOrder(txtPass_, cmdShowPass_);
    setTabOrder(cmdShowPass_, cmdConnect_);
    setTabOrder(cmdConnect_, lstConnections_);
    setTabOrder(lstConnections_, cmdGridAdd_);
    setTabOrder(cmdGridAdd_, lstFinish_);
    setTabOrder(lstFinish_, lstGrid_);
    setTabOrder(lstGrid_, cmdGridUp_);
    setTabOrder(cmdGridUp_, cmdGridDown_);
    setTabOrder(cmdGridDown_, cmdGridRemove_);
    setTabOrder(cmdGridRemove_, chkLastRace_);
    setTabOrder(chkLastRace_, chkCustom_);
    setTabOrder(chkCustom_, chkReverse_);
    setTabOrder(chkReverse_, txtReverse_);

    showNothing();
}

ServerPanel::~ServerPanel() {
    // The bindings point at child widgets, which QWidget deletes after this
    // body has run: untie first.
    bindings_.clear();
}

QWidget* ServerPanel::buildInSimPanel() {
    fraInSim_ = new QGroupBox(QStringLiteral("InSim Server"), this);
    fraInSim_->setObjectName(QStringLiteral("fraInSim"));

    txtHost_ = makeEdit("txtHost", fraInSim_);
    txtHost_->setMinimumWidth(widthForChars(txtHost_, kHostChars));
    txtPort_ = makeEdit("txtPort", fraInSim_);
    txtPort_->setToolTip(QStringLiteral("The Server's InSim Port"));
    txtPort_->setFixedWidth(widthForChars(txtPort_, kPortChars));
    txtPortListen_ = makeEdit("txtPortListen", fraInSim_);
    txtPortListen_->setToolTip(QStringLiteral("The Post to which the server replies (Listen Port)"));
    txtPortListen_->setFixedWidth(widthForChars(txtPortListen_, kPortChars));
    txtPortListen_->setAccessibleName(QStringLiteral("Listen Port"));
    txtPass_ = makeEdit("txtPass", fraInSim_);
    txtPass_->setMinimumWidth(widthForChars(txtPass_, kHostChars / 2));
    // Hidden from whoever looks at the screen (or a screenshot of it); the
    // operator who types it from a server's configuration can still check
    // it on purpose.
    cmdShowPass_ = new QToolButton(fraInSim_);
    cmdShowPass_->setObjectName(QStringLiteral("cmdShowPass"));
    cmdShowPass_->setText(QStringLiteral("Sho&w"));
    cmdShowPass_->setCheckable(true);
    cmdShowPass_->setAccessibleName(QStringLiteral("Show the admin password"));
    connect(cmdShowPass_, &QToolButton::toggled, this, [this](bool shown) { revealPass(shown); });
    revealPass(false);
    cboInSimVer_ = new QComboBox(fraInSim_);
    cboInSimVer_->setObjectName(QStringLiteral("cboInSimVer"));
    cboInSimVer_->addItems(
        {QStringLiteral("auto"), QStringLiteral("10"), QStringLiteral("9"), QStringLiteral("4")});
    cboInSimVer_->setToolTip(
        QStringLiteral("The InSim version to speak: 10 for LFS 0.8B and later, 9 for 0.7, "
                       "4 for 0.5Z; auto asks the host. Used at the next Connect."));
    cboTransport_ = new QComboBox(fraInSim_);
    cboTransport_->setObjectName(QStringLiteral("cboTransport"));
    cboTransport_->addItems({QStringLiteral("tcp"), QStringLiteral("udp")});
    cboTransport_->setAccessibleName(QStringLiteral("Transport"));
    cboTransport_->setToolTip(
        QStringLiteral("How packets travel: tcp, one connection to the host's InSim port, "
                       "which works through routers; udp, a datagram each. Used at the "
                       "next Connect."));
    gridCheck_ = new QLabel(fraInSim_);
    gridCheck_->setObjectName(QStringLiteral("gridCheck"));
    gridCheck_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    gridCheck_->setMinimumWidth(
        gridCheck_->fontMetrics().horizontalAdvance(QStringLiteral("Last grid: grid confirmed, ")));
    cmdConnect_ = new QPushButton(QStringLiteral("&Connect"), fraInSim_);
    cmdConnect_->setObjectName(QStringLiteral("cmdConnect"));
    cmdConnect_->setAutoDefault(false);
    linkState_ = new QLabel(fraInSim_);
    linkState_->setObjectName(QStringLiteral("linkState"));
    // A long reason is cut, not allowed to widen the window; the tool tip
    // holds it whole. The short states always fit.
    linkState_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    linkState_->setMinimumWidth(
        linkState_->fontMetrics().horizontalAdvance(QStringLiteral("Not connected: the ")));

    auto* ports = new QHBoxLayout;
    ports->addWidget(txtPort_);
    ports->addWidget(txtPortListen_);
    ports->addStretch(1);

    auto* connect = new QHBoxLayout;
    connect->addWidget(cmdConnect_);
    connect->addWidget(linkState_, 1);

    auto* grid = new QGridLayout(fraInSim_);
    grid->addWidget(makeBuddyLabel("&Host IP", txtHost_, fraInSim_), 0, 0);
    grid->addWidget(txtHost_, 0, 1);
    grid->addWidget(makeBuddyLabel("Host &Port", txtPort_, fraInSim_), 1, 0);
    grid->addLayout(ports, 1, 1);
    grid->addWidget(makeBuddyLabel("Ad&min PW", txtPass_, fraInSim_), 0, 3);
    auto* pass = new QHBoxLayout;
    pass->addWidget(txtPass_, 1);
    pass->addWidget(cmdShowPass_);
    grid->addLayout(pass, 0, 4);
    // The link line takes the empty column beside it too: "connected,
    // InSim 10 over TCP, LFS 0.8C" should read whole.
    grid->addLayout(connect, 1, 4, 1, 2);
    grid->addWidget(makeBuddyLabel("&InSim", cboInSimVer_, fraInSim_), 2, 0);
    auto* generation = new QHBoxLayout;
    generation->addWidget(cboInSimVer_);
    generation->addWidget(makeBuddyLabel("o&ver", cboTransport_, fraInSim_));
    generation->addWidget(cboTransport_);
    generation->addStretch(1);
    grid->addLayout(generation, 2, 1);
    grid->addWidget(gridCheck_, 2, 4, 1, 2);
    grid->setColumnMinimumWidth(2, 24);
    grid->setColumnStretch(1, 2);
    grid->setColumnStretch(4, 1);
    grid->setColumnStretch(5, 3);
    return fraInSim_;
}

QWidget* ServerPanel::buildLists() {
    auto* box = new QWidget(this);
    lstConnections_ = makeList("lstConnections", box);
    lstFinish_ = makeList("lstFinish", box);
    lstOrder_ = makeList("lstOrder", box);
    lstOrder_->hide();
    lstGrid_ = new GridList(box);
    lstGrid_->setObjectName(QStringLiteral("lstGrid"));
    lstGrid_->setMinimumWidth(160);
    lstGrid_->setAccessibleName(QStringLiteral("Next grid"));
    lstGrid_->setToolTip(QStringLiteral("The grid the next restart vote sends. Drag a driver, or use "
                                        "Ctrl+Up, Ctrl+Down and Delete, to arrange it"));
    lstGrid_->installEventFilter(this);
    lstGrid_->onMoved = [this](int from, int to) {
        editGrid([this, from, to] { return onMoveInGrid ? onMoveInGrid(from, to) : std::string(); });
    };
    connect(lstGrid_, &QListWidget::itemSelectionChanged, this, [this] { updateGridButtons(); });
    gridRule_ = new QLabel(box);
    gridRule_->setObjectName(QStringLiteral("gridRule"));
    gridRule_->setWordWrap(true);
    gridRule_->setTextFormat(Qt::PlainText);

    const auto gridButton = [box](const char* name, const char* text, const char* tip) {
        auto* b = new QPushButton(QString::fromUtf8(text), box);
        b->setObjectName(QLatin1String(name));
        b->setAutoDefault(false);
        b->setToolTip(QString::fromUtf8(tip));
        return b;
    };
    cmdGridUp_ = gridButton("cmdGridUp", "Up", "Move the selected driver one place up (Ctrl+Up)");
    cmdGridDown_ = gridButton("cmdGridDown", "Down", "Move the selected driver one place down (Ctrl+Down)");
    cmdGridRemove_ = gridButton("cmdGridRemove", "Remove", "Take the selected driver off the grid (Delete)");
    cmdGridAdd_ =
        gridButton("cmdGridAdd", "Add to &grid", "Put the selected connection at the end of the grid");
    connect(cmdGridUp_, &QPushButton::clicked, this, [this] { moveSelected(-1); });
    connect(cmdGridDown_, &QPushButton::clicked, this, [this] { moveSelected(+1); });
    connect(cmdGridRemove_, &QPushButton::clicked, this, [this] { removeSelected(); });
    connect(cmdGridAdd_, &QPushButton::clicked, this, [this] { addPickedConnection(); });
    connect(lstConnections_, &QListWidget::itemSelectionChanged, this, [this] { updateGridButtons(); });
    gridError_ = new QLabel(box);
    gridError_->setObjectName(QStringLiteral("gridError"));
    gridError_->setWordWrap(true);
    gridError_->setTextFormat(Qt::PlainText);
    gridError_->setTextInteractionFlags(Qt::TextSelectableByMouse);

    lstConnections_->installEventFilter(this);
    lstConnections_->setToolTip(QStringLiteral("Click a connection to see its player number"));
    playerNum_ = new QLabel(box);
    playerNum_->setObjectName(QStringLiteral("playerNum"));
    // A long user name is cut rather than allowed to widen the column.
    playerNum_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    playerNum_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    connect(lstConnections_, &QListWidget::itemClicked, this, [this](QListWidgetItem* item) {
        if (onConnectionPicked && item != nullptr) {
            onConnectionPicked(lstConnections_->row(item));
        }
    });

    auto* grid = new QGridLayout(box);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->addWidget(makeBuddyLabel("Co&nnections", lstConnections_, box), 0, 0);
    grid->addWidget(makeBuddyLabel("&Finishing Order", lstFinish_, box), 0, 1);
    grid->addWidget(makeBuddyLabel("Start &Order", lstGrid_, box), 0, 2);
    grid->addWidget(lstConnections_, 1, 0);
    grid->addWidget(lstFinish_, 1, 1);
    auto* next = new QVBoxLayout;
    next->addWidget(gridRule_);
    next->addWidget(lstGrid_, 1);
    grid->addLayout(next, 1, 2);
    auto* picked = new QHBoxLayout;
    picked->addWidget(playerNum_, 1);
    picked->addWidget(cmdGridAdd_);
    grid->addLayout(picked, 2, 0);
    auto* arrange = new QHBoxLayout;
    arrange->addWidget(cmdGridUp_);
    arrange->addWidget(cmdGridDown_);
    arrange->addWidget(cmdGridRemove_);
    arrange->addStretch(1);
    grid->addLayout(arrange, 2, 2);
    grid->addWidget(gridError_, 3, 2);
    for (int column = 0; column < 3; ++column) {
        grid->setColumnStretch(column, 1);
    }
    grid->setRowStretch(1, 1);
    return box;
}

QWidget* ServerPanel::buildRules() {
    auto* box = new QWidget(this);
    chkLastRace_ = makeCheck("chkLastRace", "&Last Race", box);
    chkCustom_ = makeCheck("chkCustom", "C&ustom", box);
    chkReverse_ = makeCheck("chkReverse", "&Reverse Top", box);
    txtReverse_ = makeEdit("txtReverse", box);
    txtReverse_->setFixedWidth(widthForChars(txtReverse_, kCountChars));
    txtReverse_->setAccessibleName(QStringLiteral("Reverse Top count"));
    txtReverse_->setToolTip(QStringLiteral("How many of the first finishers are reversed"));

    auto* row = new QHBoxLayout(box);
    row->setContentsMargins(0, 0, 0, 0);
    row->addWidget(chkLastRace_);
    row->addSpacing(16);
    row->addWidget(chkCustom_);
    row->addSpacing(16);
    row->addWidget(chkReverse_);
    row->addWidget(txtReverse_);
    row->addStretch(1);
    // Arranging the grid, here or in the game, changes nothing on the host
    // until a vote passes.
    gridHint_ = new QLabel(QStringLiteral("A start order goes to the host at the next restart vote."), box);
    gridHint_->setObjectName(QStringLiteral("gridHint"));
    row->addWidget(gridHint_);
    return box;
}

QWidget* ServerPanel::firstInTabOrder() const {
    return txtHost_;
}
QWidget* ServerPanel::lastInTabOrder() const {
    return txtReverse_;
}

void ServerPanel::showViews(app::ServerViews* views) {
    bindings_.clear();
    views_ = views;
    if (views == nullptr) {
        showNothing();
        return;
    }
    setEnabled(true);
    auto& client = views->ucInSim;
    bindings_.text(client.txtHost, txtHost_);
    bindings_.text(client.txtPort, txtPort_);
    bindings_.text(client.txtPortListen, txtPortListen_);
    bindings_.text(client.txtPass, txtPass_);
    // Another server's password is not shown just because the last one was.
    cmdShowPass_->setChecked(false);
    bindings_.choice(client.txtInSimVer, cboInSimVer_);
    bindings_.choice(client.txtTransport, cboTransport_);
    bindings_.watch(views->txtGridCheck, [this] { showGridCheck(); });
    showGridCheck();
    // The link line follows the status model, which the window redraws
    // once the change at hand is whole: the button alone changes halfway
    // through a connect.
    bindings_.button(client.cmdConnect, cmdConnect_, [&client] { client.cmdConnect_Click(); });
    bindings_.list(views->lstConnections, lstConnections_);
    bindings_.watch(views->txtPlayerNum, [this] { showPlayerNum(); });
    showPlayerNum();
    bindings_.list(views->lstFinish, lstFinish_);
    bindings_.list(views->lstOrder, lstOrder_);
    bindings_.check(views->chkLastRace, chkLastRace_);
    bindings_.check(views->chkCustom, chkCustom_);
    bindings_.check(views->chkReverse, chkReverse_);
    bindings_.text(views->txtReverse, txtReverse_);
    gridError_->clear();
    refreshStatus(true);
}

void ServerPanel::showNothing() {
    for (QLineEdit* edit : {txtHost_, txtPort_, txtPortListen_, txtPass_, txtReverse_}) {
        edit->clear();
    }
    for (QListWidget* list : {lstConnections_, lstFinish_, lstOrder_, static_cast<QListWidget*>(lstGrid_)}) {
        list->clear();
    }
    for (QCheckBox* box : {chkLastRace_, chkCustom_, chkReverse_}) {
        box->setCheckState(Qt::Unchecked);
        box->setTristate(false);
    }
    cmdConnect_->setText(QStringLiteral("&Connect"));
    linkState_->clear();
    gridCheck_->clear();
    playerNum_->clear();
    gridRule_->clear();
    gridError_->clear();
    cmdShowPass_->setChecked(false);
    updateGridButtons();
    setEnabled(false);
}

void ServerPanel::refreshStatus(bool grid) {
    std::optional<app::ServerStatus> status;
    if (views_ != nullptr && statusOfShown) {
        status = statusOfShown();
    }
    showLinkState(status);
    if (grid) {
        showNextGrid(status);
    }
}

namespace {

QString sentence(const std::string& text) {
    QString out = toQString(text);
    if (!out.isEmpty()) {
        out[0] = out[0].toUpper();
    }
    return out;
}

} // namespace

void ServerPanel::showLinkState(const std::optional<app::ServerStatus>& status) {
    if (views_ == nullptr) {
        linkState_->clear();
        linkState_->setToolTip(QString());
        return;
    }
    if (!views_->ucInSim.connectable() || !status) {
        linkState_->setText(QStringLiteral("Add a server to connect"));
        linkState_->setToolTip(linkState_->text());
        return;
    }
    const app::LinkStatus& link = status->link;
    switch (link.phase) {
    case app::LinkPhase::Idle: linkState_->setText(QStringLiteral("Not connected")); break;
    case app::LinkPhase::Stopped:
        // Why it is not connected, where the operator looks after pressing
        // Connect: a refused port or an unknown host.
        linkState_->setText(link.reason.empty() ? QStringLiteral("Not connected")
                                                : toQString("Not connected: " + link.reason));
        break;
    default: linkState_->setText(sentence(link.line())); break;
    }
    QString tip = linkState_->text();
    if (!status->lastError.empty() && !tip.contains(toQString(status->lastError))) {
        tip += QStringLiteral("\nLast error: ") + toQString(status->lastError);
    }
    linkState_->setToolTip(tip);
}

void ServerPanel::showNextGrid(const std::optional<app::ServerStatus>& status) {
    if (!status) {
        gridRule_->clear();
        lstGrid_->showGrid({});
        updateGridButtons();
        return;
    }
    const app::NextGrid& next = status->nextGrid;
    QString header = next.rule == app::GridRule::None
                         ? QStringLiteral("Next grid: none: a vote sends no grid")
                         : toQString("Next grid: " + next.ruleName);
    if (!next.ruleNote.empty()) {
        header += QStringLiteral(" (") + toQString(next.ruleNote) + QLatin1Char(')');
    }
    gridRule_->setText(header);
    lstGrid_->showGrid(next);
    updateGridButtons();
}

void ServerPanel::updateGridButtons() {
    const bool server = views_ != nullptr && views_->ucInSim.connectable();
    const int row = lstGrid_->currentRow();
    const bool selected = server && row >= 0 && !lstGrid_->selectedItems().isEmpty();
    cmdGridUp_->setEnabled(selected && row > 0);
    cmdGridDown_->setEnabled(selected && row + 1 < lstGrid_->count());
    cmdGridRemove_->setEnabled(selected);
    cmdGridAdd_->setEnabled(server && !lstConnections_->selectedItems().isEmpty());
}

void ServerPanel::editGrid(const std::function<std::string()>& edit) {
    const std::string why = edit();
    gridError_->setText(why.empty() ? QString() : toQString("Not changed: " + why));
    // At once, not at the window's gathered redraw: the operator's next
    // click acts on the list as it now stands.
    refreshStatus(true);
}

void ServerPanel::moveSelected(int by) {
    const int row = lstGrid_->currentRow();
    if (row < 0) {
        return;
    }
    editGrid([this, row, by] { return onMoveInGrid ? onMoveInGrid(row, row + by) : std::string(); });
}

void ServerPanel::removeSelected() {
    const int row = lstGrid_->currentRow();
    if (row < 0) {
        return;
    }
    editGrid([this, row] { return onRemoveFromGrid ? onRemoveFromGrid(row) : std::string(); });
}

void ServerPanel::addPickedConnection() {
    const QList<QListWidgetItem*> picked = lstConnections_->selectedItems();
    if (picked.isEmpty()) {
        return;
    }
    const std::string user = picked.front()->text().toStdString();
    editGrid([this, &user] { return onAddToGrid ? onAddToGrid(user) : std::string(); });
}

void ServerPanel::showGridCheck() {
    const std::string& outcome = views_ == nullptr ? std::string() : views_->txtGridCheck.text();
    gridCheck_->setText(outcome.empty() ? QString() : toQString("Last grid: " + outcome));
    gridCheck_->setToolTip(gridCheck_->text());
}

void ServerPanel::showPlayerNum() {
    playerNum_->setText(views_ == nullptr ? QString() : toQString(views_->txtPlayerNum.text()));
    playerNum_->setToolTip(playerNum_->text());
}

void ServerPanel::revealPass(bool shown) {
    txtPass_->setEchoMode(shown ? QLineEdit::Normal : QLineEdit::Password);
    cmdShowPass_->setToolTip(shown ? QStringLiteral("Hide the admin password")
                                   : QStringLiteral("Show the admin password"));
}

bool ServerPanel::eventFilter(QObject* watched, QEvent* event) {
    if (watched == lstGrid_ && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        const bool ctrl = (key->modifiers() & Qt::ControlModifier) != 0;
        if (ctrl && (key->key() == Qt::Key_Up || key->key() == Qt::Key_Down)) {
            moveSelected(key->key() == Qt::Key_Up ? -1 : +1);
            return true;
        }
        if (key->key() == Qt::Key_Delete) {
            removeSelected();
            return true;
        }
    }
    if (watched == lstConnections_ && event->type() == QEvent::KeyPress) {
        const auto key = static_cast<QKeyEvent*>(event)->key();
        if ((key == Qt::Key_Return || key == Qt::Key_Enter) && lstConnections_->currentRow() >= 0) {
            if (onConnectionPicked) {
                onConnectionPicked(lstConnections_->currentRow());
            }
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace pm::ui
