// The main window's rules over a recording window, a scripted system and a
// port-pair library that counts what it is asked.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "portpairs/port_pair_library.h"
#include "relay/relay_state.h"
#include "tests/support/message_recorder.h"
#include "ui/main_window_logic.h"
#include "ui/tray_logic.h"

using namespace clst;

namespace {

using Message = clst::testing::RecordedMessage;

class RecordingWindow : public MainWindowView, public clst::testing::MessageRecorder {
  public:
    void SetMenuItemEnabled(uint32_t id, bool enabled) override { enabled_[id] = enabled; }
    void SetTrayConnected(bool connected) override { trayConnected = connected; }
    void ChangeTrayIcon(int id) override { trayIcon = id; }
    void ChangeTrayTip(const std::string& text) override { trayTip = text; }
    void SetStatusText(int pane, const std::string& text) override {
        panes.at(static_cast<size_t>(pane)) = text;
    }
    int ShowMessage(const std::string& text, const std::string& caption, unsigned flags) override {
        return Record(text, caption, flags);
    }
    void StartTimer(unsigned, unsigned) override {}
    void StopTimer(unsigned) override {}
    EchoSink* EchoList() override { return &sink; }
    void MinimizeToTray() override { ++minimized; }

    void SetMenuItemChecked(uint32_t id, bool checked) override { checked_[id] = checked; }
    void InstallTrayIcon(const std::string& tip, int iconId) override {
        trayTip = tip;
        trayIcon = iconId;
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

    std::map<uint32_t, bool> enabled_, checked_;
    bool trayConnected = false, trayEcho = false, virtualDialogOpen = false;
    int trayIcon = 0, trayInstalls = 0, minimized = 0, shown = 0, cleared = 0, abouts = 0,
        virtualDialogRaised = 0, ended = 0;
    std::string trayTip;
    std::vector<std::string> panes = std::vector<std::string>(4);
    QueuedEchoSink sink;
    std::vector<std::string> dialogClSerPorts;
    std::vector<PortEntry> virtualDialogPorts;
    std::function<void()> duringVirtualDialog;
};

class NoDialog : public PortSettingsHandOver {
  public:
    bool WindowExists() override { return false; }
    void BringToTop() override {}
    void SetComPorts(const std::vector<PortEntry>&) override {}
    void SetSettings(const ConnectionSettings&) override {}
    ConnectionSettings GetSettings() override { return {}; }
    int DoModal() override {
        ++runs;
        return kIdCancel;
    }
    int runs = 0;
};

// One board with two Camera Link ports (or none), no system COM ports, and
// the pairs of `pairs`.
class ScriptedSystem : public DiscoveryBackend {
  public:
    bool GetVersion(uint32_t& platformId) override {
        platformId = 2;
        return true;
    }
    uint32_t QueryDosDevice(char* buffer, uint32_t size) override {
        if (size < 2)
            return 0;
        buffer[0] = buffer[1] = '\0';
        return 2;
    }
    uint32_t LastError() override { return 0; }
    void SetLastError(uint32_t) override {}
    int32_t DeviceLimit() override { return 4; }
    int32_t QuerySystemInfo(uint32_t, char* buffer, uint32_t& length) override {
        std::snprintf(buffer, length, "%d", boards);
        return 0;
    }
    void* OpenDevice(int32_t index) override { return index < boards ? this : nullptr; }
    int32_t QueryBoardInt(void*, const char* key) override {
        return std::strcmp(key, "ports/serial") == 0 ? 2 : 0;
    }
    const char* QueryBoardText(void*, const char*) override { return "EmuBoard"; }
    void CloseDevice(void*) override {}
    int32_t VcpInitialize() override { return 1; }
    int32_t VcpGetLastErrorText(char*, int32_t) override { return 0; }
    int32_t VcpGetPairCount() override { return static_cast<int32_t>(pairs.size()); }
    int32_t VcpGetPair(int32_t index, char* pairName, char* first, char* second) override {
        const PortEntry& p = pairs.at(static_cast<size_t>(index));
        std::snprintf(pairName, 20, "%s", p.pairName.c_str());
        std::snprintf(first, 20, "%s", p.comPortName.c_str());
        std::snprintf(second, 20, "%s", p.devicePortName.c_str());
        return 1;
    }
    void ShowWarning(const std::string&) override {}

    int boards = 1;
    std::vector<PortEntry> pairs = {{"CNC5", "COM5", "ZADURUV5"}};
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
    MainWindowController& Make(const MainWindowArguments& args = {}) {
        controller_ =
            std::make_unique<MainWindowController>(window_, dialog_, system_, pairs_, args);
        return *controller_;
    }
    void TearDown() override { g_echoEnabled = false; }

    RecordingWindow window_;
    NoDialog dialog_;
    ScriptedSystem system_;
    CountingPairs pairs_;
    std::unique_ptr<MainWindowController> controller_;
};

}  // namespace

TEST_F(MainWindowLogicTest, WithoutBoardsSaysSoOnceAndConnectRefusesLater) {
    system_.boards = 0;
    auto& c = Make();
    EXPECT_FALSE(c.OnInitDialog());
    EXPECT_EQ(window_.trayInstalls, 1);
    EXPECT_EQ(window_.trayTip, "Not connected");
    EXPECT_EQ(window_.trayIcon, kIconNotConnected);
    ASSERT_EQ(window_.messages.size(), 1u);
    EXPECT_EQ(window_.messages[0].text,
              "Cannot find any CameraLink boards, please check the system configuration.");
    EXPECT_EQ(window_.messages[0].caption, "");
    EXPECT_EQ(window_.messages[0].flags, kMbOk);
    EXPECT_TRUE(c.control().m_comPorts.empty());

    EXPECT_TRUE(c.OnCommand(kCmdConnect));
    ASSERT_EQ(window_.messages.size(), 2u);
    EXPECT_EQ(window_.messages[1].text, "Port not configured, cannot create connection.");
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
    EXPECT_TRUE(window_.enabled_.at(kCmdConnect));
    EXPECT_FALSE(window_.enabled_.at(kCmdDisconnect));
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
