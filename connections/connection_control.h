// Connection control: connects and disconnects the one connection of this
// process, reconnects after a settings change, watches the relay for errors
// and keeps the status texts up to date. It talks to its window (or to the
// headless front end) only through ConnectionView and PortSettingsHandOver.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "connections/connection_settings.h"
#include "connections/message_sink.h"
#include "connections/port_discovery.h"
#include "relay/echo_sink.h"
#include "relay/relay_worker.h"

namespace clst {

// Command identifiers of the main menu and the tray menu.
inline constexpr uint32_t kCmdConnect = 32784;
inline constexpr uint32_t kCmdDisconnect = 32785;
// Tray icons.
inline constexpr int kIconConnected = 146;
inline constexpr int kIconNotConnected = 147;
// The error poll.
inline constexpr unsigned kErrorTimerId = 1;
inline constexpr unsigned kErrorTimerPeriodMs = 1000;

inline constexpr const char* kCaptionPortConfiguration = "Port Configuration";
// The state pane's texts.
inline constexpr const char* kStateConnected = "Connected";
inline constexpr const char* kStateNotConnected = "Not connected";

// What connection control needs of the window it belongs to. Messages go
// through MessageSink::ShowMessage: an empty caption means the program's
// default title; the result is the answer (kIdOk, kIdYes, kIdNo, ...).
class ConnectionView : public MessageSink {
  public:
    virtual void SetMenuItemEnabled(uint32_t commandId, bool enabled) = 0;
    virtual void SetTrayConnected(bool connected) = 0;
    virtual void ChangeTrayIcon(int iconId) = 0;
    virtual void ChangeTrayTip(const std::string& tip) = 0;
    // Panes 0..3: state, link, line settings, echo.
    virtual void SetStatusText(int pane, const std::string& text) = 0;
    virtual void StartTimer(unsigned id, unsigned periodMs) = 0;
    virtual void StopTimer(unsigned id) = 0;
    // The echo list the relay worker adds its lines to.
    virtual EchoSink* EchoList() = 0;
    // Hides the window into the tray (after the start-up connection).
    virtual void MinimizeToTray() = 0;
};

// The port settings dialog as connection control uses it.
class PortSettingsHandOver {
  public:
    virtual ~PortSettingsHandOver() = default;
    virtual bool WindowExists() = 0;
    virtual void BringToTop() = 0;
    virtual void SetComPorts(const std::vector<PortEntry>& ports) = 0;
    virtual void SetSettings(const ConnectionSettings& settings) = 0;
    virtual ConnectionSettings GetSettings() = 0;
    // Runs the dialog modally; kIdOk when the user confirmed.
    virtual int DoModal() = 0;
};

// Camera Link baud-rate code to bit/s; unknown codes give 9600.
uint32_t ClSerBaudRateFromCode(uint32_t code);

// The line-settings pane's text ("115200 n 8 1"); an unknown parity or
// stop-bit code shows as nothing between its blanks.
std::string LineSettingsText(const ConnectionSettings& settings);
// Every text the state pane (0) or the line-settings pane (2) can show with
// the settings the dialog and the command line offer, so that a window can
// make those panes wide enough; empty for the other panes.
std::vector<std::string> StatusPaneTexts(int pane);

class ConnectionControl {
  public:
    // From the command line: the COM port word (may be empty), the Camera
    // Link port index (-1 for none) and the serial-parameter word.
    ConnectionControl(ConnectionView& view, PortSettingsHandOver& dialog,
                      const std::string& comPort, int32_t index, const std::string& serialParams);
    ~ConnectionControl();
    ConnectionControl(const ConnectionControl&) = delete;
    ConnectionControl& operator=(const ConnectionControl&) = delete;

    bool Connect();
    void Disconnect();
    void OnPortSettings();
    void OnTimer(unsigned timerId);
    void UpdateStatusTexts();
    void ApplyStartupSelection();
    void ApplySerialParameters();

    // The echo menu command: flips the echo setting and the relay's flag.
    void ToggleEcho();

    // How the workers of later connections relay (the front ends' options
    // --low-latency and --follow-baud); a running worker keeps the options
    // it was started with.
    void SetRelayOptions(const RelayOptions& options) { relayOptions_ = options; }
    const RelayOptions& relayOptions() const { return relayOptions_; }

    ConnectionSettings m_settings;
    bool m_bConnected = false;
    std::unique_ptr<RelayWorker> m_pRelay;
    std::vector<PortEntry> m_comPorts;
    std::vector<std::string> m_clserPorts;
    // Where each of m_clserPorts is served (PortDiscovery::m_clserRoutes).
    std::vector<ClSerPortRoute> m_clserRoutes;
    std::string m_strStartComPort;
    std::string m_strStartSerialParams;
    bool m_bQuietStart = true;

    // Texts of the last UpdateStatusTexts, for front ends that show them
    // elsewhere (the headless mode prints the state).
    const std::string& linkText() const { return linkText_; }
    const std::string& lineText() const { return lineText_; }

  private:
    void FailConnect();
    void TakeClientLineRate();

    ConnectionView& view_;
    PortSettingsHandOver& dialog_;
    std::string linkText_;
    std::string lineText_;
    RelayOptions relayOptions_;
    // The rate of the running relay's line last shown in the settings: only
    // a relay that follows its client to another rate moves the settings.
    uint32_t shownLineRate_ = 0;
    // Settings confirmed while connected and not yet performed: the next
    // connection is made with them, so the timer leaves them alone.
    bool settingsPending_ = false;
};

}  // namespace clst
