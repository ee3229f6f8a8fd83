// The main window's rules over a recording window, a scripted system and a
// port-pair library that counts what it is asked.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "portpairs/port_pair_library.h"
#include "relay/relay_state.h"
#include "tests/support/connection_fakes.h"
#include "ui/main_window_logic.h"
#include "ui/tray_logic.h"

using namespace clst;

namespace {

class RecordingWindow : public clst::testing::RecordingConnectionView<MainWindowView> {
  public:
    void SetMenuItemChecked(uint32_t id, bool checked) override { checked_[id] = checked; }
    void InstallTrayIcon(const std::string& tip_, int iconId) override {
        tip = tip_;
        icon = iconId;
        ++trayInstalls;
    }
    void SetTrayEcho(bool echo) override { trayEcho = echo; }
    void ShowFromTray() override { ++shown; }
    void ClearEchoList() override { ++cleared; }
    void RunAboutBox() override { ++abouts; }
    void SetSettingsDialogClSerPorts(const std::vector<std::string>& ports) override {
        dialogClSerPorts = ports;
    }
    bool VirtualPortDialogExists() override { return virtualDialogOpen; }
    void BringVirtualPortDialogToTop() override { ++virtualDialogRaised; }
    void RunVirtualPortDialog(const std::vector<PortEntry>& ports) override {
        virtualDialogPorts = ports;
        if (duringVirtualDialog)
            duringVirtualDialog();
    }
    void EndProgram() override { ++ended; }

    std::map<uint32_t, bool> checked_;
    bool trayEcho = false, virtualDialogOpen = false;
    int trayInstalls = 0, shown = 0, cleared = 0, abouts = 0, virtualDialogRaised = 0, ended = 0;
    std::vector<std::string> dialogClSerPorts;
    std::vector<PortEntry> virtualDialogPorts;
    std::function<void()> duringVirtualDialog;
};

// One board with two Camera Link ports (or none), no system COM ports, and
// one pair.
struct ScriptedSystem : clst::testing::FakeBackend {
    ScriptedSystem() {
        boardCountText = "1";
        boards = {{0, {"EmuBoard", 2, 0}}};
        pairs = {{"CNC5", "COM5", "ZADURUV5"}};
    }
};

class CountingPairs : public PortPairLibrary {
  public:
    CountingPairs() : PortPairLibrary("/nonexistent/libMaroVirtualComPort.so") {}
    int32_t VcpRelease() override {
        ++released;
        return 1;
    }
    int released = 0;
};

class MainWindowLogicTest : public ::testing::Test {
  protected:
    void SetUp() override { dialog_.answer = kIdCancel; }
    MainWindowController& Make(const MainWindowArguments& args = {}) {
        controller_ =
            std::make_unique<MainWindowController>(window_, dialog_, system_, pairs_, args);
        return *controller_;
    }
    void TearDown() override { g_echoEnabled = false; }

    RecordingWindow window_;
    clst::testing::FakeSettingsDialog dialog_;
    ScriptedSystem system_;
    CountingPairs pairs_;
    std::unique_ptr<MainWindowController> controller_;
};

}  // namespace

TEST_F(MainWindowLogicTest, WithoutBoardsSaysSoOnceAndConnectRefusesLater) {
    system_.boardCountText = "0";
    auto& c = Make();
    EXPECT_FALSE(c.OnInitDialog());
    EXPECT_EQ(window_.trayInstalls, 1);
    EXPECT_EQ(window_.tip, "Not connected");
    EXPECT_EQ(window_.icon, kIconNotConnected);
    ASSERT_EQ(window_.messages.size(), 1u);
    EXPECT_EQ(window_.messages[0].text,
              "Cannot find any CameraLink boards, please check the system configuration.");
    EXPECT_EQ(window_.messages[0].caption, "");
    EXPECT_EQ(window_.messages[0].flags, kMbOk);
    EXPECT_TRUE(c.control().m_comPorts.empty());

    EXPECT_TRUE(c.OnCommand(kCmdConnect));  // refused, with connection control's message
    EXPECT_EQ(window_.messages.size(), 2u);
    EXPECT_FALSE(c.control().m_bConnected);
}

TEST_F(MainWindowLogicTest, InitHandsThePortsOnAndSelectsTheFirstPair) {
    auto& c = Make();
    EXPECT_TRUE(c.OnInitDialog());
    EXPECT_TRUE(window_.messages.empty());
    ASSERT_EQ(window_.dialogClSerPorts.size(), 2u);
    EXPECT_EQ(c.control().m_clserPorts, window_.dialogClSerPorts);
    ASSERT_EQ(c.control().m_comPorts.size(), 1u);
    EXPECT_EQ(c.control().m_settings.comPortName, "COM5");
    EXPECT_EQ(c.control().m_settings.devicePortName, "ZADURUV5");
    EXPECT_EQ(window_.panes[0], "Not connected");
    EXPECT_EQ(window_.panes[1], "COM5<->" + window_.dialogClSerPorts[0]);
    EXPECT_EQ(window_.panes[3], "Echo off");
    EXPECT_TRUE(window_.menu.at(kCmdConnect));
    EXPECT_FALSE(window_.menu.at(kCmdDisconnect));
    EXPECT_EQ(window_.minimized, 0);
}

