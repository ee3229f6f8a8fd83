// The port settings dialog as a widget: its lists after the hand-over, the
// check box, Confirm with the baud-rate question, Enter, Esc and the
// settings it hands back.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "ui/qt/port_setting_dlg.h"

using namespace clst;

namespace {

class RecordingSink : public MessageSink {
  public:
    int ShowMessage(const std::string& text, const std::string& caption, unsigned flags) override {
        texts.push_back(text);
        captions.push_back(caption);
        this->flags.push_back(flags);
        if (answers.empty())
            return kIdOk;
        const int a = answers.front();
        answers.pop_front();
        return a;
    }
    std::vector<std::string> texts, captions;
    std::vector<unsigned> flags;
    std::deque<int> answers;
};

QStringList Items(QComboBox* combo) {
    QStringList items;
    for (int i = 0; i < combo->count(); ++i)
        items << combo->itemText(i);
    return items;
}

ConnectionSettings Com6() {
    ConnectionSettings s;
    s.comPortName = "COM6";
    s.devicePortName = "ZADURUV6";
    s.clserPortIndex = 1;
    s.comBaudRate = 115200;
    s.clserBaudCode = 16;
    s.parity = 1;
    s.dataBits = 7;
    s.stopBits = 2;
    return s;
}

}  // namespace

class PortSettingDlgTest : public QObject {
    Q_OBJECT
  private:
    QComboBox* Combo(CPortSettingDlg& dlg, const char* name) {
        auto* combo = dlg.findChild<QComboBox*>(QString::fromLatin1(name));
        if (combo == nullptr)
            qFatal("no combo box %s", name);
        return combo;
    }
    // Runs the dialog modally, calls `whileOpen` once it is up (closing it
    // with Close afterwards if it is still open) and returns DoModal's answer.
    int Run(CPortSettingDlg& dlg, const std::function<void()>& whileOpen) {
        bool ran = false;
        QTimer::singleShot(0, &dlg, [&] {
            ran = true;
            whileOpen();
            if (dlg.isVisible())
                dlg.findChild<QPushButton*>("buttonClose")->click();
        });
        const int result = dlg.DoModal();
        if (!ran)
            qFatal("the dialog never ran its event loop");
        return result;
    }
    void Prepare(CPortSettingDlg& dlg) {
        dlg.SetClSerPorts({"0. board_Port0", "1. board_Port1"});
        dlg.SetComPorts(
            {{"", "COM1", ""}, {"CNC1", "COM6", "ZADURUV6"}, {"CNC0", "COM5", "ZADURUV5"}});
        dlg.SetSettings(Com6());
    }

  private slots:
    void listsShowTheHandedOverSettings() {
        RecordingSink sink;
        CPortSettingDlg dlg(false, sink);
        Prepare(dlg);
        bool existed = true;
        const int result = Run(dlg, [&] {
            existed = dlg.WindowExists();
            QCOMPARE(dlg.windowTitle(), QString("Port Settings"));
            QCOMPARE(Items(Combo(dlg, "comboComPort")),
                     QStringList({"COM5-ZADURUV5", "COM6-ZADURUV6"}));
            QCOMPARE(Combo(dlg, "comboComPort")->currentText(), QString("COM6-ZADURUV6"));
            QCOMPARE(Combo(dlg, "comboClSerPort")->currentText(), QString("1. board_Port1"));
            QCOMPARE(Combo(dlg, "comboComBaud")->currentText(), QString("115200"));
            QCOMPARE(Combo(dlg, "comboClSerBaud")->currentText(), QString("115200"));
            QCOMPARE(Items(Combo(dlg, "comboParity")), QStringList({"n", "e", "o"}));
            QCOMPARE(Combo(dlg, "comboParity")->currentText(), QString("o"));
            QCOMPARE(Combo(dlg, "comboDataBits")->currentText(), QString("7"));
            QCOMPARE(Combo(dlg, "comboStopBit")->currentText(), QString("2"));
            QVERIFY(!dlg.findChild<QCheckBox*>("checkShowPhysical")->isChecked());
        });
        QVERIFY(existed);
        QVERIFY(!dlg.WindowExists());
        QCOMPARE(result, kIdCancel);
        QVERIFY(sink.texts.empty());
    }

    void checkBoxShowsPhysicalPortsAndReturnsToTheConfirmedPair() {
        RecordingSink sink;
        CPortSettingDlg dlg(false, sink);
        Prepare(dlg);
        Run(dlg, [&] {
            auto* check = dlg.findChild<QCheckBox*>("checkShowPhysical");
            QComboBox* ports = Combo(dlg, "comboComPort");
            ports->setCurrentIndex(0);  // COM5, not confirmed
            QTest::mouseClick(check, Qt::LeftButton);
            QVERIFY(check->isChecked());
            QCOMPARE(Items(ports), QStringList({"COM1", "COM5-ZADURUV5", "COM6-ZADURUV6"}));
            QCOMPARE(ports->currentText(), QString("COM6-ZADURUV6"));
        });
        // Kept for the next opening, where the box shows it again.
        Run(dlg, [&] {
            QVERIFY(dlg.findChild<QCheckBox*>("checkShowPhysical")->isChecked());
            QCOMPARE(Combo(dlg, "comboComPort")->count(), 3);
        });
    }

    void mismatchAnsweredNoKeepsTheDialogOpenYesConfirms() {
        RecordingSink sink;
        CPortSettingDlg dlg(false, sink);
        Prepare(dlg);
        const int result = Run(dlg, [&] {
            Combo(dlg, "comboComPort")->setCurrentIndex(0);
            Combo(dlg, "comboClSerBaud")->setCurrentIndex(0);  // 9600
            auto* confirm = dlg.findChild<QPushButton*>("buttonConfirm");
            sink.answers = {kIdNo};
            confirm->click();
            QVERIFY(dlg.isVisible());
            QCOMPARE(sink.texts.size(), size_t{1});
            QCOMPARE(sink.captions[0], std::string("Port configuration"));
            QCOMPARE(sink.flags[0], 0x34u);
            QCOMPARE(Combo(dlg, "comboClSerBaud")->currentText(), QString("9600"));
            QCOMPARE(dlg.GetSettings().comPortName, std::string("COM6"));
            sink.answers = {kIdYes};
            confirm->click();
            QVERIFY(!dlg.isVisible());
        });
        QCOMPARE(result, kIdOk);
        const ConnectionSettings s = dlg.GetSettings();
        QCOMPARE(s.comPortName, std::string("COM5"));
        QCOMPARE(s.devicePortName, std::string("ZADURUV5"));
        QCOMPARE(s.comBaudRate, 115200);
        QCOMPARE(s.clserBaudCode, 1);
        QCOMPARE(s.clserPortIndex, 1);
        QCOMPARE(s.parity, 1);
        QCOMPARE(s.dataBits, 7);
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
        QVERIFY(sink.texts.empty());
    }
};

QTEST_MAIN(PortSettingDlgTest)
#include "port_setting_dlg_qttest.moc"
