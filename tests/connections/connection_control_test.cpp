// Connection control with the real relay: a pty behind the pair's device
// link, the emulated board's demo camera, and a recording window.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "connections/connection_control.h"
#include "relay/relay_state.h"
#include "tests/support/connection_fakes.h"
#include "tests/support/test_io.h"

using namespace clst;
using Message = clst::testing::RecordedMessage;
using RecordingView = clst::testing::RecordingConnectionView<>;
using clst::testing::FakeSettingsDialog;

namespace {

class ConnectionControlTest : public ::testing::Test {
  protected:
    void SetUp() override { g_connectionError = false; }
    void TearDown() override { control_.reset(); }
    void LinkDeviceEnd() { ASSERT_EQ(symlink(pty_.slave.c_str(), (dir_ / "ZADURUV5").c_str()), 0); }
    ConnectionControl& Make(const std::string& com, int32_t index, const std::string& params) {
        control_ = std::make_unique<ConnectionControl>(view_, dialog_, com, index, params);
        control_->m_comPorts = {{"", "COM1", ""}, {"CNC5", "COM5", "ZADURUV5"}};
        control_->m_clserPorts = {"0. EmuBoard_Port0", "1. EmuBoard_Port1"};
        return *control_;
    }

    clst::testing::ScratchDir dir_{"/tmp/clst-cc-XXXXXX"};
    clst::testing::ScopedEnv portDir_{"CLSERTOLVANE_PORT_DIR", dir_.path()};
    clst::testing::ScopedEnv emulation_{"MARO_EMULATION", std::nullopt};
    clst::testing::Pty pty_;
    const int master_ = pty_.master;
    RecordingView view_;
    FakeSettingsDialog dialog_;
    std::unique_ptr<ConnectionControl> control_;
};

}  // namespace

TEST(SerialParametersTest, FieldsBaudCodesAndFallbacks) {
    RecordingView view;
    FakeSettingsDialog dialog;
    struct Case {
        const char* word;
        int32_t baud, code, parity, bits, stop;
    };
    const Case cases[] = {
        {"115200,N,8,1", 115200, 16, 0, 8, 0},  {"115200", 115200, 16, 0, 8, 0},
        {"19200,E,7,2", 19200, 2, 2, 7, 2},     {"9600,e,7,1", 9600, 1, 0, 7, 0},
        {"57600,O,9,1.5", 57600, 8, 1, 9, 1},   {"38400,N,10,1", 38400, 4, 0, 8, 0},
        {"921600,O,5,2", 921600, 128, 1, 5, 2}, {"12345,X,,", 9600, 1, 0, 8, 0},
        {"460800,N,4,1", 460800, 64, 0, 8, 0},  {"230400,N,99999999999,1", 230400, 32, 0, 8, 0},
    };
    for (const auto& c : cases) {
        ConnectionControl control(view, dialog, "COM5", 0, c.word);
        control.ApplySerialParameters();
        EXPECT_EQ(control.m_settings.comBaudRate, c.baud) << c.word;
        EXPECT_EQ(control.m_settings.clserBaudCode, c.code) << c.word;
        EXPECT_EQ(control.m_settings.parity, c.parity) << c.word;
        EXPECT_EQ(control.m_settings.dataBits, c.bits) << c.word;
        EXPECT_EQ(control.m_settings.stopBits, c.stop) << c.word;
    }
    EXPECT_EQ(ClSerBaudRateFromCode(1), 9600u);
    EXPECT_EQ(ClSerBaudRateFromCode(3), 9600u);
    EXPECT_EQ(ClSerBaudRateFromCode(128), 921600u);
}

TEST_F(ConnectionControlTest, StatusTextsAndTheSelectionCheck) {
    auto& c = Make("COM5", 0, "");
    c.m_settings.comBaudRate = 115200;
    c.m_settings.clserBaudCode = 16;
    c.UpdateStatusTexts();
    EXPECT_EQ(view_.panes, (std::vector<std::string>{"Not connected", "COM5<->0. EmuBoard_Port0",
                                                     "115200 n 8 1", "Echo off"}));
    EXPECT_EQ(view_.tip, "Not connected\nCOM5<->0. EmuBoard_Port0\n115200 n 8 1\\115200");

    c.m_settings.parity = 2;
    c.m_settings.stopBits = 1;
    c.m_settings.clserBaudCode = 3;
    c.m_settings.clserPortIndex = -1;
    c.UpdateStatusTexts();
    EXPECT_EQ(view_.panes[1], "<->");
    EXPECT_EQ(view_.panes[2], "115200 e 8 1.5");
    EXPECT_EQ(view_.tip, "Not connected\n<->\n115200 e 8 1.5\\9600");
    // The window sizes the fixed panes for these texts.
    for (const int pane : {0, 2}) {
        const auto texts = StatusPaneTexts(pane);
        EXPECT_NE(std::find(texts.begin(), texts.end(), view_.panes[pane]), texts.end()) << pane;
    }

    c.m_settings.clserPortIndex = 7;  // beyond the list: nothing read outside it
    c.m_settings.parity = 9;
    c.UpdateStatusTexts();
    EXPECT_EQ(view_.panes[1], "COM5<->");
    EXPECT_EQ(view_.panes[2], "115200  8 1.5");

    // The pair of the selection vanished: both names drop out, and a
    // connection attempt says the port is not configured.
    c.m_comPorts = {{"", "COM1", ""}};
    c.m_settings.clserPortIndex = 0;
    c.UpdateStatusTexts();
    EXPECT_EQ(c.m_settings.comPortName, "");
    EXPECT_EQ(c.m_settings.devicePortName, "");
    EXPECT_FALSE(c.Connect());
    EXPECT_EQ(view_.messages,
              (std::vector<Message>{
                  {"Port not configured, cannot create connection.", "Port Configuration", 0x30}}));
}

