// The main window's rules, free of any toolkit: its command table, its
// initialisation, Exit, Echo and the virtual port management command, over
// connection control and port discovery. The Qt window (ui/qt) implements
// MainWindowView and forwards its menus, timers and tray to this class.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "connections/connection_control.h"
#include "connections/port_discovery.h"
#include "ui/command_line.h"

namespace clst {

class PortPairLibrary;

// Main menu commands (Connect and Disconnect are in connection_control.h).
inline constexpr uint32_t kCmdExit = 32786;
inline constexpr uint32_t kCmdClearEcho = 32787;
inline constexpr uint32_t kCmdPortSettings = 32777;
inline constexpr uint32_t kCmdVirtualPorts = 32808;
inline constexpr uint32_t kCmdEcho = 32778;
inline constexpr uint32_t kCmdAbout = 32810;
// The about entry of the system menu.
inline constexpr uint32_t kCmdSystemAbout = 0x10;
inline constexpr int kAppIconId = 128;

inline constexpr const char* kMainWindowCaption = "ClSerTolvane";
inline constexpr const char* kNoBoardsMessage =
    "Cannot find any CameraLink boards, please check the system configuration.";
inline constexpr const char* kExitQuestion = "Do you really want to exit Tolvane?";
inline constexpr const char* kTrayStartTip = "Not connected";

// What the rules need of the window besides ConnectionView.
class MainWindowView : public ConnectionView {
  public:
    virtual void SetMenuItemChecked(uint32_t commandId, bool checked) = 0;
    virtual void InstallTrayIcon(const std::string& tip, int iconId) = 0;
    virtual void SetTrayEcho(bool echo) = 0;
    virtual void ShowFromTray() = 0;
    virtual void ClearEchoList() = 0;
    virtual void RunAboutBox() = 0;
    virtual void SetSettingsDialogClSerPorts(const std::vector<std::string>& ports) = 0;
    virtual bool VirtualPortDialogExists() = 0;
    virtual void BringVirtualPortDialogToTop() = 0;
    virtual void RunVirtualPortDialog(const std::vector<PortEntry>& ports) = 0;
    // Ends the window and with it the program.
    virtual void EndProgram() = 0;
};

class MainWindowController {
  public:
    MainWindowController(MainWindowView& view, PortSettingsHandOver& dialog,
                         DiscoveryBackend& backend, PortPairLibrary& pairs,
                         const MainWindowArguments& args);

    // After the window and its status bar exist: the tray icon, then port
    // discovery and the start-up selection. True when Camera Link ports were
    // found.
    bool OnInitDialog();
    // A menu or tray command; false for an identifier that is not ours.
    bool OnCommand(uint32_t commandId);
    void OnTimer(unsigned timerId) { control_.OnTimer(timerId); }

    void OnExit();
    void OnEcho();
    void OnVirtualComPorts();

    ConnectionControl& control() { return control_; }
    PortDiscovery& discovery() { return discovery_; }
    bool autorun() const { return autorun_; }

  private:
    // Port discovery and connection control share the COM port list.
    void RefreshComPortList();

    MainWindowView& view_;
    PortPairLibrary& pairs_;
    PortDiscovery discovery_;
    ConnectionControl control_;
    bool autorun_;
};

}  // namespace clst
