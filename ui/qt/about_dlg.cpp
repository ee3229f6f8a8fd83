#include "ui/qt/about_dlg.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "platform/program_path.h"
#include "ui/about_logic.h"
#include "ui/main_window_logic.h"
#include "ui/qt/dialog_frame.h"
#include "ui/qt/system_tray.h"

CAboutDlg::CAboutDlg(QWidget* parent, const std::string& programPath) : QDialog(parent) {
    setWindowTitle(QString::fromLatin1(clst::kAboutCaption));
    const clst::AboutTexts texts =
        clst::LoadAboutTexts(programPath.empty() ? clst::platform::ProgramPath() : programPath);

    auto* icon = new QLabel(this);
    icon->setPixmap(CSystemTray::LoadIcon(clst::kAppIconId).pixmap(48, 48));
    description_ = new QLabel(QString::fromLatin1(texts.description), this);
    description_->setObjectName(QStringLiteral("description"));
    version_ = new QLabel(QString::fromLatin1(texts.version), this);
    version_->setObjectName(QStringLiteral("version"));
    legal_ = new QLabel(QString::fromLatin1(texts.legal), this);
    legal_->setObjectName(QStringLiteral("legal"));
    notice_ = new QLabel(QString::fromLatin1(texts.notice), this);
    notice_->setObjectName(QStringLiteral("notice"));
    notice_->setWordWrap(true);
    notice_->setMinimumWidth(360);

    auto* grid = new QGridLayout;
    grid->addWidget(icon, 0, 0, 3, 1, Qt::AlignTop);
    grid->addWidget(description_, 0, 1, 1, 2);
    grid->addWidget(new QLabel(QStringLiteral("Version"), this), 1, 1);
    grid->addWidget(version_, 1, 2);
    grid->addWidget(legal_, 2, 1, 1, 2);
    grid->setColumnStretch(2, 1);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addWidget(notice_);
    layout->addWidget(buttons);
    UseFixedDialogFrame(*this, true);
}
