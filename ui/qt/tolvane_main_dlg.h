// The main window: the echo list above four status panes, the menu bar, and
// the tray icon it hides into. Its rules live in MainWindowController; this
// class only shows them and forwards menus, timers and the tray.
#pragma once

#include <QMainWindow>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ui/main_window_logic.h"
#include "ui/qt/qt_message_box.h"
#include "ui/qt/system_tray.h"

class QAction;
class QLabel;
class QMenu;
class QTimer;
class EchoListView;
class CPortSettingDlg;
class CVirtualCOMPortDlg;

namespace clst {
class DiscoveryBackend;
class PortPairLibrary;
}  // namespace clst

// What the window works with besides its command line. Tests replace the
// message boxes and may say whether a notification area exists.
struct MainDlgServices {
    clst::PortPairLibrary* pairs = nullptr;       // required
    clst::MessageSink* messages = nullptr;        // null: message boxes over the window
    clst::DiscoveryBackend* discovery = nullptr;  // null: the system's boards and ports
    std::optional<bool> trayAvailable;            // unset: as the desktop says
    int instanceSlot = 0;                         // a later instance opens cascaded
};

class CTolvaneMainDlg : public QMainWindow, public clst::MainWindowView {
    Q_OBJECT
  public:
    // The link pane grows with its text from this width on.
    static constexpr int kLinkPaneMinWidth = 250;

    CTolvaneMainDlg(const clst::MainWindowArguments& args, bool saveToConfig,
                    const MainDlgServices& services, QWidget* parent = nullptr);
    ~CTolvaneMainDlg() override;

    // The tray icon, port discovery and the start-up selection (which may
    // connect and then hide the window). True when Camera Link ports were
    // found.
    bool OnInitDialog();
    // Shows the window, unless the start-up connection sent it to the tray:
    // then it stays hidden until the tray's Show or a double click.
    void ShowAtStart();

    // Menu and tray commands by identifier.
    bool OnCommand(uint32_t commandId) { return controller_->OnCommand(commandId); }
    void HideToTray();
    void ShowFromTray() override;

    clst::MainWindowController& controller() { return *controller_; }
    QAction* action(uint32_t commandId) const;
    QLabel* pane(int index) const;
    EchoListView* echoView() const { return echoView_; }
    // The notice above the echo list (no notification area, ...); hidden
    // until there is one, and until the user closes it.
    QLabel* notice() const { return noticeText_; }
    CSystemTray& tray() { return tray_; }
    bool trayAvailable() const { return trayAvailable_; }
    bool programEnded() const { return ended_; }

    // MainWindowView
    void SetMenuItemEnabled(uint32_t commandId, bool enabled) override;
    void SetMenuItemChecked(uint32_t commandId, bool checked) override;
    void SetTrayConnected(bool connected) override;
    void ChangeTrayIcon(int iconId) override;
    void ChangeTrayTip(const std::string& tip) override;
    void SetStatusText(int pane, const std::string& text) override;
    void StartTimer(unsigned id, unsigned periodMs) override;
    void StopTimer(unsigned id) override;
    clst::EchoSink* EchoList() override;
    void MinimizeToTray() override;
    int ShowMessage(const std::string& text, const std::string& caption, unsigned flags) override;
    void InstallTrayIcon(const std::string& tip, int iconId) override;
    void SetTrayEcho(bool echo) override;
    void ClearEchoList() override;
    void RunAboutBox() override;
    void SetSettingsDialogClSerPorts(const std::vector<std::string>& ports) override;
    bool VirtualPortDialogExists() override;
    void BringVirtualPortDialogToTop() override;
    void RunVirtualPortDialog(const std::vector<clst::PortEntry>& ports) override;
    void EndProgram() override;

  signals:
    // Exit was confirmed: the program ends.
    void exitRequested();

  protected:
    void closeEvent(QCloseEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

  private:
    void BuildMenus();
    void BuildStatusBar();
    void SizeStatusPanes();
    // Size from the template's dialog units, limited to the screen, cascaded
    // by the instance slot.
    void PlaceOnScreen();
    void ShowNotice(const QString& text);
    QAction* AddCommand(QMenu* menu, const char* text, uint32_t commandId);

    clst::QtMessageBox ownMessages_;
    clst::QtMessageBox portSettingsMessages_;
    clst::QtMessageBox virtualPortMessages_;
    clst::MessageSink* messages_;
    clst::PortPairLibrary& pairs_;
    bool trayAvailable_;
    bool trayNoticeShown_ = false;
    bool ended_ = false;
    bool startInTray_ = false;
    // Until the window manager's real frame has been seen on the screen.
    bool frameChecked_ = false;
    int instanceSlot_;
    std::unique_ptr<clst::DiscoveryBackend> ownBackend_;
    clst::DiscoveryBackend* backend_;
    CSystemTray tray_;
    EchoListView* echoView_;
    QWidget* noticeBar_;
    QLabel* noticeText_;
    QLabel* panes_[4] = {};
    std::map<uint32_t, QAction*> actions_;
    std::map<unsigned, QTimer*> timers_;
    std::unique_ptr<CPortSettingDlg> portSettings_;
    std::unique_ptr<CVirtualCOMPortDlg> virtualPorts_;
    std::unique_ptr<clst::MainWindowController> controller_;
};
