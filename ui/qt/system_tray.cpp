#include "ui/qt/system_tray.h"

#include <QAction>
#include <QFile>
#include <QFont>
#include <QIcon>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QWidget>

// The icons are compiled into the static library of the widgets. Nothing
// refers to their data but this initialiser, so without the call the linker
// leaves them out and every icon comes out blank. It must be called from the
// global namespace.
static void InitIconResources() {
    Q_INIT_RESOURCE(resources);
}

CSystemTray::CSystemTray(QObject* parent) : QObject(parent) {}

CSystemTray::~CSystemTray() {
    if (icon_ != nullptr)
        icon_->hide();
    delete menu_;
}

QIcon CSystemTray::LoadIcon(int iconId) {
    static const bool initialised = (InitIconResources(), true);
    (void)initialised;
    QIcon icon(QStringLiteral(":/icons/%1.png").arg(iconId));
    // Smaller drawings of the same icon, where there are any, for title bars
    // and task lists that would otherwise scale the large one down.
    for (const int size : {16, 32}) {
        const QString file = QStringLiteral(":/icons/%1-%2.png").arg(iconId).arg(size);
        if (QFile::exists(file))
            icon.addFile(file, QSize(size, size));
    }
    return icon;
}

void CSystemTray::Remove() {
    if (icon_ != nullptr)
        icon_->hide();
}

QAction* CSystemTray::AddEntry(const char* text, uint32_t commandId) {
    QAction* action = menu_->addAction(QString::fromLatin1(text));
    action->setData(commandId);
    connect(action, &QAction::triggered, this, [this, commandId] {
        if (onCommand_)
            onCommand_(commandId);
    });
    return action;
}

QMenu* CSystemTray::menu() {
    if (menu_ != nullptr)
        return menu_;
    menu_ = new QMenu;
    menu_->setObjectName(QStringLiteral("trayMenu"));
    show_ = AddEntry("Show", clst::kCmdTrayShow);
    menu_->addSeparator();
    connect_ = AddEntry("Connect", clst::kCmdTrayConnect);
    disconnect_ = AddEntry("Disconnect", clst::kCmdTrayDisconnect);
    menu_->addSeparator();
    AddEntry("Port Settings", clst::kCmdTrayPortSettings);
    AddEntry("Virtual COM Port Management", clst::kCmdTrayVirtualPorts);
    menu_->addSeparator();
    echo_ = AddEntry("Echo", clst::kCmdTrayEcho);
    echo_->setCheckable(true);
    AddEntry("Clear Echo", clst::kCmdTrayClearEcho);
    menu_->addSeparator();
    AddEntry("Exit", clst::kCmdTrayExit);
    connect(menu_, &QMenu::aboutToShow, this, &CSystemTray::UpdateMenu);
    UpdateMenu();
    return menu_;
}

void CSystemTray::UpdateMenu() {
    if (menu_ == nullptr)
        return;
    const clst::TrayMenuState state = logic_.MenuState();
    connect_->setEnabled(state.connectEnabled);
    disconnect_->setEnabled(state.disconnectEnabled);
    echo_->setChecked(state.echoChecked);
    // The default entry is drawn bold and is what a plain activation does.
    for (QAction* action : menu_->actions()) {
        QFont font = action->font();
        font.setBold(action->data().toUInt() == state.defaultCommand && !action->isSeparator());
        action->setFont(font);
    }
    menu_->setDefaultAction(show_);
}

bool CSystemTray::Install(const QString& tip, int iconId, std::function<void(uint32_t)> onCommand,
                          std::function<void()> onRestore) {
    onCommand_ = std::move(onCommand);
    onRestore_ = std::move(onRestore);
    tip_ = QString::fromStdString(clst::TrayLogic::ClipTip(tip.toStdString()));
    iconId_ = iconId;
    menu();
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        return false;
    icon_ = new QSystemTrayIcon(LoadIcon(iconId), this);
    icon_->setToolTip(tip_);
    icon_->setContextMenu(menu_);
    connect(icon_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::DoubleClick) {
                    HandleIconMessage(clst::kTrayMenuId, clst::kMouseLeftDoubleClick);
                }
            });
    icon_->show();
    return true;
}

void CSystemTray::ChangeIcon(int iconId) {
    iconId_ = iconId;
    if (icon_ != nullptr)
        icon_->setIcon(LoadIcon(iconId));
}

void CSystemTray::ChangeTip(const QString& tip) {
    tip_ = QString::fromStdString(clst::TrayLogic::ClipTip(tip.toStdString()));
    if (icon_ != nullptr)
        icon_->setToolTip(tip_);
}

void CSystemTray::HandleIconMessage(int iconId, uint32_t mouseMessage) {
    switch (logic_.HandleIconMessage(iconId, mouseMessage, static_cast<bool>(onRestore_))) {
        case clst::TrayAction::Restore:
            onRestore_();
            break;
        case clst::TrayAction::ShowMenu:
            UpdateMenu();
            menu_->popup(QCursor::pos());
            break;
        case clst::TrayAction::Ignore:
        case clst::TrayAction::Nothing:
            break;
    }
}

void HideToTray(QWidget* window, bool trayAvailable) {
    if (trayAvailable) {
        window->hide();
    } else {
        window->showMinimized();
    }
}

void ShowFromTray(QWidget* window) {
    window->showNormal();
    window->raise();
    window->activateWindow();
}
