#include "ui/qt/tolvane_main_dlg.h"

#include <QAction>
#include <QCloseEvent>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QListView>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QStatusBar>
#include <QStyledItemDelegate>
#include <QSystemTrayIcon>
#include <QTimer>
#include <algorithm>

#include "connections/system_discovery_backend.h"
#include "portpairs/port_pair_library.h"
#include "ui/qt/about_dlg.h"
#include "ui/qt/echo_list_model.h"
#include "ui/qt/port_setting_dlg.h"
#include "ui/qt/virtual_com_port_dlg.h"
#include "ui/tray_logic.h"

namespace {

constexpr const char* kNoTrayNotice =
    "No notification area on this desktop: the window is minimised instead of hidden.";

// Lines cannot be selected, so the focus frame on the current line would
// only look like a selection.
class NoFocusFrameDelegate : public QStyledItemDelegate {
  public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        QStyleOptionViewItem plain(option);
        plain.state &= ~QStyle::State_HasFocus;
        QStyledItemDelegate::paint(painter, plain, index);
    }
};

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
      tray_(this) {
    setWindowTitle(QString::fromLatin1(clst::kMainWindowCaption));
    setWindowIcon(CSystemTray::LoadIcon(clst::kAppIconId));
    resize(600, 480);
    // Dialogs open centred over this window, also while it is hidden in the
    // tray and has never been shown; so it starts centred on its screen.
    if (const QScreen* screen = this->screen())
        move(screen->availableGeometry().center() - rect().center());

    echoModel_ = new EchoListModel(this);
    echoView_ = new QListView(this);
    echoView_->setObjectName(QStringLiteral("echoList"));
    echoView_->setModel(echoModel_);
    echoView_->setUniformItemSizes(true);
    echoView_->setSelectionMode(QAbstractItemView::NoSelection);
    echoView_->setItemDelegate(new NoFocusFrameDelegate(echoView_));
    echoView_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    echoView_->setLayoutMode(QListView::Batched);
    echoView_->installEventFilter(this);
    echoModel_->SetView(echoView_);
    setCentralWidget(echoView_);

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
    return &echoModel_->sink();
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
    echoModel_->Clear();
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
        statusBar()->showMessage(QString::fromLatin1(kNoTrayNotice), 15000);
    }
    ::HideToTray(this, trayAvailable_);
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