TEST_F(ConnectionControlTest, StartWithCommandLineConnectsThroughThePairAndHides) {
    LinkDeviceEnd();
    auto& c = Make("COM5", 0, "115200,N,8,1");
    EXPECT_EQ(c.m_settings.devicePortName, "MAROCOM5");
    c.ApplyStartupSelection();
    ASSERT_TRUE(c.m_bConnected) << (view_.messages.empty() ? "" : view_.messages[0].text);
    EXPECT_TRUE(view_.messages.empty());
    EXPECT_EQ(view_.minimized, 1);
    EXPECT_EQ(view_.menu[kCmdConnect], false);
    EXPECT_EQ(view_.menu[kCmdDisconnect], true);
    EXPECT_TRUE(view_.trayConnected);
    EXPECT_EQ(view_.icon, kIconConnected);
    EXPECT_EQ(view_.timers[kErrorTimerId], 1000u);
    EXPECT_EQ(view_.panes[0], "Connected");
    EXPECT_EQ(dialog_.comPorts.size(), 2u);
    EXPECT_EQ(dialog_.given.comBaudRate, 115200);
    ASSERT_TRUE(c.m_pRelay);
    EXPECT_EQ(c.m_pRelay->comDevicePath(), "\\\\.\\MAROCOM5");
    EXPECT_EQ(c.m_pRelay->clserBaudCode(), 16u);
    EXPECT_TRUE(g_comPort.IsOpen());
    EXPECT_TRUE(g_clSerPort.IsOpen());

    // Bytes from the COM client reach the demo camera and its answer comes back.
    ASSERT_EQ(write(master_, "id?\r", 4), 4);
    std::string reply;
    clst::testing::WaitFor(
        [&] {
            return (reply += clst::testing::ReadFor(master_, 64, std::chrono::milliseconds(10)))
                       .find('\n') != std::string::npos;
        },
        std::chrono::seconds(3));
    EXPECT_EQ(reply.rfind("EMUCAM", 0), 0u) << reply;

    // Connect again: nothing changes.
    const auto messagesBefore = view_.messages.size();
    EXPECT_TRUE(c.Connect());
    EXPECT_EQ(view_.messages.size(), messagesBefore);

    c.Disconnect();
    EXPECT_FALSE(c.m_bConnected);
    EXPECT_FALSE(c.m_pRelay);
    EXPECT_FALSE(g_comPort.IsOpen());
    EXPECT_FALSE(g_clSerPort.IsOpen());
    EXPECT_EQ(view_.icon, kIconNotConnected);
    EXPECT_FALSE(view_.trayConnected);
    EXPECT_TRUE(view_.timers.empty());
    EXPECT_EQ(view_.menu[kCmdConnect], true);
    EXPECT_EQ(view_.menu[kCmdDisconnect], false);
    EXPECT_EQ(view_.panes[0], "Not connected");

    // Disconnect again: no menu or status change at all.
    view_.menu.clear();
    view_.panes[0] = "untouched";
    c.Disconnect();
    EXPECT_TRUE(view_.menu.empty());
    EXPECT_EQ(view_.panes[0], "untouched");
}

TEST_F(ConnectionControlTest, FirstAttemptIsQuietLaterAttemptsSpeak) {
    auto& c = Make("COM5", 0, "115200,N,8,1");  // no device link: the COM open fails
    c.ApplyStartupSelection();
    EXPECT_FALSE(c.m_bConnected);
    EXPECT_TRUE(view_.messages.empty());
    EXPECT_EQ(view_.menu[kCmdConnect], true);
    EXPECT_EQ(view_.minimized, 1);
    EXPECT_FALSE(g_clSerPort.IsOpen()) << "the Camera Link side is closed again";
    EXPECT_FALSE(c.m_pRelay);

    EXPECT_FALSE(c.Connect());
    ASSERT_EQ(view_.messages.size(), 1u);
    EXPECT_EQ(view_.messages[0], (Message{"Cannot open the serial port\nError code: -2", "", 0}));

    // A Camera Link index the library does not have.
    LinkDeviceEnd();
    c.m_settings.clserPortIndex = 9;
    EXPECT_FALSE(c.Connect());
    ASSERT_EQ(view_.messages.size(), 2u);
    EXPECT_EQ(
        view_.messages[1].text.rfind("Connecting to CamaraLink port failed\nError code: -", 0), 0u);
    EXPECT_FALSE(g_comPort.IsOpen());
}

