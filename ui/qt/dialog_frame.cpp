#include "ui/qt/dialog_frame.h"

#include <QDialog>
#include <QLayout>

void UseFixedDialogFrame(QDialog& dialog, bool modal) {
    dialog.setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    if (QLayout* layout = dialog.layout())
        layout->setSizeConstraint(QLayout::SetFixedSize);
    if (modal)
        dialog.setWindowModality(Qt::WindowModal);
}
