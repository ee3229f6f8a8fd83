#include "ui/qt/qt_message_box.h"

#include <QMessageBox>
#include <QString>

namespace clst {

int QtMessageBox::ShowMessage(const std::string& text, const std::string& caption, unsigned flags) {
    QMessageBox box(parent_);
    // Over its window only: the tray menu stays usable while a box is open.
    box.setWindowModality(parent_ != nullptr ? Qt::WindowModal : Qt::ApplicationModal);
    box.setWindowTitle(QString::fromStdString(caption.empty() ? kDefaultCaption : caption));
    box.setText(QString::fromStdString(text));
    switch (flags & 0xF0u) {
        case kMbIconError:
            box.setIcon(QMessageBox::Critical);
            break;
        case kMbIconQuestion:
            box.setIcon(QMessageBox::Question);
            break;
        case kMbIconExclamation:
            box.setIcon(QMessageBox::Warning);
            break;
        case kMbIconInformation:
            box.setIcon(QMessageBox::Information);
            break;
        default:
            box.setIcon(QMessageBox::NoIcon);
            break;
    }
    switch (flags & 0x0Fu) {
        case kMbOkCancel:
            box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
            box.setDefaultButton(QMessageBox::Ok);
            box.setEscapeButton(QMessageBox::Cancel);
            break;
        case kMbYesNo:
            box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
            box.setDefaultButton(QMessageBox::Yes);
            box.setEscapeButton(QMessageBox::No);
            break;
        default:
            box.setStandardButtons(QMessageBox::Ok);
            break;
    }
    switch (box.exec()) {
        case QMessageBox::Ok:
            return kIdOk;
        case QMessageBox::Yes:
            return kIdYes;
        case QMessageBox::No:
            return kIdNo;
        default:
            return (flags & 0x0Fu) == kMbYesNo ? kIdNo : kIdCancel;
    }
}

}  // namespace clst
