#include "ui/main_window_logic.h"

#include "portpairs/port_pair_library.h"
#include "ui/tray_logic.h"

namespace clst {

MainWindowController::MainWindowController(MainWindowView& view, PortSettingsHandOver& dialog,
                                           DiscoveryBackend& backend, PortPairLibrary& pairs,
                                           const MainWindowArguments& args)
    : view_(view),
      pairs_(pairs),
      discovery_(backend),
      control_(view, dialog, args.comPort, args.index, args.serialParams),
      autorun_(args.autorun) {}

bool MainWindowController::OnInitDialog() {
    view_.InstallTrayIcon(kTrayStartTip, kIconNotConnected);
    if (!discovery_.ListClSerPorts()) {
        view_.ShowMessage(kNoBoardsMessage, "", kMbOk);
        return false;
    }
    control_.m_clserPorts = discovery_.m_clserPorts;
    control_.m_clserRoutes = discovery_.m_clserRoutes;
    view_.SetSettingsDialogClSerPorts(discovery_.m_clserPorts);
    RefreshComPortList();
    control_.ApplyStartupSelection();
    control_.UpdateStatusTexts();
    return true;
}

void MainWindowController::RefreshComPortList() {
    discovery_.RefreshComPortList();
    control_.m_comPorts = discovery_.m_comPorts;
}

bool MainWindowController::OnCommand(uint32_t commandId) {
    switch (commandId) {
        case kCmdConnect:
        case kCmdTrayConnect:
            control_.Connect();
            return true;
        case kCmdDisconnect:
        case kCmdTrayDisconnect:
            control_.Disconnect();
            return true;
        case kCmdExit:
        case kCmdTrayExit:
            OnExit();
            return true;
        case kCmdClearEcho:
        case kCmdTrayClearEcho:
            view_.ClearEchoList();
            return true;
        case kCmdPortSettings:
        case kCmdTrayPortSettings:
            control_.OnPortSettings();
            return true;
        case kCmdVirtualPorts:
        case kCmdTrayVirtualPorts:
            OnVirtualComPorts();
            return true;
        case kCmdEcho:
        case kCmdTrayEcho:
            OnEcho();
            return true;
        case kCmdTrayShow:
            view_.ShowFromTray();
            return true;
        case kCmdAbout:
        case kCmdSystemAbout:
            view_.RunAboutBox();
            return true;
        default:
            return false;
    }
}

void MainWindowController::OnExit() {
    if (view_.ShowMessage(kExitQuestion, "", kMbOkCancel | kMbIconExclamation) != kIdOk) {
        return;
    }
    pairs_.VcpRelease();
    control_.Disconnect();
    view_.EndProgram();
}

void MainWindowController::OnEcho() {
    // Flips the setting and the relay's flag, so a running relay follows at
    // once, and refreshes the echo pane.
    control_.ToggleEcho();
    const bool echo = control_.m_settings.echo;
    view_.SetMenuItemChecked(kCmdEcho, echo);
    view_.SetTrayEcho(echo);
}

void MainWindowController::OnVirtualComPorts() {
    RefreshComPortList();
    if (view_.VirtualPortDialogExists()) {
        view_.BringVirtualPortDialogToTop();
    } else {
        view_.RunVirtualPortDialog(control_.m_comPorts);
    }
    RefreshComPortList();
    control_.UpdateStatusTexts();
}

}  // namespace clst
