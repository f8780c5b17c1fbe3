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
    setTabOrder(lstConnections_, lstFinish_);
    setTabOrder(lstFinish_, lstOrder_);
    setTabOrder(lstOrder_, chkLastRace_);
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
    cboInSimVer_->addItems({QStringLiteral("auto"), QStringLiteral("10"), QStringLiteral("9"), QStringLiteral("4")});
    cboInSimVer_->setToolTip(QStringLiteral("The InSim version to speak: 10 for LFS 0.8B and later, 9 for 0.7, "
                                            "4 for 0.5Z; auto asks the host. Used at the next Connect."));
    cboTransport_ = new QComboBox(fraInSim_);
    cboTransport_->setObjectName(QStringLiteral("cboTransport"));
    cboTransport_->addItems({QStringLiteral("tcp"), QStringLiteral("udp")});
    cboTransport_->setAccessibleName(QStringLiteral("Transport"));
    cboTransport_->setToolTip(QStringLiteral("How packets travel: tcp, one connection to the host's InSim port, "
                                             "which works through routers; udp, a datagram each. Used at the "
                                             "next Connect."));
    gridCheck_ = new QLabel(fraInSim_);
    gridCheck_->setObjectName(QStringLiteral("gridCheck"));
    gridCheck_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    gridCheck_->setMinimumWidth(gridCheck_->fontMetrics().horizontalAdvance(QStringLiteral("Last grid: grid confirmed, ")));
    cmdConnect_ = new QPushButton(QStringLiteral("&Connect"), fraInSim_);
    cmdConnect_->setObjectName(QStringLiteral("cmdConnect"));
    cmdConnect_->setAutoDefault(false);
    linkState_ = new QLabel(fraInSim_);
    linkState_->setObjectName(QStringLiteral("linkState"));
    // A long reason is cut, not allowed to widen the window; the tool tip
    // holds it whole. The short states always fit.
    linkState_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    linkState_->setMinimumWidth(linkState_->fontMetrics().horizontalAdvance(QStringLiteral("Not connected: the ")));

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
    grid->addLayout(connect, 1, 4);
    grid->addWidget(makeBuddyLabel("&InSim", cboInSimVer_, fraInSim_), 2, 0);
    auto* generation = new QHBoxLayout;
    generation->addWidget(cboInSimVer_);
    generation->addWidget(makeBuddyLabel("o&ver", cboTransport_, fraInSim_));
    generation->addWidget(cboTransport_);
    generation->addStretch(1);
    grid->addLayout(generation, 2, 1);
    grid->addWidget(gridCheck_, 2, 4);
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
    grid->addWidget(makeBuddyLabel("Start &Order", lstOrder_, box), 0, 2);
    grid->addWidget(lstConnections_, 1, 0);
    grid->addWidget(lstFinish_, 1, 1);
    grid->addWidget(lstOrder_, 1, 2);
    grid->addWidget(playerNum_, 2, 0);
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
    bindings_.button(
        client.cmdConnect, cmdConnect_, [&client] { client.cmdConnect_Click(); },
        [this] { showLinkState(); });
    bindings_.watch(client.txtLinkError, [this] { showLinkState(); });
    bindings_.list(views->lstConnections, lstConnections_);
    bindings_.watch(views->txtPlayerNum, [this] { showPlayerNum(); });
    showPlayerNum();
    bindings_.list(views->lstFinish, lstFinish_);
    bindings_.list(views->lstOrder, lstOrder_);
    bindings_.check(views->chkLastRace, chkLastRace_);
    bindings_.check(views->chkCustom, chkCustom_);
    bindings_.check(views->chkReverse, chkReverse_);
    bindings_.text(views->txtReverse, txtReverse_);
}

void ServerPanel::showNothing() {
    for (QLineEdit* edit : {txtHost_, txtPort_, txtPortListen_, txtPass_, txtReverse_}) {
        edit->clear();
    }
    for (QListWidget* list : {lstConnections_, lstFinish_, lstOrder_}) {
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
    cmdShowPass_->setChecked(false);
    setEnabled(false);
}

void ServerPanel::showLinkState() {
    // Read off the button, which the client keeps in step with its link: the
    // button is disabled exactly while the handshake runs.
    if (views_ == nullptr) {
        linkState_->clear();
        return;
    }
    const auto& button = views_->ucInSim.cmdConnect;
    if (!views_->ucInSim.connectable()) {
        linkState_->setText(QStringLiteral("Add a server to connect"));
    } else if (!button.enabled()) {
        linkState_->setText(QStringLiteral("Connecting…"));
    } else if (button.caption() == "Disconnect") {
        linkState_->setText(QStringLiteral("Connected"));
    } else if (const std::string& why = views_->ucInSim.txtLinkError.text(); !why.empty()) {
        // Why it is not connected, where the operator looks after pressing
        // Connect: a refused port or an unknown host, and what comes next.
        linkState_->setText(toQString("Not connected: " + why));
    } else {
        linkState_->setText(QStringLiteral("Not connected"));
    }
    linkState_->setToolTip(linkState_->text());
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
