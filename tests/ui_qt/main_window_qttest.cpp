// The main window on the emulated board (the libraries in <build>/lib) and
// the real pty port-pair library in a private port directory: menu commands
// reach connection control, Echo keeps both menus and the status bar in step,
// Enter and Escape do nothing, closing hides, Exit asks; and a connection
// made from the command line starts in the tray and relays a camera tool's
// command.
#include <QAction>
#include <QDir>
#include <QKeyEvent>
#include <QLabel>
#include <QListView>
#include <QMenu>
#include <QSignalSpy>
#include <QStatusBar>
#include <QtTest>

#include <cstdlib>
#include <string>

#include "portpairs/port_pair_library.h"
#include "tests/support/message_recorder.h"
#include "tests/support/private_port_directory.h"
#include "tests/support/test_io.h"
#include "ui/qt/echo_list_model.h"
#include "ui/qt/tolvane_main_dlg.h"
#include "ui/tray_logic.h"

using namespace clst;
using clst::testing::RecordingSink;

namespace {

// Opens a pair's COM end as a camera tool would, sends `command` and reads
// one reply line.
std::string Talk(const std::string& path, const std::string& command) {
    const int fd = clst::testing::OpenRawPort(path);
    if (fd < 0)
        return "open failed";
    std::string reply;
    if (clst::testing::WriteAll(fd, command))
        clst::testing::WaitFor(
            [&] {
                reply += clst::testing::ReadFor(fd, 256, std::chrono::milliseconds(20));
                return reply.find('\n') != std::string::npos;
            },
            std::chrono::seconds(3));
    close(fd);
    return reply;
}

QString PaneText(const CTolvaneMainDlg& window, int index) {
    return window.pane(index)->text();
}

}  // namespace

