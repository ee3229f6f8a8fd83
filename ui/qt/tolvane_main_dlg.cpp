#include "ui/qt/tolvane_main_dlg.h"

#include <QAction>
#include <QCloseEvent>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>

#include "connections/system_discovery_backend.h"
#include "portpairs/port_pair_library.h"
#include "ui/qt/about_dlg.h"
#include "ui/qt/dialog_frame.h"
#include "ui/qt/echo_list_view.h"
#include "ui/qt/port_setting_dlg.h"
#include "ui/qt/virtual_com_port_dlg.h"
#include "ui/tray_logic.h"

namespace {

constexpr const char* kNoTrayNotice =
    "No notification area on this desktop: the window is minimised instead of hidden.";
// The window's template: 395 x 298 dialog units below its menu bar.
constexpr clst::Size kMainWindowUnits{395, 298};

bool IsSwallowedKey(const QEvent* event) {
    if (event->type() != QEvent::KeyPress && event->type() != QEvent::ShortcutOverride) {
        return false;
    }
    const int key = static_cast<const QKeyEvent*>(event)->key();
    return key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Escape;
}

}  // namespace

CTolvaneMainDlg::CTolvaneMainDlg(const clst::MainWindowArguments& args, bool saveToConfig,
                                 const MainDlgServices& services, QWidget* parent)
    : QMainWindow(parent),
      ownMessages_(this),
      messages_(services.messages != nullptr ? services.messages : &ownMessages_),
      pairs_(*services.pairs),
      trayAvailable_(services.trayAvailable.value_or(QSystemTrayIcon::isSystemTrayAvailable())),
      instanceSlot_(services.instanceSlot),
      tray_(this) {
    setWindowTitle(QString::fromLatin1(clst::kMainWindowCaption));
    setWindowIcon(CSystemTray::LoadIcon(clst::kAppIconId));

    echoView_ = new EchoListView(this);
    echoView_->setObjectName(QStringLiteral("echoList"));
    echoView_->installEventFilter(this);
    // Notices sit above the list, never over the status panes, and stay
    // until the user closes them.
    noticeBar_ = new QWidget(this);
    noticeBar_->setObjectName(QStringLiteral("noticeBar"));
    noticeBar_->setBackgroundRole(QPalette::ToolTipBase);
    noticeBar_->setAutoFillBackground(true);
    noticeText_ = new QLabel(noticeBar_);
    noticeText_->setObjectName(QStringLiteral("notice"));
    noticeText_->setWordWrap(true);
    noticeText_->setForegroundRole(QPalette::ToolTipText);
    auto* dismiss = new QToolButton(noticeBar_);
    dismiss->setObjectName(QStringLiteral("dismissNotice"));
    dismiss->setAutoRaise(true);
    dismiss->setText(QStringLiteral("\u00d7"));
    dismiss->setToolTip(QStringLiteral("Close this notice"));
    connect(dismiss, &QToolButton::clicked, noticeBar_, &QWidget::hide);
    auto* noticeLayout = new QHBoxLayout(noticeBar_);
    noticeLayout->setContentsMargins(6, 3, 3, 3);
    noticeLayout->addWidget(noticeText_, 1);
    noticeLayout->addWidget(dismiss, 0, Qt::AlignTop);
    noticeBar_->hide();
    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(noticeBar_);
    layout->addWidget(echoView_, 1);
    setCentralWidget(central);

    BuildMenus();
    BuildStatusBar();

    if (services.discovery != nullptr) {
        backend_ = services.discovery;
    } else {
        ownBackend_ = std::make_unique<clst::SystemDiscoveryBackend>(pairs_, *messages_);
        backend_ = ownBackend_.get();
    }
    // A dialog's message boxes sit over that dialog.
    portSettings_ = std::make_unique<CPortSettingDlg>(
        saveToConfig, services.messages != nullptr ? *services.messages : portSettingsMessages_,
        this);
    portSettingsMessages_.SetParent(portSettings_.get());
    virtualPorts_ = std::make_unique<CVirtualCOMPortDlg>(
        pairs_, services.messages != nullptr ? *services.messages : virtualPortMessages_, this);
    virtualPortMessages_.SetParent(virtualPorts_.get());
    controller_ = std::make_unique<clst::MainWindowController>(*this, *portSettings_, *backend_,
                                                               pairs_, args);
    // Dialogs open centred over this window, also while it is hidden in the
    // tray and has never been shown; so it is placed from the start.
    PlaceOnScreen();
}

