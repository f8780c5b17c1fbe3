#pragma once
// The right-hand side of the window: the shown server's InSim panel, its
// three lists and its start-order rules. One panel serves every server; it
// is re-tied to whichever set of views is on show.

#include <QWidget>
#include <functional>
#include <optional>
#include <string>

#include "app/ServerStatus.h"
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

class GridList;

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

    // The shown server's status as frmMain has it; nullopt (or unset) for
    // the template set, which has no link and no grid of its own.
    std::function<std::optional<app::ServerStatus>()> statusOfShown;
    // Arranging the shown server's grid: each hands the edit to frmMain and
    // returns its answer, an empty text or why nothing changed.
    std::function<std::string(int from, int to)> onMoveInGrid;
    std::function<std::string(int place)> onRemoveFromGrid;
    std::function<std::string(const std::string& user)> onAddToGrid;

    // Draws again what follows the status: the link line, and with grid
    // also the next grid and its header.
    void refreshStatus(bool grid);

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
    void showLinkState(const std::optional<app::ServerStatus>& status);
    void showNextGrid(const std::optional<app::ServerStatus>& status);
    void updateGridButtons();
    // Runs a grid edit and says why, when it changed nothing.
    void editGrid(const std::function<std::string()>& edit);
    void moveSelected(int by);
    void removeSelected();
    void addPickedConnection();
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
    // The in-game screen's list as it is stored, not shown: the grid shows
    // what a vote would make of it. Kept under its old name for whatever
    // looks the widgets up by it.
    QListWidget* lstOrder_ = nullptr;
    QLabel* gridRule_ = nullptr;
    GridList* lstGrid_ = nullptr;
    QPushButton* cmdGridUp_ = nullptr;
    QPushButton* cmdGridDown_ = nullptr;
    QPushButton* cmdGridRemove_ = nullptr;
    QPushButton* cmdGridAdd_ = nullptr;
    QLabel* gridError_ = nullptr;
    QLabel* gridHint_ = nullptr;
    QCheckBox* chkLastRace_ = nullptr;
    QCheckBox* chkCustom_ = nullptr;
    QCheckBox* chkReverse_ = nullptr;
    QLineEdit* txtReverse_ = nullptr;
};

} // namespace pm::ui