class MainWindowTest : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase() {
        dir_ = testing::MakePrivatePortDirectory("/tmp/clst-mainwin-XXXXXX");
        QVERIFY(!dir_.empty());
        unsetenv("MARO_EMULATION");
        // This program sits in <build>/tests, beside no bin or lib folder:
        // the runtime is found through the environment instead.
        const QByteArray build =
            QDir(QCoreApplication::applicationDirPath() + "/..").absolutePath().toLocal8Bit();
        setenv("MARODIR5_64", build.constData(), 1);
        QVERIFY2(pairs_.VcpInitialize() != 0, pairs_.LastErrorText().c_str());
    }

    void cleanupTestCase() {
        pairs_.VcpRemovePair("CNC7");
        pairs_.VcpRelease();
        testing::RemovePrivatePortDirectory(dir_);
    }

    void windowLayoutAndMenuCommands() {
        RecordingSink sink;
        CTolvaneMainDlg window({}, false, Services(sink, true));
        QVERIFY(window.OnInitDialog());  // the emulated board has ports
        window.show();
        QCOMPARE(window.windowTitle(), QString("ClSerTolvane"));
        QVERIFY(!window.windowIcon().pixmap(32).isNull());
        // The longest texts of the fixed panes fit in the font in use.
        for (const auto& [index, text] : {std::pair{0, "Not connected"}, {2, "921600 e 8 1.5"}}) {
            QLabel* pane = window.pane(index);
            QVERIFY2(pane->fontMetrics().horizontalAdvance(text) <= pane->contentsRect().width(),
                     text);
        }
        QVERIFY(window.pane(1)->width() >= CTolvaneMainDlg::kLinkPaneMinWidth);
        QCOMPARE(PaneText(window, 0), QString("Not connected"));
        QVERIFY(window.action(kCmdConnect)->isEnabled());
        QVERIFY(!window.action(kCmdDisconnect)->isEnabled());
        QVERIFY(window.tray().tip().startsWith("Not connected"));
        QCOMPARE(window.tray().iconId(), 147);

        // Connect from the menu without a configured port.
        window.action(kCmdConnect)->trigger();
        QCOMPARE(sink.messages.size(), size_t(1));
        QCOMPARE(PaneText(window, 0), QString("Not connected"));

        // Echo, once from the main menu and once from the tray menu: both
        // menus and pane 3 follow each toggle.
        const auto trayEcho = [&]() -> QAction* {
            for (QAction* entry : window.tray().menu()->actions()) {
                if (entry->data().toUInt() == kCmdTrayEcho)
                    return entry;
            }
            return nullptr;
        };
        QVERIFY(trayEcho() != nullptr);
        const bool before = window.action(kCmdEcho)->isChecked();
        QCOMPARE(PaneText(window, 3), QString(before ? "Echo on" : "Echo off"));
        for (bool expected : {!before, before}) {
            (expected != before ? window.action(kCmdEcho) : trayEcho())->trigger();
            QCOMPARE(window.action(kCmdEcho)->isChecked(), expected);
            QCOMPARE(window.tray().logic().echo(), expected);
            QCOMPARE(PaneText(window, 3), QString(expected ? "Echo on" : "Echo off"));
            window.tray().UpdateMenu();
            QCOMPARE(trayEcho()->isChecked(), expected);
        }
        QCOMPARE(sink.messages.size(), size_t(1));
    }

    void enterEscapeAndCloseKeepTheWindow() {
        RecordingSink sink;
        CTolvaneMainDlg window({}, false, Services(sink, true));
        QVERIFY(ShowInitialised(window));
        QSignalSpy exits(&window, &CTolvaneMainDlg::exitRequested);
        for (int key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape}) {
            QTest::keyClick(window.echoView(), static_cast<Qt::Key>(key));
            QTest::keyClick(&window, static_cast<Qt::Key>(key));
        }
        QVERIFY(window.isVisible());
        QVERIFY(sink.messages.empty());

        window.close();
        QVERIFY(QTest::qWaitFor([&] { return !window.isVisible(); }, 2000));
        QVERIFY(!window.programEnded());
        window.tray().HandleIconMessage(kTrayMenuId, kMouseLeftDoubleClick);
        QVERIFY(window.isVisible());
        QCOMPARE(exits.count(), 0);
    }

    void withoutNotificationAreaTheWindowIsMinimised() {
        RecordingSink sink;
        CTolvaneMainDlg window({}, false, Services(sink, false));
        QVERIFY(ShowInitialised(window));
        window.close();
        QVERIFY(window.isVisible());
        QVERIFY(window.isMinimized());
        QVERIFY(window.statusBar()->currentMessage().contains("minimised"));
    }

    void exitAsksFirst() {
        RecordingSink sink;
        CTolvaneMainDlg window({}, false, Services(sink, true));
        window.OnInitDialog();
        window.show();
        QSignalSpy exits(&window, &CTolvaneMainDlg::exitRequested);

        sink.answers = {kIdCancel};
        window.action(kCmdExit)->trigger();
        QCOMPARE(sink.messages.size(), size_t(1));
        QVERIFY(!window.programEnded());
        QVERIFY(window.isVisible());

        sink.answers = {kIdOk};
        window.action(kCmdExit)->trigger();
        QCOMPARE(sink.messages.size(), size_t(2));
        QVERIFY(window.programEnded());
        QVERIFY(!window.isVisible());
        QCOMPARE(exits.count(), 1);
        // What the window left for the event loop runs safely (no deletion
        // of its own members).
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    void commandLineConnectionRelaysAndEchoes() {
        QVERIFY2(pairs_.VcpInstallPair(7) != 0, pairs_.LastErrorText().c_str());
        RecordingSink sink;
        MainWindowArguments args;
        args.comPort = "COM7";
        args.index = 0;
        args.serialParams = "115200,N,8,1";
        CTolvaneMainDlg window(args, false, Services(sink, true));
        QVERIFY(window.OnInitDialog());
        // A start with a connection stays in the tray: never shown at all.
        window.ShowAtStart();
        QVERIFY(!window.isVisible());
        QVERIFY2(sink.messages.empty(), sink.messages.empty() ? "" : sink.messages[0].text.c_str());
        QCOMPARE(PaneText(window, 0), QString("Connected"));
        QCOMPARE(PaneText(window, 1), QString("COM7<->0. EmuBoard_Port0"));
        QVERIFY(!window.action(kCmdConnect)->isEnabled());
        QVERIFY(window.action(kCmdDisconnect)->isEnabled());
        QCOMPARE(window.tray().iconId(), 146);

        if (!window.action(kCmdEcho)->isChecked())
            window.action(kCmdEcho)->trigger();
        const std::string reply = Talk(dir_ + "/COM7", "id?\r");
        QVERIFY2(reply.rfind("EMUCAM", 0) == 0, reply.c_str());
        QVERIFY(QTest::qWaitFor([&] { return window.echoModel()->rowCount() >= 4; }, 3000));
        QStringList lines;
        for (int row = 0; row < window.echoModel()->rowCount(); ++row)
            lines << window.echoModel()->data(window.echoModel()->index(row)).toString();
        QVERIFY2(lines.contains("To ClSer:"), qPrintable(lines.join('|')));
        QVERIFY2(lines.contains("To Com:"), qPrintable(lines.join('|')));

        window.ShowFromTray();
        QVERIFY(window.isVisible());

        window.action(kCmdDisconnect)->trigger();
        QCOMPARE(PaneText(window, 0), QString("Not connected"));
        QCOMPARE(window.tray().iconId(), 147);
        QVERIFY(window.action(kCmdConnect)->isEnabled());
    }

  private:
    MainDlgServices Services(RecordingSink& sink, bool tray) {
        MainDlgServices services;
        services.pairs = &pairs_;
        services.messages = &sink;
        services.trayAvailable = tray;
        return services;
    }

    static bool ShowInitialised(CTolvaneMainDlg& window) {
        window.OnInitDialog();
        window.show();
        return QTest::qWaitForWindowExposed(&window);
    }

    std::string dir_;
    PortPairLibrary pairs_;
};

QTEST_MAIN(MainWindowTest)
#include "main_window_qttest.moc"