void CTolvaneMainDlg::PlaceOnScreen() {
    // Dialog units of the window's font, as Windows measures them: the
    // average width of the letters, and the font's height.
    const QFontMetrics metrics(font());
    const QString letters = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    const int baseX = (metrics.horizontalAdvance(letters) / 26 + 1) / 2;
    clst::Size wanted = clst::DialogUnitsToPixels(kMainWindowUnits, baseX, metrics.height());
    wanted.height += menuBar()->sizeHint().height();
    ::PlaceOnScreen(*this, wanted, instanceSlot_);
}

CTolvaneMainDlg::~CTolvaneMainDlg() {
    // Connection control stops the relay before the echo list goes.
    controller_.reset();
}

QAction* CTolvaneMainDlg::AddCommand(QMenu* menu, const char* text, uint32_t commandId) {
    QAction* action = menu->addAction(QString::fromLatin1(text));
    action->setData(commandId);
    actions_[commandId] = action;
    connect(action, &QAction::triggered, this, [this, commandId] { OnCommand(commandId); });
    return action;
}

void CTolvaneMainDlg::BuildMenus() {
    QMenu* port = menuBar()->addMenu(QStringLiteral("Port"));
    AddCommand(port, "Connect", clst::kCmdConnect);
    AddCommand(port, "Disconnect", clst::kCmdDisconnect);
    port->addSeparator();
    AddCommand(port, "Exit", clst::kCmdExit);
    QMenu* view = menuBar()->addMenu(QStringLiteral("View"));
    AddCommand(view, "Clear Echo", clst::kCmdClearEcho);
    QMenu* settings = menuBar()->addMenu(QStringLiteral("Settings"));
    AddCommand(settings, "Port Settings", clst::kCmdPortSettings);
    AddCommand(settings, "Virtual COM Port Management", clst::kCmdVirtualPorts);
    settings->addSeparator();
    AddCommand(settings, "Echo", clst::kCmdEcho)->setCheckable(true);
    QMenu* info = menuBar()->addMenu(QStringLiteral("Info"));
    AddCommand(info, "About", clst::kCmdAbout);
}

void CTolvaneMainDlg::BuildStatusBar() {
    QStatusBar* bar = statusBar();
    bar->setSizeGripEnabled(true);
    for (int i = 0; i < 4; ++i) {
        panes_[i] = new QLabel(bar);
        panes_[i]->setObjectName(QStringLiteral("pane%1").arg(i));
        bar->addWidget(panes_[i], i == 3 ? 1 : 0);
    }
    panes_[1]->setMinimumWidth(kLinkPaneMinWidth);
    SizeStatusPanes();
}

void CTolvaneMainDlg::SizeStatusPanes() {
    // Widths in pixels belong to one font; the state and line-settings panes
    // are made as wide as their longest texts in the font in use instead.
    for (const int pane : {0, 2}) {
        QLabel* label = panes_[pane];
        const QFontMetrics metrics(label->font());
        int width = 0;
        for (const auto& text : clst::StatusPaneTexts(pane))
            width = std::max(width, metrics.horizontalAdvance(QString::fromStdString(text)));
        const QMargins margins = label->contentsMargins();
        label->setFixedWidth(width + margins.left() + margins.right() + 2 * label->margin() +
                             metrics.averageCharWidth());
    }
}

bool CTolvaneMainDlg::OnInitDialog() {
    return controller_->OnInitDialog();
}

void CTolvaneMainDlg::ShowAtStart() {
    if (startInTray_) {
        HideToTray();
    } else {
        show();
    }
}

QAction* CTolvaneMainDlg::action(uint32_t commandId) const {
    const auto it = actions_.find(commandId);
    return it == actions_.end() ? nullptr : it->second;
}

QLabel* CTolvaneMainDlg::pane(int index) const {
    return index >= 0 && index < 4 ? panes_[index] : nullptr;
}

void CTolvaneMainDlg::SetMenuItemEnabled(uint32_t commandId, bool enabled) {
    if (QAction* a = action(commandId))
        a->setEnabled(enabled);
}

void CTolvaneMainDlg::SetMenuItemChecked(uint32_t commandId, bool checked) {
    if (QAction* a = action(commandId))
        a->setChecked(checked);
}

void CTolvaneMainDlg::SetTrayConnected(bool connected) {
    tray_.SetConnected(connected);
}
void CTolvaneMainDlg::ChangeTrayIcon(int iconId) {
    tray_.ChangeIcon(iconId);
}
void CTolvaneMainDlg::ChangeTrayTip(const std::string& tip) {
    tray_.ChangeTip(QString::fromLatin1(tip));
}
void CTolvaneMainDlg::SetTrayEcho(bool echo) {
    tray_.SetEcho(echo);
}

