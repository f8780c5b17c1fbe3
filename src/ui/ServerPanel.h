#pragma once
// The right-hand side of the window: the shown server's InSim panel, its
// three lists and its start-order rules. One panel serves every server; it
// is re-tied to whichever set of views is on show.

#include <QWidget>
#include <functional>

#include "app/ServerViews.h"
#include "ui/ModelBindings.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QToolButton;

namespace pm::ui {

class ServerPanel final : public QWidget {
public:
    explicit ServerPanel(QWidget* parent = nullptr);
    ~ServerPanel() override;

    // Shows a set of views (a server's or the template set's). nullptr
    // shows nothing: the panel is emptied and disabled.
    void showViews(app::ServerViews* views);
    app::ServerViews* views() const { return views_; }

    // The operator picked an entry of the connections list (click or Enter).
    std::function<void(int item)> onConnectionPicked;

    // For the window's tab order: first and last widget of the panel.
    QWidget* firstInTabOrder() const;
    QWidget* lastInTabOrder() const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget* buildInSimPanel();
    QWidget* buildLists();
    QWidget* buildRules();
    void showNothing();
    void showLinkState();
    void showGridCheck();
    void showPlayerNum();
    void revealPass(bool shown);

    app::ServerViews* views_ = nullptr;
    ModelBindings bindings_;

    QGroupBox* fraInSim_ = nullptr;
    QLineEdit* txtHost_ = nullptr;
    QLineEdit* txtPort_ = nullptr;
    QLineEdit* txtPortListen_ = nullptr;
    QLineEdit* txtPass_ = nullptr;
    QToolButton* cmdShowPass_ = nullptr;
    QComboBox* cboInSimVer_ = nullptr;
    QComboBox* cboTransport_ = nullptr;
    QLabel* gridCheck_ = nullptr;
    QPushButton* cmdConnect_ = nullptr;
    QLabel* linkState_ = nullptr;
    QListWidget* lstConnections_ = nullptr;
    QLabel* playerNum_ = nullptr;
    QListWidget* lstFinish_ = nullptr;
    QListWidget* lstOrder_ = nullptr;
    QCheckBox* chkLastRace_ = nullptr;
    QCheckBox* chkCustom_ = nullptr;
    QCheckBox* chkReverse_ = nullptr;
    QLineEdit* txtReverse_ = nullptr;
};

} // namespace pm::ui
