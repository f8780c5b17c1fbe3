#pragma once
// The desktop window. It holds no state of its own: it mirrors frmMain's
// models, follows the server on show, and hands every operator action to
// frmMain. It must be destroyed before the frmMain it shows.

#include <QMainWindow>
#include <QTimer>
#include <cstdint>
#include <set>
#include <vector>

#include "app/frmMain.h"
#include "ui/ModelBindings.h"

class QGroupBox;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;

namespace pm::ui {

class ServerPanel;

class MainWindow final : public QMainWindow {
public:
    explicit MainWindow(app::frmMain& form, QWidget* parent = nullptr);
    ~MainWindow() override;

    ServerPanel& panel() const { return *panel_; }
    // The size the window opens at when the screen has room for it.
    static QSize preferredSize();

    // Draws the status again now rather than at the next gathered redraw or
    // second's tick: every server's badge, and the shown server's link line
    // and next grid.
    void refreshStatus();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget* buildServers();
    QWidget* buildStatus();
    void fitToScreen();
    void showServer(std::int16_t index);
    void selectShownServer();
    void prependStatus(const std::string& line);
    // The row the Remove button acts on; -1 for none.
    int selectedServerRow() const;
    void updateRemoveButton();
    // Every server's badge, or only those of the servers named.
    void refreshBadges(const std::set<std::int16_t>* only = nullptr);
    void statusChangedFor(std::int16_t index);

    app::frmMain& form_;
    ModelBindings bindings_;
    std::vector<std::function<void()>> unsubscribe_;

    QListWidget* lstServers_ = nullptr;
    QLineEdit* txtNewServer_ = nullptr;
    QPushButton* cmdNewServer_ = nullptr;
    QPushButton* cmdRemoveServer_ = nullptr;
    ServerPanel* panel_ = nullptr;
    QPlainTextEdit* txtStatus_ = nullptr;
    // statusChanged comes once per list change, forty times in a vote: the
    // changes of one turn of the loop are drawn once, after it.
    QTimer redraw_;
    bool gridChanged_ = false;
    std::set<std::int16_t> badgesChanged_;
    // Silent for N s and retrying in N s move on with no change to report.
    QTimer tick_;
};

} // namespace pm::ui