void CTolvaneMainDlg::SetStatusText(int pane, const std::string& text) {
    if (QLabel* label = this->pane(pane))
        label->setText(QString::fromLatin1(text));
}

void CTolvaneMainDlg::StartTimer(unsigned id, unsigned periodMs) {
    QTimer*& timer = timers_[id];
    if (timer == nullptr) {
        timer = new QTimer(this);
        connect(timer, &QTimer::timeout, this, [this, id] { controller_->OnTimer(id); });
    }
    timer->start(static_cast<int>(periodMs));
}

void CTolvaneMainDlg::StopTimer(unsigned id) {
    const auto it = timers_.find(id);
    if (it != timers_.end())
        it->second->stop();
}

clst::EchoSink* CTolvaneMainDlg::EchoList() {
    return &echoView_->sink();
}

void CTolvaneMainDlg::MinimizeToTray() {
    // At start the window has not been shown yet. Shown and withdrawn again
    // at once, a window manager may lose it for good (twm did), so it starts
    // in the tray instead.
    if (!isVisible()) {
        startInTray_ = true;
        return;
    }
    QTimer::singleShot(0, this, [this] { HideToTray(); });
}

int CTolvaneMainDlg::ShowMessage(const std::string& text, const std::string& caption,
                                 unsigned flags) {
    return messages_->ShowMessage(text, caption, flags);
}

void CTolvaneMainDlg::InstallTrayIcon(const std::string& tip, int iconId) {
    tray_.Install(
        QString::fromLatin1(tip), iconId, [this](uint32_t id) { OnCommand(id); },
        [this] { ShowFromTray(); });
}

void CTolvaneMainDlg::ClearEchoList() {
    echoView_->Clear();
}

void CTolvaneMainDlg::RunAboutBox() {
    CAboutDlg about(this);
    about.exec();
}

void CTolvaneMainDlg::SetSettingsDialogClSerPorts(const std::vector<std::string>& ports) {
    portSettings_->SetClSerPorts(ports);
}

bool CTolvaneMainDlg::VirtualPortDialogExists() {
    return virtualPorts_->WindowExists();
}
void CTolvaneMainDlg::BringVirtualPortDialogToTop() {
    virtualPorts_->BringToTop();
}

void CTolvaneMainDlg::RunVirtualPortDialog(const std::vector<clst::PortEntry>& ports) {
    virtualPorts_->LoadPortEntries(ports);
    virtualPorts_->DoModal();
}

void CTolvaneMainDlg::EndProgram() {
    ended_ = true;
    tray_.Remove();
    hide();
    emit exitRequested();
}

void CTolvaneMainDlg::HideToTray() {
    if (!trayAvailable_ && !trayNoticeShown_) {
        trayNoticeShown_ = true;
        ShowNotice(QString::fromLatin1(kNoTrayNotice));
    }
    ::HideToTray(this, trayAvailable_);
}

void CTolvaneMainDlg::ShowNotice(const QString& text) {
    noticeText_->setText(text);
    noticeBar_->show();
}

void CTolvaneMainDlg::ShowFromTray() {
    ::ShowFromTray(this);
}

void CTolvaneMainDlg::closeEvent(QCloseEvent* event) {
    // Closing only hides the window; Exit ends the program.
    if (ended_) {
        event->accept();
        return;
    }
    event->ignore();
    HideToTray();
}

void CTolvaneMainDlg::moveEvent(QMoveEvent* event) {
    QMainWindow::moveEvent(event);
    // The frame is estimated until the window manager has drawn it; the
    // first time it is known, the window is pulled onto the screen if the
    // estimate fell short.
    if (!frameChecked_ && isVisible() && FrameKnown(*this)) {
        frameChecked_ = true;
        KeepFrameOnScreen(*this);
    }
}

void CTolvaneMainDlg::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)
        SizeStatusPanes();
    // Minimising goes to the tray where there is one.
    if (event->type() == QEvent::WindowStateChange && trayAvailable_ && isMinimized() &&
        isVisible()) {
        QTimer::singleShot(0, this, [this] { ::HideToTray(this, true); });
    }
}

bool CTolvaneMainDlg::eventFilter(QObject* watched, QEvent* event) {
    if (IsSwallowedKey(event))
        return true;
    return QMainWindow::eventFilter(watched, event);
}

void CTolvaneMainDlg::keyPressEvent(QKeyEvent* event) {
    if (IsSwallowedKey(event)) {
        event->accept();
        return;
    }
    QMainWindow::keyPressEvent(event);
}
