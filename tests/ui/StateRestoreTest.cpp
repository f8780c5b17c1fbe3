// The window after a restart with --state: the restored lists and rules are
// on show, and an operator's change in the window is kept.

#include <QPlainTextEdit>
#include <filesystem>
#include <fstream>

#include "WindowFixture.h"
#include "app/StatePersistence.h"
#include "store/StateStore.h"

using namespace pm;
using namespace pm::test;

namespace fs = std::filesystem;

namespace {

class RestoredWindow : public ::testing::Test {
protected:
    RestoredWindow() : stack(std::make_unique<platform::ManualClock>()) {
        qtApp();
        dir = fs::temp_directory_path() / ("pm_ui_state_" + std::to_string(::getpid()));
        fs::create_directories(dir);
        std::ofstream(dir / "autostart.cfg", std::ios::binary)
            << "[NEW SERVER]\r\nName=Club Server\r\nHost=127.0.0.1\r\nInSim Port=29999\r\nListen Port=0\r\n"
               "Admin PW=\r\nConnect=0\r\nLast Race=1\r\nReverse Top=0\r\nReverse Count=10\r\n";
    }
    ~RestoredWindow() override {
        state.reset();
        window.reset();
        form.reset();
        fs::remove_all(dir);
    }

    // The program starting with the window, as paddock-marshal does.
    void open() {
        form = std::make_unique<app::frmMain>(stack.platform(), dir / "autostart.cfg");
        window = std::make_unique<ui::MainWindow>(*form);
        state = std::make_unique<app::StatePersistence>(*form, stack.platform(), dir / "state.db");
        ASSERT_FALSE(state->open());
        form->Form_Load();
        state->restore();
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }
    template <typename W> W* find(const char* name) { return window->findChild<W*>(QLatin1String(name)); }
    static V texts(const QListWidget* w) {
        V out;
        for (int i = 0; i < w->count(); ++i) {
            out.push_back(w->item(i)->text().toStdString());
        }
        return out;
    }

    platform::PlatformStack stack;
    fs::path dir;
    std::unique_ptr<app::frmMain> form;
    std::unique_ptr<ui::MainWindow> window;
    std::unique_ptr<app::StatePersistence> state;
};

} // namespace

TEST_F(RestoredWindow, shows_the_restored_lists_and_rules_and_keeps_an_operator_edit) {
    {
        // What an earlier run left.
        store::StateStore earlier(dir / "state.db");
        ASSERT_TRUE(earlier.open());
        store::ServerState s;
        s.key = {"Club Server", "127.0.0.1", "29999", 0};
        s.finish = {"01 nigel", "02 ayrton", "03 alain"};
        s.order = {"ayrton", "nigel", "alain"};
        s.rules = {1, 1, 0, "2"};
        s.file = {1, 0, "10"};
        s.changedAt = std::chrono::duration_cast<std::chrono::seconds>(
                          stack.clock().wallNow().time_since_epoch() - std::chrono::hours(3))
                          .count();
        ASSERT_TRUE(earlier.save(std::vector{s}));
    }
    open();

    EXPECT_EQ(texts(find<QListWidget>("lstFinish")), (V{"01 nigel", "02 ayrton", "03 alain"}));
    EXPECT_EQ(texts(find<QListWidget>("lstOrder")), (V{"ayrton", "nigel", "alain"}));
    EXPECT_EQ(find<QCheckBox>("chkLastRace")->checkState(), Qt::Checked);
    EXPECT_EQ(find<QCheckBox>("chkReverse")->checkState(), Qt::Checked);
    EXPECT_EQ(find<QCheckBox>("chkCustom")->checkState(), Qt::Unchecked);
    EXPECT_EQ(find<QLineEdit>("txtReverse")->text().toStdString(), "2");
    const std::string log = find<QPlainTextEdit>("txtStatus")->toPlainText().toStdString();
    EXPECT_NE(log.find("Club Server: restored 3 finishers, 3 in the start order, rules from " +
                       platform::formatLocalDateTime(stack.clock().wallNow() - std::chrono::hours(3))),
              std::string::npos)
        << log;

    QTest::mouseClick(find<QCheckBox>("chkCustom"), Qt::LeftButton);
    stack.loop().drain();
    state.reset();
    window.reset();
    form.reset();
    open();
    EXPECT_EQ(find<QCheckBox>("chkCustom")->checkState(), Qt::Checked);
    EXPECT_EQ(texts(find<QListWidget>("lstOrder")), (V{"ayrton", "nigel", "alain"}));
}