TEST_F(MainWindowLogicTest, ExitAsksAndOnlyOkReleasesAndEnds) {
    auto& c = Make();
    c.OnInitDialog();
    window_.answers = {kIdCancel};
    EXPECT_TRUE(c.OnCommand(kCmdExit));
    ASSERT_EQ(window_.messages.size(), 1u);
    EXPECT_EQ(window_.messages[0].text, "Do you really want to exit Tolvane?");
    EXPECT_EQ(window_.messages[0].flags, kMbOkCancel | kMbIconExclamation);
    EXPECT_EQ(pairs_.released, 0);
    EXPECT_EQ(window_.ended, 0);

    window_.answers = {kIdOk};
    EXPECT_TRUE(c.OnCommand(kCmdTrayExit));
    EXPECT_EQ(pairs_.released, 1);
    EXPECT_EQ(window_.ended, 1);
    EXPECT_FALSE(c.control().m_bConnected);
}

TEST_F(MainWindowLogicTest, EchoTogglesBothCheckMarksThePaneAndTheRelayFlag) {
    auto& c = Make();
    c.OnInitDialog();
    c.OnCommand(kCmdEcho);
    EXPECT_TRUE(window_.checked_.at(kCmdEcho));
    EXPECT_TRUE(window_.trayEcho);
    EXPECT_EQ(window_.panes[3], "Echo on");
    EXPECT_TRUE(g_echoEnabled.load());

    c.OnCommand(kCmdTrayEcho);
    EXPECT_FALSE(window_.checked_.at(kCmdEcho));
    EXPECT_FALSE(window_.trayEcho);
    EXPECT_EQ(window_.panes[3], "Echo off");
    EXPECT_FALSE(g_echoEnabled.load());
    EXPECT_FALSE(c.control().m_settings.echo);
}

TEST_F(MainWindowLogicTest, VirtualPortCommandRefreshesAroundTheDialog) {
    auto& c = Make();
    c.OnInitDialog();
    // A pair installed since start shows in the dialog's list; the selected
    // pair removed in the dialog drops out of the selection afterwards.
    system_.pairs.push_back({"CNC7", "COM7", "ZADURUV7"});
    window_.duringVirtualDialog = [&] { system_.pairs.erase(system_.pairs.begin()); };
    EXPECT_TRUE(c.OnCommand(kCmdTrayVirtualPorts));
    ASSERT_EQ(window_.virtualDialogPorts.size(), 2u);
    EXPECT_EQ(window_.virtualDialogPorts[1].comPortName, "COM7");
    ASSERT_EQ(c.control().m_comPorts.size(), 1u);
    EXPECT_EQ(c.control().m_comPorts[0].comPortName, "COM7");
    EXPECT_EQ(c.discovery().m_comPorts, c.control().m_comPorts);
    EXPECT_EQ(c.control().m_settings.comPortName, "");
    EXPECT_EQ(window_.panes[1], "<->" + window_.dialogClSerPorts[0]);

    // Already open: brought to the top, not run again.
    window_.virtualDialogOpen = true;
    window_.virtualDialogPorts.clear();
    c.OnCommand(kCmdVirtualPorts);
    EXPECT_EQ(window_.virtualDialogRaised, 1);
    EXPECT_TRUE(window_.virtualDialogPorts.empty());
}

TEST_F(MainWindowLogicTest, MenuAndTrayIdentifiersReachTheSameActions) {
    auto& c = Make();
    c.OnInitDialog();
    for (uint32_t id : {kCmdClearEcho, kCmdTrayClearEcho})
        c.OnCommand(id);
    EXPECT_EQ(window_.cleared, 2);
    for (uint32_t id : {kCmdAbout, kCmdSystemAbout})
        c.OnCommand(id);
    EXPECT_EQ(window_.abouts, 2);
    for (uint32_t id : {kCmdPortSettings, kCmdTrayPortSettings})
        c.OnCommand(id);
    EXPECT_EQ(dialog_.runs, 2);
    EXPECT_TRUE(c.OnCommand(kCmdTrayShow));
    EXPECT_EQ(window_.shown, 1);
    EXPECT_FALSE(c.OnCommand(12345));
    EXPECT_FALSE(c.OnCommand(kCmdTrayShow + 100));
    EXPECT_TRUE(window_.messages.empty());
}

TEST(TrayLogicTest, TipMenuStatesAndMouseMessages) {
    EXPECT_EQ(TrayLogic::ClipTip(std::string(200, 'x')), std::string(127, 'x'));
    EXPECT_EQ(TrayLogic::ClipTip("Connected"), "Connected");

    TrayLogic tray;
    EXPECT_EQ(tray.MenuState(), (TrayMenuState{true, false, false, kCmdTrayShow}));
    tray.SetConnected(true);
    tray.SetEcho(true);
    EXPECT_EQ(tray.MenuState(), (TrayMenuState{false, true, true, kCmdTrayShow}));

    EXPECT_EQ(tray.HandleIconMessage(kTrayMenuId, kMouseRightButtonUp, true), TrayAction::ShowMenu);
    EXPECT_EQ(tray.HandleIconMessage(kTrayMenuId, kMouseLeftDoubleClick, true),
              TrayAction::Restore);
    EXPECT_EQ(tray.HandleIconMessage(kTrayMenuId, 0x201, true), TrayAction::Nothing);
    EXPECT_EQ(tray.HandleIconMessage(kTrayMenuId + 1, kMouseRightButtonUp, true),
              TrayAction::Ignore);
    EXPECT_EQ(tray.HandleIconMessage(kTrayMenuId, kMouseLeftDoubleClick, false),
              TrayAction::Ignore);
    // Only the low word is the mouse message.
    EXPECT_EQ(tray.HandleIconMessage(kTrayMenuId, 0x10000 | kMouseRightButtonUp, true),
              TrayAction::ShowMenu);
}