TEST_F(ConnectionControlTest, StartSelectionWithoutOrWithUnknownWords) {
    auto& none = Make("", -1, "");
    EXPECT_EQ(none.m_settings.devicePortName, "MARO");
    none.ApplyStartupSelection();
    EXPECT_EQ(none.m_settings.comPortName, "COM5") << "the first virtual pair";
    EXPECT_EQ(none.m_settings.devicePortName, "ZADURUV5");
    EXPECT_EQ(none.m_settings.clserPortIndex, 0);
    EXPECT_FALSE(none.m_bConnected);
    EXPECT_EQ(view_.minimized, 0);

    auto& unknown = Make("COM7", 0, "");
    unknown.ApplyStartupSelection();
    EXPECT_EQ(unknown.m_settings.comPortName, "");
    EXPECT_EQ(unknown.m_settings.devicePortName, "");
    EXPECT_EQ(unknown.m_settings.clserPortIndex, -1);
    EXPECT_EQ(view_.menu[kCmdConnect], true);

    auto& beyond = Make("COM5", 2, "");
    beyond.ApplyStartupSelection();
    EXPECT_EQ(beyond.m_settings.clserPortIndex, -1);
    EXPECT_FALSE(beyond.m_bConnected);

    auto& systemPort = Make("COM1", 0, "");  // not a pair: no device end
    systemPort.ApplyStartupSelection();
    EXPECT_EQ(systemPort.m_settings.comPortName, "");
    EXPECT_TRUE(view_.messages.empty());
}

TEST_F(ConnectionControlTest, ErrorTimerDisconnectsAndTells) {
    LinkDeviceEnd();
    auto& c = Make("COM5", 0, "");
    ASSERT_TRUE(c.Connect());
    c.OnTimer(kErrorTimerId);
    EXPECT_TRUE(c.m_bConnected) << "no error, no change";
    g_connectionError = true;
    c.OnTimer(kErrorTimerId);
    EXPECT_FALSE(c.m_bConnected);
    EXPECT_EQ(view_.messages, (std::vector<Message>{{"Connection error!", "", 0x30}}));
    c.OnTimer(kErrorTimerId);
    EXPECT_EQ(view_.messages.size(), 1u) << "not connected: the flag is ignored";
    // A new connection starts clean.
    EXPECT_TRUE(c.Connect());
    for (int i = 0; i < 100 && g_connectionError.load(); ++i)
        usleep(10000);
    EXPECT_FALSE(g_connectionError.load());
}

TEST_F(ConnectionControlTest, PortSettingsAskBeforeReconnecting) {
    LinkDeviceEnd();
    auto& c = Make("COM5", 0, "");
    dialog_.exists = true;
    c.OnPortSettings();
    EXPECT_EQ(dialog_.broughtToTop, 1);
    EXPECT_EQ(dialog_.runs, 0);
    dialog_.exists = false;

    ASSERT_TRUE(c.Connect());
    dialog_.result = c.m_settings;
    c.OnPortSettings();
    EXPECT_TRUE(view_.messages.empty()) << "no change: no question";

    dialog_.result.comBaudRate = 57600;
    dialog_.answer = kIdCancel;
    c.OnPortSettings();
    EXPECT_EQ(c.m_settings.comBaudRate, 9600) << "cancelled: nothing taken";

    dialog_.answer = kIdOk;
    view_.answers = {kIdNo};
    c.OnPortSettings();
    ASSERT_EQ(view_.messages.size(), 2u);
    EXPECT_EQ(view_.messages[0].caption, "Port Configuration");
    EXPECT_EQ(view_.messages[0].flags, 0x34u);
    EXPECT_EQ(
        view_.messages[0].text.rfind("You changed the settings, do you want to reconnect now", 0),
        0u);
    EXPECT_EQ(view_.messages[1], (Message{"The parameter was set but still not performed, please "
                                          "reconnect later to perform it.",
                                          "Port Configuration", 0x30}));
    EXPECT_EQ(c.m_settings.comBaudRate, 57600);
    EXPECT_TRUE(c.m_bConnected);

    dialog_.result.comBaudRate = 230400;
    view_.answers = {kIdYes};
    c.OnPortSettings();
    EXPECT_TRUE(c.m_bConnected);
    ASSERT_TRUE(c.m_pRelay);
    EXPECT_EQ(c.m_pRelay->comBaudRate(), 230400u) << "reconnected with the new settings";
    EXPECT_EQ(view_.panes[2], "230400 n 8 1");
}
