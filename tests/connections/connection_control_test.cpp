// Connection control with the real relay: a pty behind the pair's device
// link, the emulated board's demo camera, and a recording window.
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <deque>
#include <string>
#include <tuple>
#include <vector>

#include "connections/connection_control.h"
#include "relay/relay_state.h"
#include "tests/support/connection_fakes.h"
#include "tests/support/test_io.h"

using namespace clst;
using Message = clst::testing::RecordedMessage;
using Messages = std::vector<Message>;
using RecordingView = clst::testing::RecordingConnectionView<>;
using clst::testing::FakeSettingsDialog;

namespace {

class ConnectionControlTest : public ::testing::Test {
  protected:
    void SetUp() override { g_connectionError = false; }
    void LinkDeviceEnd() { ASSERT_EQ(symlink(pty_.slave.c_str(), (dir_ / "ZADURUV5").c_str()), 0); }
    ConnectionControl& Make(const std::string& com, int32_t index, const std::string& params) {
        control_ = std::make_unique<ConnectionControl>(view_, dialog_, com, index, params);
        control_->m_comPorts = {{"", "COM1", ""}, {"CNC5", "COM5", "ZADURUV5"}};
        control_->m_clserPorts = {"0. EmuBoard_Port0", "1. EmuBoard_Port1"};
        return *control_;
    }
    // What the window shows of the connection besides the panes: the enabled
    // menu items, the tray, the icon and the error timer.
    std::string Shown() {
        const std::string shown =
            std::string(view_.menu[kCmdConnect] ? " connect" : "") +
            (view_.menu[kCmdDisconnect] ? " disconnect" : "") +
            (view_.trayConnected ? " tray" : "") + (view_.icon == kIconConnected ? " icon" : "") +
            (view_.timers.empty() ? "" : " timer " + std::to_string(view_.timers[kErrorTimerId]));
        return shown.substr(shown.empty() ? 0 : 1);
    }

    clst::testing::ScratchDir dir_{"/tmp/clst-cc-XXXXXX"};
    clst::testing::ScopedEnv portDir_{"CLSERTOLVANE_PORT_DIR", dir_.path()};
    clst::testing::ScopedEnv emulation_{"MARO_EMULATION", std::nullopt};
    clst::testing::Pty pty_;
    RecordingView view_;
    FakeSettingsDialog dialog_;
    std::unique_ptr<ConnectionControl> control_;
};

}  // namespace

TEST_F(ConnectionControlTest, SerialParametersFieldsBaudCodesAndFallbacks) {
    // The word, then the line settings as the status pane shows them and the
    // Camera Link baud code.
    const std::pair<const char*, const char*> cases[] = {
        {"115200,N,8,1", "115200 n 8 1 16"},  {"115200", "115200 n 8 1 16"},
        {"19200,E,7,2", "19200 e 7 2 2"},     {"9600,e,7,1", "9600 n 7 1 1"},
        {"57600,O,9,1.5", "57600 o 9 1.5 8"}, {"38400,N,10,1", "38400 n 8 1 4"},
        {"921600,O,5,2", "921600 o 5 2 128"}, {"12345,X,,", "9600 n 8 1 1"},
        {"460800,N,4,1", "460800 n 8 1 64"},  {"230400,N,99999999999,1", "230400 n 8 1 32"},
    };
    for (const auto& [word, settings] : cases) {
        auto& c = Make("COM5", 0, word);
        c.ApplySerialParameters();
        EXPECT_EQ(LineSettingsText(c.m_settings) + " " + std::to_string(c.m_settings.clserBaudCode),
                  settings)
            << word;
    }
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
    c.m_settings.clserBaudCode = 3;  // no such code: the tip shows the lowest rate
    c.m_settings.clserPortIndex = -1;
    c.UpdateStatusTexts();
    EXPECT_EQ(view_.tip, "Not connected\n<->\n115200 e 8 1.5\\9600");

    c.m_settings.clserPortIndex = 7;  // beyond the list: nothing read outside it
    c.m_settings.parity = 9;
    c.UpdateStatusTexts();
    EXPECT_EQ(view_.panes[1] + "|" + view_.panes[2], "COM5<->|115200  8 1.5");

    // A device port name too short to be one is not connected.
    c.m_settings.clserPortIndex = 0;
    c.m_settings.devicePortName = "X";
    EXPECT_FALSE(c.Connect());
    // The pair of the selection vanished: both names drop out, and a
    // connection attempt says the port is not configured.
    c.m_comPorts = {{"", "COM1", ""}};
    c.UpdateStatusTexts();
    EXPECT_EQ(c.m_settings.comPortName + c.m_settings.devicePortName, "");
    EXPECT_FALSE(c.Connect());
    const Message notConfigured{"Port not configured, cannot create connection.",
                                "Port Configuration", 0x30};
    EXPECT_EQ(view_.messages, Messages(2, notConfigured));
}

