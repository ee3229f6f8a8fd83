// The widgets on the offscreen platform, wiring only: the rules and texts
// are the logic classes' and tested there, the window on a real desktop by
// the desktop end-to-end test. The window runs on the emulated board (the
// libraries in <build>/lib), the dialogs and the window on the real pty
// port-pair library in a private port directory.
#include <QtTest>
#include <QtWidgets>

#include <functional>
#include <string>
#include <tuple>

#include "portpairs/port_pair_library.h"
#include "tests/support/message_recorder.h"
#include "tests/support/test_io.h"
#include "ui/qt/echo_list_view.h"
#include "ui/qt/port_setting_dlg.h"
#include "ui/qt/tolvane_main_dlg.h"
#include "ui/qt/virtual_com_port_dlg.h"

using namespace clst;
using clst::testing::RecordingSink;

namespace {

// The real library; notes whether the waiting window was on the screen, over
// the dialog and not modal, while an install ran.
struct ObservedPairs : PortPairLibrary {
    int32_t VcpInstallPair(int32_t number) override {
        const CMessageDlg* info = dialog != nullptr ? dialog->InfoDialog() : nullptr;
        waitShown = info != nullptr && info->isVisible() && info->WasPainted() &&
                    info->parentWidget() == dialog && !info->isModal() &&
                    info->Text() == "Installing, please wait...";
        return PortPairLibrary::VcpInstallPair(number);
    }
    CVirtualCOMPortDlg* dialog = nullptr;
    bool waitShown = false;
};

template <typename T = QComboBox>
T* Find(const QWidget& parent, const char* name) {
    T* child = parent.findChild<T*>(name);
    if (child == nullptr)
        qFatal("no control %s", name);
    return child;
}

// Runs `dialog` modally, calls `whileOpen` once it is up and rejects what is
// still open afterwards; returns DoModal's answer.
template <typename Dialog>
int RunModal(Dialog& dialog, const std::function<void()>& whileOpen) {
    QTimer::singleShot(0, &dialog, [&] {
        whileOpen();
        if (dialog.isVisible())
            dialog.reject();
    });
    return dialog.DoModal();
}

QStringList Items(const QComboBox* combo) {
    QStringList items;
    for (int i = 0; i < combo->count(); ++i)
        items << combo->itemText(i);
    return items;
}

}  // namespace

