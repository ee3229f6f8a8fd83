// The port settings dialog as a widget, wiring only (the rules are
// PortSettingsLogic's and tested there): each list shows its own items and
// selection, the check box and Confirm reach the logic, the selections are
// read back, the baud-rate question goes to the message sink, Enter confirms
// and Esc cancels.
#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <string>

#include "tests/support/message_recorder.h"
#include "ui/qt/port_setting_dlg.h"

using namespace clst;
using clst::testing::RecordingSink;

class PortSettingDlgTest : public QObject {
    Q_OBJECT
  private:
    static QComboBox* Combo(CPortSettingDlg& dlg, const char* name) {
        auto* combo = dlg.findChild<QComboBox*>(QString::fromLatin1(name));
        if (combo == nullptr)
            qFatal("no combo box %s", name);
        return combo;
    }
    // Runs the dialog modally, calls `whileOpen` once it is up (closing it
    // with Close afterwards if it is still open) and returns DoModal's answer.
    static int Run(CPortSettingDlg& dlg, const std::function<void()>& whileOpen) {
        QTimer::singleShot(0, &dlg, [&] {
            whileOpen();
            if (dlg.isVisible())
                dlg.findChild<QPushButton*>("buttonClose")->click();
        });
        return dlg.DoModal();
    }
    static void Prepare(CPortSettingDlg& dlg) {
        dlg.SetClSerPorts({"0. board_Port0", "1. board_Port1"});
        dlg.SetComPorts(
            {{"", "COM1", ""}, {"CNC1", "COM6", "ZADURUV6"}, {"CNC0", "COM5", "ZADURUV5"}});
        ConnectionSettings s;
        s.comPortName = "COM6";
        s.devicePortName = "ZADURUV6";
        s.clserPortIndex = 1;
        s.comBaudRate = 115200;
        s.clserBaudCode = 16;
        s.parity = 1;
        s.dataBits = 7;
        s.stopBits = 2;
        dlg.SetSettings(s);
    }

  private slots:
    void listsCheckBoxAndConfirmWithTheQuestion() {
        RecordingSink sink;
        CPortSettingDlg dlg(false, sink);
        Prepare(dlg);
        bool existed = false;
        const int result = Run(dlg, [&] {
            existed = dlg.WindowExists();
            QCOMPARE(dlg.windowTitle(), QString("Port Settings"));
            const std::pair<const char*, const char*> shown[] = {
                {"comboComPort", "COM6-ZADURUV6"},
                {"comboClSerPort", "1. board_Port1"},
                {"comboComBaud", "115200"},
                {"comboClSerBaud", "115200"},
                {"comboParity", "o"},
                {"comboDataBits", "7"},
                {"comboStopBit", "2"}};
            for (const auto& [name, text] : shown)
                QCOMPARE(Combo(dlg, name)->currentText(), QString(text));
            QCOMPARE(Combo(dlg, "comboComPort")->count(), 2);

            // The check box reaches the logic, which lists the physical port.
            auto* check = dlg.findChild<QCheckBox*>("checkShowPhysical");
            QTest::mouseClick(check, Qt::LeftButton);
            QVERIFY(check->isChecked());
            QCOMPARE(Combo(dlg, "comboComPort")->itemText(0), QString("COM1"));

            Combo(dlg, "comboComPort")->setCurrentIndex(1);    // COM5
            Combo(dlg, "comboClSerBaud")->setCurrentIndex(0);  // 9600
            auto* confirm = dlg.findChild<QPushButton*>("buttonConfirm");
            sink.answers = {kIdNo};
            confirm->click();
            QVERIFY(dlg.isVisible());
            QCOMPARE(sink.messages.size(), size_t{1});
            sink.answers = {kIdYes};
            confirm->click();
            QVERIFY(!dlg.isVisible());
        });
        QVERIFY(existed);
        QVERIFY(!dlg.WindowExists());
        QCOMPARE(result, kIdOk);
        const ConnectionSettings s = dlg.GetSettings();
        QCOMPARE(s.comPortName, std::string("COM5"));
        QCOMPARE(s.devicePortName, std::string("ZADURUV5"));
        QCOMPARE(s.comBaudRate, 115200);
        QCOMPARE(s.clserBaudCode, 1);
        QCOMPARE(s.clserPortIndex, 1);
        QCOMPARE(s.dataBits, 7);
        QCOMPARE(s.parity, 1);
        QCOMPARE(s.stopBits, 2);
    }

    void enterConfirmsEscapeCancels() {
        RecordingSink sink;
        CPortSettingDlg dlg(false, sink);
        Prepare(dlg);
        int result = Run(dlg, [&] {
            Combo(dlg, "comboParity")->setCurrentIndex(1);  // e
            QTest::keyClick(Combo(dlg, "comboParity"), Qt::Key_Escape);
        });
        QCOMPARE(result, kIdCancel);
        QCOMPARE(dlg.GetSettings().parity, 1);

        result = Run(dlg, [&] {
            Combo(dlg, "comboParity")->setCurrentIndex(1);
            // Enter on the Close button still confirms.
            QTest::keyClick(dlg.findChild<QPushButton*>("buttonClose"), Qt::Key_Return);
        });
        QCOMPARE(result, kIdOk);
        QCOMPARE(dlg.GetSettings().parity, 2);
        QVERIFY(sink.messages.empty());
    }
};

QTEST_MAIN(PortSettingDlgTest)
#include "port_setting_dlg_qttest.moc"
