// The main window's rules over a recording window, a scripted system (one
// board with two Camera Link ports, one pair) and a port-pair library that
// counts its releases.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "portpairs/port_pair_library.h"
#include "relay/relay_state.h"
#include "tests/support/connection_fakes.h"
#include "ui/main_window_logic.h"
#include "ui/tray_logic.h"

using namespace clst;
using Message = clst::testing::RecordedMessage;

namespace {

class RecordingWindow : public clst::testing::RecordingConnectionView<MainWindowView> {
  public:
    // The check marks are the offscreen window test's.
    void SetMenuItemChecked(uint32_t, bool) override {}
    void InstallTrayIcon(const std::string& text, int iconId) override {
        tip = text;
        icon = iconId;
    }
    void SetTrayEcho(bool) override {}
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

    bool virtualDialogOpen = false;
    int shown = 0, cleared = 0, abouts = 0, virtualDialogRaised = 0, ended = 0;
    std::vector<std::string> dialogClSerPorts;
    std::vector<PortEntry> virtualDialogPorts;
    std::function<void()> duringVirtualDialog;
};

class CountingPairs : public PortPairLibrary {
  public:
    CountingPairs() : PortPairLibrary("/nonexistent/libMaroVirtualComPort.so") {}
    int32_t VcpRelease() override { return ++released, 1; }
    int released = 0;
};

class MainWindowLogicTest : public ::testing::Test {
  protected:
    MainWindowLogicTest() {
        dialog_.answer = kIdCancel;
        system_.boardCountText = "1";
        system_.boards = {{0, {"EmuBoard", 2, 0}}};
        system_.pairs = {{"CNC5", "COM5", "ZADURUV5"}};
    }
    void TearDown() override { g_echoEnabled = false; }
    // True when Camera Link ports were found.
    bool Start() {
        c = std::make_unique<MainWindowController>(window_, dialog_, system_, pairs_,
                                                   MainWindowArguments{});
        return c->OnInitDialog();
    }

    RecordingWindow window_;
    clst::testing::FakeSettingsDialog dialog_;
    clst::testing::FakeBackend system_;
    CountingPairs pairs_;
    std::unique_ptr<MainWindowController> c;
};

}  // namespace

TEST_F(MainWindowLogicTest, WithoutBoardsSaysSoAfterTheTrayIconIsUp) {
    system_.boardCountText = "0";
    EXPECT_FALSE(Start());
    EXPECT_EQ(std::tie(window_.tip, window_.icon), std::tuple("Not connected", kIconNotConnected));
    EXPECT_EQ(window_.messages,
              (std::vector<Message>{{"Cannot find any CameraLink boards, please check the "
                                     "system configuration.",
                                     "", kMbOk}}));
}

TEST_F(MainWindowLogicTest, InitSelectsTheFirstPairAndEchoFollowsBothCommands) {
    EXPECT_TRUE(Start());
    EXPECT_EQ(window_.dialogClSerPorts,
              (std::vector<std::string>{"0. EmuBoard_Port0", "1. EmuBoard_Port1"}));
    EXPECT_EQ(c->control().m_settings.devicePortName, "ZADURUV5");
    EXPECT_EQ(window_.panes, (std::vector<std::string>{"Not connected", "COM5<->0. EmuBoard_Port0",
                                                       "9600 n 8 1", "Echo off"}));
    for (const auto& [command, on] : {std::pair{kCmdEcho, true}, {kCmdTrayEcho, false}}) {
        c->OnCommand(command);
        EXPECT_EQ(window_.panes[3], on ? "Echo on" : "Echo off");
        EXPECT_EQ(g_echoEnabled.load(), on);
        EXPECT_EQ(c->control().m_settings.echo, on);
    }
}

TEST_F(MainWindowLogicTest, ExitAsksAndOnlyOkReleasesAndEnds) {
    Start();
    window_.answers = {kIdCancel, kIdOk};
    EXPECT_TRUE(c->OnCommand(kCmdExit));
    EXPECT_EQ(window_.messages, (std::vector<Message>{{"Do you really want to exit Tolvane?", "",
                                                       kMbOkCancel | kMbIconExclamation}}));
    EXPECT_EQ(pairs_.released + window_.ended, 0);

    EXPECT_TRUE(c->OnCommand(kCmdTrayExit));
    EXPECT_EQ(std::tie(pairs_.released, window_.ended), std::tuple(1, 1));
}

TEST_F(MainWindowLogicTest, VirtualPortCommandRefreshesAroundTheDialog) {
    Start();
    // A pair installed since start shows in the dialog's list; the selected
    // pair removed in the dialog drops out of the selection afterwards.
    system_.pairs.push_back({"CNC7", "COM7", "ZADURUV7"});
    window_.duringVirtualDialog = [&] { system_.pairs.erase(system_.pairs.begin()); };
    EXPECT_TRUE(c->OnCommand(kCmdTrayVirtualPorts));
    ASSERT_EQ(window_.virtualDialogPorts.size(), 2u);
    EXPECT_EQ(window_.virtualDialogPorts[1].comPortName, "COM7");
    EXPECT_EQ(c->control().m_comPorts, (std::vector<PortEntry>{{"CNC7", "COM7", "ZADURUV7"}}));
    EXPECT_EQ(window_.panes[1], "<->0. EmuBoard_Port0");

    // Already open: brought to the top, not run again.
    window_.virtualDialogOpen = true;
    window_.virtualDialogPorts.clear();
    c->OnCommand(kCmdVirtualPorts);
    EXPECT_EQ(window_.virtualDialogRaised, 1);
    EXPECT_TRUE(window_.virtualDialogPorts.empty());
}

TEST_F(MainWindowLogicTest, MenuAndTrayIdentifiersReachTheSameActions) {
    Start();
    for (uint32_t id : {kCmdClearEcho, kCmdTrayClearEcho, kCmdAbout, kCmdSystemAbout,
                        kCmdPortSettings, kCmdTrayPortSettings, kCmdTrayShow})
        EXPECT_TRUE(c->OnCommand(id)) << id;
    EXPECT_EQ(window_.cleared, 2);
    EXPECT_EQ(window_.abouts, 2);
    EXPECT_EQ(dialog_.runs, 2);
    EXPECT_EQ(window_.shown, 1);
    EXPECT_FALSE(c->OnCommand(12345));
    EXPECT_TRUE(window_.messages.empty());
}