TEST_F(ConnectionControlTest, StartWithCommandLineConnectsHidesAndEndsOnAnError) {
    LinkDeviceEnd();
    auto& c = Make("COM5", 0, "115200,N,8,1");
    c.ApplyStartupSelection();
    ASSERT_TRUE(c.m_bConnected && c.m_pRelay)
        << (view_.messages.empty() ? "" : view_.messages[0].text);
    EXPECT_EQ(c.m_pRelay->comDevicePath() + " " + std::to_string(c.m_pRelay->clserBaudCode()),
              "\\\\.\\MAROCOM5 16");
    EXPECT_EQ(dialog_.given.comBaudRate, 115200);
    EXPECT_EQ(view_.minimized, 1);
    EXPECT_EQ(Shown(), "disconnect tray icon timer 1000");
    EXPECT_TRUE(c.Connect()) << "connected already: nothing changes";
    c.OnTimer(kErrorTimerId);
    EXPECT_TRUE(c.m_bConnected) << "no error, no change";

    g_connectionError = true;
    c.OnTimer(kErrorTimerId);
    EXPECT_FALSE(c.m_bConnected || c.m_pRelay || g_comPort.IsOpen() || g_clSerPort.IsOpen());
    EXPECT_EQ(view_.panes[0] + ": " + Shown(), "Not connected: connect");
    c.OnTimer(kErrorTimerId);  // not connected: the flag is ignored
    EXPECT_EQ(view_.messages, (Messages{{"Connection error!", "", 0x30}}));
    // A new connection starts clean.
    EXPECT_TRUE(c.Connect());
    EXPECT_TRUE(
        clst::testing::WaitFor([] { return !g_connectionError.load(); }, std::chrono::seconds(1)));
    c.Disconnect();
    EXPECT_EQ(view_.panes[0] + ": " + Shown(), "Not connected: connect");
    // Disconnect again: no menu or status change at all.
    view_.menu.clear();
    view_.panes[0] = "untouched";
    c.Disconnect();
    EXPECT_EQ(view_.panes[0] + ": " + Shown(), "untouched: ");
}

TEST_F(ConnectionControlTest, FirstAttemptIsQuietLaterAttemptsSpeak) {
    auto& c = Make("COM5", 0, "115200,N,8,1");  // no device link: the COM open fails
    c.ApplyStartupSelection();
    EXPECT_FALSE(c.m_bConnected || c.m_pRelay || g_clSerPort.IsOpen()) << "all closed again";
    EXPECT_EQ(view_.minimized, 1);
    EXPECT_EQ(Shown(), "connect");
    EXPECT_TRUE(view_.messages.empty());
    EXPECT_FALSE(c.Connect());
    EXPECT_EQ(view_.messages, (Messages{{"Cannot open the serial port\nError code: -2", "", 0}}));
}

TEST_F(ConnectionControlTest, UnknownStartWordsSelectNothing) {
    // Not listed, beyond the Camera Link ports, not a pair (no device end).
    for (const auto& [com, index] :
         {std::pair("COM7", 0), std::pair("COM5", 2), std::pair("COM1", 0)}) {
        auto& c = Make(com, index, "");
        c.ApplyStartupSelection();
        EXPECT_EQ(c.m_settings.comPortName + c.m_settings.devicePortName + "|" +
                      std::to_string(c.m_settings.clserPortIndex) + "|" + Shown(),
                  "|-1|connect")
            << com;
    }
    EXPECT_TRUE(view_.messages.empty());
}

TEST_F(ConnectionControlTest, PortSettingsAskBeforeReconnectingAndOnlyAFollowingRelayMovesTheRate) {
    LinkDeviceEnd();
    auto& c = Make("COM5", 0, "");
    dialog_.exists = true;
    c.OnPortSettings();
    EXPECT_EQ(std::pair(dialog_.broughtToTop, dialog_.runs), std::pair(1, 0));
    dialog_.exists = false;
    c.SetRelayOptions({RelayMode::kDefault, true});
    ASSERT_TRUE(c.Connect());
    // The error timer ticks while a question is up and after every step.
    view_.whileShown = [&] { c.OnTimer(kErrorTimerId); };
    dialog_.result = c.m_settings;
    // The rate chosen, the dialog's answer, the answers to the question if
    // asked, the rate the client then switches its port to (here the relay's
    // end itself, as the pair host carries it over; 0: none); then the rate
    // in the settings and the rate the relay was connected with.
    const std::tuple<int32_t, int, std::deque<int>, speed_t, int32_t, uint32_t> steps[] = {
        {9600, kIdOk, {}, 0, 9600, 9600},              // no change: no question
        {57600, kIdCancel, {}, 0, 9600, 9600},         // cancelled: nothing taken
        {57600, kIdOk, {kIdNo}, B38400, 57600, 9600},  // kept for later: not followed
        {230400, kIdOk, {kIdYes}, 0, 230400, 230400},  // reconnected with the new settings
        {230400, kIdOk, {}, B19200, 19200, 230400}};   // the relay follows the client
    for (const auto& [rate, answer, question, client, taken, connected] : steps) {
        dialog_.result.comBaudRate = rate;
        dialog_.answer = answer;
        view_.answers = question;
        c.OnPortSettings();
        if (client != 0) {
            ASSERT_TRUE(clst::testing::SetSpeed(pty_.master, client));
            ASSERT_EQ(write(pty_.master, "\r", 1), 1);  // followed with the next byte
            ASSERT_TRUE(clst::testing::WaitFor(
                [&] { return c.m_pRelay->lineRate() != c.m_pRelay->comBaudRate(); },
                std::chrono::seconds(3)));
        }
        c.OnTimer(kErrorTimerId);
        ASSERT_TRUE(c.m_bConnected && c.m_pRelay);
        EXPECT_EQ(std::pair(c.m_settings.comBaudRate, c.m_pRelay->comBaudRate()),
                  std::pair(taken, connected));
    }
    const Message question{
        "You changed the settings, do you want to reconnect now to perform the change?\n"
        "Attention: Reconnection may lead to data lost, please ensure that there is no data "
        "transmission performing.",
        "Port Configuration", 0x34};
    EXPECT_EQ(view_.messages, (Messages{question,
                                        {"The parameter was set but still not performed, please "
                                         "reconnect later to perform it.",
                                         "Port Configuration", 0x30},
                                        question}));
    EXPECT_EQ(view_.panes[2] + " " + std::to_string(c.m_settings.clserBaudCode), "19200 n 8 1 2");
}