class WidgetsTest : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase() {
        QVERIFY(!dir_.path().empty());
        unsetenv("MARO_EMULATION");
        // This program sits in <build>/tests, beside no bin or lib folder:
        // the runtime is found through the environment instead.
        const QByteArray build =
            QDir(QCoreApplication::applicationDirPath() + "/..").absolutePath().toLocal8Bit();
        setenv("MARODIR5_64", build.constData(), 1);
        QVERIFY2(pairs_.VcpInitialize() != 0, pairs_.LastErrorText().c_str());
    }

    void cleanup() { pairs_.dialog = nullptr; }

    void cleanupTestCase() {
        for (const char* name : {"CNC7", "CNC4711", "CNC4712"})
            pairs_.VcpRemovePair(name);
        pairs_.VcpRelease();
    }

    void messageBoxFlagsAndAnswers() {
        using B = QMessageBox;
        // The flags and caption given, the button pressed (NoButton: Escape),
        // then the box's icon and buttons and the answer.
        const std::tuple<unsigned, const char*, B::StandardButton, B::Icon, B::StandardButtons, int>
            cases[] = {
                {kMbYesNo | kMbIconExclamation, "Ports", B::Yes, B::Warning, B::Yes | B::No,
                 kIdYes},
                {kMbYesNo, "", B::NoButton, B::NoIcon, B::Yes | B::No, kIdNo},
                {kMbOkCancel | kMbIconInformation, "", B::Cancel, B::Information, B::Ok | B::Cancel,
                 kIdCancel},
                {kMbOk, "", B::Ok, B::NoIcon, B::Ok, kIdOk},
            };
        for (const auto& [flags, caption, press, icon, buttons, answer] : cases) {
            std::tuple<QString, B::Icon, B::StandardButtons> seen;
            QTimer::singleShot(0, [&seen, press = press] {
                if (auto* box = qobject_cast<B*>(QApplication::activeModalWidget())) {
                    seen = {box->windowTitle() + "|" + box->text(), box->icon(),
                            box->standardButtons()};
                    if (press == B::NoButton)
                        QTest::keyClick(box, Qt::Key_Escape);
                    else
                        box->button(press)->click();
                }
            });
            QCOMPARE(QtMessageBox().ShowMessage("Port busy", caption, flags), answer);
            QVERIFY(seen == std::tuple(QString(*caption ? caption : kDefaultCaption) + "|Port busy",
                                       icon, buttons));
        }
    }

    void portSettingsDialogShowsAndReadsEveryList() {
        RecordingSink sink;
        CPortSettingDlg dlg(false, sink);
        dlg.SetClSerPorts({"0. board_Port0", "1. board_Port1"});
        dlg.SetComPorts(
            {{"", "COM1", ""}, {"CNC1", "COM6", "ZADURUV6"}, {"CNC0", "COM5", "ZADURUV5"}});
        // Port 1, 115200 on the COM side and 38400 on the Camera Link side,
        // odd parity, 7 data bits, 2 stop bits.
        dlg.SetSettings({"ZADURUV6", "COM6", 1, 7, 2, 4, 115200, 1});

        const int result = RunModal(dlg, [&] {
            QStringList shown;
            for (const char* name :
                 {"comboComPort", "comboClSerPort", "comboComBaud", "comboClSerBaud", "comboParity",
                  "comboDataBits", "comboStopBit"})
                shown << Find(dlg, name)->currentText();
            QCOMPARE(shown, (QStringList{"COM6-ZADURUV6", "1. board_Port1", "115200", "38400", "o",
                                         "7", "2"}));
            // The check box reaches the logic, which lists the physical port.
            QTest::mouseClick(Find<QCheckBox>(dlg, "checkShowPhysical"), Qt::LeftButton);
            QCOMPARE(Items(Find(dlg, "comboComPort")),
                     (QStringList{"COM1", "COM5-ZADURUV5", "COM6-ZADURUV6"}));
            Find(dlg, "comboComPort")->setCurrentIndex(1);
            Find(dlg, "comboClSerBaud")->setCurrentIndex(0);  // 9600: asked, answered Yes
            sink.answers = {kIdYes};
            // Enter confirms, also on the Close button.
            QTest::keyClick(Find<QPushButton>(dlg, "buttonClose"), Qt::Key_Return);
        });
        QCOMPARE(result, kIdOk);
        QCOMPARE(sink.messages.size(), size_t{1});
        const ConnectionSettings s = dlg.GetSettings();
        QVERIFY(std::tie(s.comPortName, s.clserBaudCode, s.comBaudRate, s.parity, s.stopBits) ==
                std::tuple("COM5", 1, 115200, 1, 2));
    }

    void virtualPortDialogInstallsAndRemoves() {
        QVERIFY2(pairs_.VcpInstallPair(4712) != 0, pairs_.LastErrorText().c_str());
        RecordingSink sink;
        CVirtualCOMPortDlg dlg(pairs_, sink);
        pairs_.dialog = &dlg;
        dlg.LoadPortEntries({{"", "COM1", ""}});
        RunModal(dlg, [&] {
            auto* edit = Find<QLineEdit>(dlg, kPortNumberEditName);
            auto* list = Find(dlg, kPortListName);
            auto* remove = Find<QPushButton>(dlg, kRemoveButtonName);
            auto* install = Find<QPushButton>(dlg, kInstallButtonName);
            // The number offered is one that installs, also on a machine
            // whose own serial port takes COM1.
            offered_ = edit->text();
            install->click();
            QVERIFY(pairs_.waitShown);
            QVERIFY(dlg.InfoDialog() == nullptr);
            QCOMPARE(sink.messages.size(), size_t{1});
            QCOMPARE(sink.messages[0].text, std::string(kPairInstalled));
            QVERIFY(Items(list).contains(QString("COM%1-ZADURUV%1").arg(offered_)));
            QVERIFY(edit->text() != offered_);
            edit->clear();
            QTest::keyClicks(edit, "47x11");  // digits only
            install->click();
            QCOMPARE(Items(list).filter("47"),
                     (QStringList{"COM4711-ZADURUV4711", "COM4712-ZADURUV4712"}));

            // The outcome of a remove comes with the re-check a moment
            // later, or at once with Escape, which ends the dialog.
            const auto select = [&](const QString& text) {
                list->setCurrentIndex(list->findText(text));
                remove->click();
            };
            select("COM4711-ZADURUV4711");
            QVERIFY(QTest::qWaitFor([&] { return sink.messages.size() == 4; }, 10000));
            QCOMPARE(Items(list).filter("47"), (QStringList{"COM4712-ZADURUV4712"}));
            select("COM4712-ZADURUV4712");
            QTest::keyClick(&dlg, Qt::Key_Escape);
            QVERIFY(!dlg.WindowExists());
            QCOMPARE(sink.messages.size(), size_t{6});
        });
        QCOMPARE(pairs_.VcpRemovePair(qPrintable("CNC" + offered_)), 1);
        QCOMPARE(pairs_.VcpGetPairCount(), 0);
    }

    // Like a terminal: the list follows the end while it shows the end, and
    // holds the rows the user scrolled up to, also while the oldest lines
    // are dropped for the bound beneath them.
    void echoListFollowsTheEndAndStaysWhileScrolledUp() {
        EchoListView view(nullptr, 2 * EchoStore::kChunkSize);
        view.resize(400, 300);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        QScrollBar* bar = view.verticalScrollBar();
        int next = 0;
        const auto add = [&](int lines) {
            for (const int end = next + lines; next < end; ++next)
                view.sink().AddString(std::to_string(next) + std::string(1000, '.'));
            view.Poll();
        };
        add(1600);
        QVERIFY(bar->maximum() > 0 && bar->value() == bar->maximum());
        QVERIFY(view.RowText(view.rowCount() - 1).startsWith("1599."));
        QVERIFY(view.horizontalScrollBar()->maximum() > 0);  // long lines are not cut

        bar->setValue(bar->value() - 50);
        const QString reading = view.RowText(view.rows().top());
        add(600);  // the first chunk goes, the note comes in
        QVERIFY(view.RowText(0).contains(" older lines dropped"));
        QCOMPARE(view.RowText(view.rows().top()), reading);
        QCOMPARE(bar->value(), view.rows().top());
        QVERIFY(bar->value() < bar->maximum());
    }

    void mainWindowMenusTrayEchoAndClose() {
        QVERIFY2(pairs_.VcpInstallPair(7) != 0, pairs_.LastErrorText().c_str());
        RecordingSink sink;
        CTolvaneMainDlg window({"COM7", 0, "115200,N,8,1", false}, false,
                               {&pairs_, &sink, nullptr, true});
        QVERIFY(window.OnInitDialog());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        // The fixed panes fit their longest texts in the font in use.
        for (const auto& [pane, text] : {std::pair{0, "Not connected"}, {2, "921600 e 8 1.5"}}) {
            QVERIFY2(window.pane(pane)->fontMetrics().horizontalAdvance(text) <=
                         window.pane(pane)->contentsRect().width(),
                     text);
        }

        // Connection control's calls reach the pane, both menus and the tray
        // icon.
        const auto trayEntry = [&](uint32_t id) {
            window.tray().UpdateMenu();
            for (QAction* entry : window.tray().menu()->actions()) {
                if (entry->data().toUInt() == id)
                    return entry;
            }
            qFatal("no tray entry %u", id);
        };
        const auto connected = [&](bool on) {
            return window.pane(0)->text() == (on ? "Connected" : "Not connected") &&
                   window.action(kCmdConnect)->isEnabled() != on &&
                   trayEntry(kCmdTrayConnect)->isEnabled() != on &&
                   window.tray().iconId() == (on ? 146 : 147);
        };
        QVERIFY(connected(true));  // from the command line
        window.action(kCmdDisconnect)->trigger();
        QVERIFY(connected(false));
        window.action(kCmdConnect)->trigger();
        QVERIFY2(connected(true), sink.messages.empty() ? "" : sink.messages[0].text.c_str());

        // Echo from the main menu and from the tray menu: both menus and the
        // pane follow each toggle.
        for (QAction* toggle :
             {window.action(kCmdEcho), trayEntry(kCmdTrayEcho), window.action(kCmdEcho)}) {
            const bool on = !window.action(kCmdEcho)->isChecked();
            toggle->trigger();
            QCOMPARE(window.action(kCmdEcho)->isChecked(), on);
            QCOMPARE(trayEntry(kCmdTrayEcho)->isChecked(), on);
            QCOMPARE(window.pane(3)->text(), QString(on ? "Echo on" : "Echo off"));
        }

        // Closing hides into the tray; without one, the window is minimised.
        window.close();
        QVERIFY(!window.isVisible() && !window.programEnded());
        CTolvaneMainDlg bare({}, false, {&pairs_, &sink, nullptr, false});
        bare.OnInitDialog();
        bare.show();
        bare.close();
        QVERIFY(bare.isVisible() && bare.isMinimized());
        // The notice says so without covering the status panes.
        QVERIFY(bare.notice()->isVisible() && bare.notice()->text().contains("minimised"));
        QVERIFY(bare.pane(0)->isVisible() && bare.statusBar()->currentMessage().isEmpty());
    }

  private:
    // A private port directory for the test program.
    const testing::ScratchDir dir_{"/tmp/clst-widgets-XXXXXX"};
    const testing::ScopedEnv portDir_{"CLSERTOLVANE_PORT_DIR", dir_.path()};
    ObservedPairs pairs_;
    QString offered_;
};

QTEST_MAIN(WidgetsTest)
#include "widgets_qttest.moc"
