// The message box adapter: buttons, icons, captions and answers as the plain
// code expects them.
#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <QtTest>

#include <functional>

#include "ui/qt/qt_message_box.h"

using namespace clst;

namespace {

// Runs `act` on the message box once it is showing and returns what
// ShowMessage answered; `seen` gets the box's title, text, icon and buttons.
struct Seen {
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
};

int Answer(unsigned flags, const std::string& caption, Seen& seen,
           const std::function<void(QMessageBox*)>& act) {
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr) {
            return;
        }
        seen.title = box->windowTitle();
        seen.text = box->text();
        seen.icon = box->icon();
        seen.buttons = box->standardButtons();
        act(box);
    });
    QtMessageBox sink;
    return sink.ShowMessage("Port busy", caption, flags);
}

}  // namespace

class MessageBoxTest : public QObject {
    Q_OBJECT
  private slots:
    void yesNoAnswersAndEscapeIsNo() {
        Seen seen;
        const int yes = Answer(kMbYesNo | kMbIconExclamation, "Port configuration", seen,
                               [](QMessageBox* box) { box->button(QMessageBox::Yes)->click(); });
        QCOMPARE(yes, kIdYes);
        QCOMPARE(seen.title, QString("Port configuration"));
        QCOMPARE(seen.text, QString("Port busy"));
        QCOMPARE(seen.icon, QMessageBox::Warning);
        QCOMPARE(seen.buttons, QMessageBox::Yes | QMessageBox::No);

        const int escaped = Answer(kMbYesNo, "", seen,
                                   [](QMessageBox* box) { QTest::keyClick(box, Qt::Key_Escape); });
        QCOMPARE(escaped, kIdNo);
        QCOMPARE(seen.title, QString(kDefaultCaption));
        QCOMPARE(seen.icon, QMessageBox::NoIcon);
    }

    void okCancelAndPlainOk() {
        Seen seen;
        const int cancel = Answer(kMbOkCancel | kMbIconInformation, "", seen, [](QMessageBox* box) {
            box->button(QMessageBox::Cancel)->click();
        });
        QCOMPARE(cancel, kIdCancel);
        QCOMPARE(seen.icon, QMessageBox::Information);
        QCOMPARE(seen.buttons, QMessageBox::Ok | QMessageBox::Cancel);

        const int ok = Answer(kMbOk | kMbIconError, "", seen,
                              [](QMessageBox* box) { QTest::keyClick(box, Qt::Key_Return); });
        QCOMPARE(ok, kIdOk);
        QCOMPARE(seen.icon, QMessageBox::Critical);
        QCOMPARE(seen.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    }
};

QTEST_MAIN(MessageBoxTest)
#include "message_box_qttest.moc"
