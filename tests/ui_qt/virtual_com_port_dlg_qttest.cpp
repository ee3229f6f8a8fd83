// The virtual port dialog on the real port-pair library (the pty pairs in
// <build>/lib) with a private port directory, wiring only (the rules and the
// message texts are VirtualPortController's and tested there): install a
// pair inside the wait window, see it listed, remove it, the digits-only
// edit, and Esc during the re-check. Message boxes are recorded, answered OK.
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "portpairs/port_pair_library.h"
#include "tests/support/message_recorder.h"
#include "tests/support/private_port_directory.h"
#include "ui/qt/virtual_com_port_dlg.h"

using namespace clst;
using clst::testing::RecordingSink;

namespace {

// The real library; notes what the screen showed while an install ran.
class ObservedPairs : public PortPairLibrary {
  public:
    int32_t VcpInstallPair(int32_t number) override {
        ++installs;
        const CMessageDlg* info = dialog != nullptr ? dialog->InfoDialog() : nullptr;
        waitShown = info != nullptr && info->isVisible() && info->WasPainted() &&
                    info->parentWidget() == dialog && !info->isModal() &&
                    info->windowTitle() == "Information";
        waitText = info != nullptr ? info->Text() : QString();
        return PortPairLibrary::VcpInstallPair(number);
    }

    std::vector<std::string> ListedPairNames() {
        std::vector<std::string> names;
        const int32_t count = VcpGetPairCount();
        for (int32_t i = 0; i < count; ++i) {
            char name[kNameBufferSize] = {};
            char first[kNameBufferSize] = {};
            char second[kNameBufferSize] = {};
            if (VcpGetPair(i, name, first, second) != 0) {
                names.push_back(name);
            }
        }
        return names;
    }

    CVirtualCOMPortDlg* dialog = nullptr;
    int installs = 0;
    bool waitShown = false;
    QString waitText;
};

QStringList Items(const CVirtualCOMPortDlg& dlg) {
    auto* combo = dlg.findChild<QComboBox*>(kPortListName);
    QStringList items;
    for (int i = 0; combo != nullptr && i < combo->count(); ++i) {
        items << combo->itemText(i);
    }
    return items;
}

template <typename T>
T* Control(const CVirtualCOMPortDlg& dlg, const char* name) {
    T* control = dlg.findChild<T*>(name);
    if (control == nullptr) {
        qFatal("control %s is missing", name);
    }
    return control;
}

void Select(const CVirtualCOMPortDlg& dlg, const QString& text) {
    auto* combo = Control<QComboBox>(dlg, kPortListName);
    combo->setCurrentIndex(combo->findText(text));
}

// Runs `script` inside DoModal, then presses Close; returns DoModal's result.
int RunDialog(CVirtualCOMPortDlg& dlg, const std::function<void()>& script) {
    QTimer::singleShot(0, &dlg, [&] {
        script();
        Control<QPushButton>(dlg, kCloseButtonName)->click();
    });
    return dlg.DoModal();
}

}  // namespace

class VirtualComPortDlgTest : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase() {
        dir_ = testing::MakePrivatePortDirectory("/tmp/clst-vportdlg-XXXXXX");
        QVERIFY(!dir_.empty());
        QVERIFY2(pairs_.VcpInitialize() != 0, pairs_.LastErrorText().c_str());
    }

    void cleanup() {
        for (const std::string& name : pairs_.ListedPairNames()) {
            pairs_.VcpRemovePair(name.c_str());
        }
        pairs_.installs = 0;
        pairs_.dialog = nullptr;
    }

    void cleanupTestCase() {
        pairs_.VcpRelease();
        testing::RemovePrivatePortDirectory(dir_);
    }

    void installListAndRemove() {
        RecordingSink sink;
        CVirtualCOMPortDlg dlg(pairs_, sink);
        pairs_.dialog = &dlg;
        dlg.LoadPortEntries({{"", "COM1", ""}});
        QCOMPARE(dlg.WindowExists(), false);

        const int result = RunDialog(dlg, [&] {
            QVERIFY(dlg.WindowExists());
            QCOMPARE(dlg.windowTitle(), QString("Virtual COM Port"));
            auto* edit = Control<QLineEdit>(dlg, kPortNumberEditName);
            QCOMPARE(edit->text(), QString("1"));
            QCOMPARE(Items(dlg), QStringList{"COM1"});

            edit->setText("4711");
            Control<QPushButton>(dlg, kInstallButtonName)->click();
            QCOMPARE(pairs_.installs, 1);
            QVERIFY(pairs_.waitShown);
            QCOMPARE(pairs_.waitText, QString("Installing, please wait..."));
            QVERIFY(dlg.InfoDialog() == nullptr);
            QCOMPARE(sink.messages.size(), size_t(1));
            QCOMPARE(Items(dlg), (QStringList{"COM1", "COM4711-ZADURUV4711"}));
            struct stat st {};
            QCOMPARE(lstat((dir_ + "/COM4711").c_str(), &st), 0);

            Select(dlg, "COM4711-ZADURUV4711");
            Control<QPushButton>(dlg, kRemoveButtonName)->click();
            // The outcome comes with the re-check a moment later.
            QVERIFY(QTest::qWaitFor([&] { return sink.messages.size() == 3; }, 5000));
            QCOMPARE(Items(dlg), QStringList{"COM1"});
        });
        QCOMPARE(result, kIdCancel);
        QCOMPARE(dlg.WindowExists(), false);
        QVERIFY(pairs_.ListedPairNames().empty());
    }

    void digitsOnlyAndAnOccupiedNumber() {
        QVERIFY2(pairs_.VcpInstallPair(4712) != 0, pairs_.LastErrorText().c_str());
        pairs_.installs = 0;
        RecordingSink sink;
        CVirtualCOMPortDlg dlg(pairs_, sink);
        RunDialog(dlg, [&] {
            auto* edit = Control<QLineEdit>(dlg, kPortNumberEditName);
            edit->clear();
            QTest::keyClicks(edit, "47x12");
            QCOMPARE(edit->text(), QString("4712"));
            Control<QPushButton>(dlg, kInstallButtonName)->click();
            QCOMPARE(sink.messages.size(), size_t(1));
            QCOMPARE(pairs_.installs, 0);
        });
        QCOMPARE(pairs_.ListedPairNames(), std::vector<std::string>{"CNC4712"});
    }

    void closeDuringTheRecheckStillReports() {
        QVERIFY2(pairs_.VcpInstallPair(4713) != 0, pairs_.LastErrorText().c_str());
        RecordingSink sink;
        CVirtualCOMPortDlg dlg(pairs_, sink);
        RunDialog(dlg, [&] {
            QCOMPARE(Items(dlg), QStringList{"COM4713-ZADURUV4713"});
            Control<QPushButton>(dlg, kRemoveButtonName)->click();
            QVERIFY(dlg.logic().removeCheckPending());
            QTest::keyClick(&dlg, Qt::Key_Escape);
            QVERIFY(!dlg.WindowExists());
        });
        QCOMPARE(sink.messages.size(), size_t(2));
        QVERIFY(pairs_.ListedPairNames().empty());
    }

  private:
    std::string dir_;
    ObservedPairs pairs_;
};

QTEST_MAIN(VirtualComPortDlgTest)
#include "virtual_com_port_dlg_qttest.moc"
