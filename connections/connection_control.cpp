#include "connections/connection_control.h"

#include <cstdio>
#include <cstdlib>

#include "portpairs/pair_lines_file.h"
#include "relay/line_rate_follower.h"
#include "relay/relay_state.h"

namespace clst {

namespace {

struct BaudCode {
    const char* text;
    int32_t bitsPerSecond;
    int32_t code;
};

constexpr BaudCode kBaudCodes[] = {{"9600", 9600, 1},      {"19200", 19200, 2},
                                   {"38400", 38400, 4},    {"57600", 57600, 8},
                                   {"115200", 115200, 16}, {"230400", 230400, 32},
                                   {"460800", 460800, 64}, {"921600", 921600, 128}};

std::string Printf(const char* format, int value) {
    char text[256];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// Takes the text up to the first comma of `rest` and removes it with its
// comma; with no comma left the whole text is the field and nothing is
// removed, so later fields see the same text again.
std::string NextField(std::string& rest) {
    const auto comma = rest.find(',');
    if (comma == std::string::npos) {
        return rest;
    }
    std::string field = rest.substr(0, comma);
    rest.erase(0, comma + 1);
    return field;
}

bool AllDigits(const std::string& text) {
    if (text.empty()) {
        return false;
    }
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

}  // namespace

uint32_t ClSerBaudRateFromCode(uint32_t code) {
    for (const auto& entry : kBaudCodes) {
        if (static_cast<uint32_t>(entry.code) == code) {
            return static_cast<uint32_t>(entry.bitsPerSecond);
        }
    }
    return 9600;
}

std::string LineSettingsText(const ConnectionSettings& settings) {
    const char* parity = ParityText(settings.parity);
    const char* stopBits = StopBitsText(settings.stopBits);
    char line[256];
    std::snprintf(line, sizeof line, "%d %s %d %s", settings.comBaudRate,
                  parity != nullptr ? parity : "", settings.dataBits,
                  stopBits != nullptr ? stopBits : "");
    return line;
}

std::vector<std::string> StatusPaneTexts(int pane) {
    std::vector<std::string> texts;
    if (pane == 0) {
        texts = {kStateConnected, kStateNotConnected};
    } else if (pane == 2) {
        ConnectionSettings settings;
        for (const auto& baud : kBaudCodes) {
            settings.comBaudRate = baud.bitsPerSecond;
            for (settings.parity = 0; settings.parity <= 2; ++settings.parity) {
                for (settings.dataBits = 5; settings.dataBits <= 9; ++settings.dataBits) {
                    for (settings.stopBits = 0; settings.stopBits <= 2; ++settings.stopBits)
                        texts.push_back(LineSettingsText(settings));
                }
            }
        }
    }
    return texts;
}

ConnectionControl::ConnectionControl(ConnectionView& view, PortSettingsHandOver& dialog,
                                     const std::string& comPort, int32_t index,
                                     const std::string& serialParams)
    : m_strStartComPort(comPort),
      m_strStartSerialParams(serialParams),
      view_(view),
      dialog_(dialog) {
    m_settings.comPortName = comPort;
    m_settings.devicePortName = "MARO" + comPort;
    m_settings.clserPortIndex = index;
    m_settings.dataBits = 8;
    m_settings.stopBits = 0;
    m_settings.clserBaudCode = 1;
    m_settings.comBaudRate = 9600;
    m_settings.parity = 0;
    m_settings.echo = false;
}

ConnectionControl::~ConnectionControl() {
    if (m_pRelay) {
        m_pRelay->Stop();
        m_pRelay.reset();
    }
}

bool ConnectionControl::Connect() {
    const bool showMessages = m_strStartSerialParams.empty() || !m_bQuietStart;
    if (m_settings.devicePortName.size() < 2 || m_settings.clserPortIndex < 0) {
        if (showMessages) {
            view_.ShowMessage("Port not configured, cannot create connection.",
                              kCaptionPortConfiguration, kMbOk | kMbIconExclamation);
        }
        m_bQuietStart = false;
        return false;
    }
    if (m_bConnected || m_pRelay) {
        return true;
    }
    const std::string path = "\\\\.\\" + m_settings.devicePortName;
    m_pRelay = std::make_unique<RelayWorker>(
        path, m_settings.clserPortIndex, static_cast<uint32_t>(m_settings.clserBaudCode),
        static_cast<uint32_t>(m_settings.comBaudRate), m_settings.parity, m_settings.dataBits,
        m_settings.stopBits);
    g_echoEnabled = m_settings.echo;

    ClSerPortRoute route;
    int32_t status =
        ClSerPortRouteAt(m_clserRoutes, static_cast<uint32_t>(m_settings.clserPortIndex), route)
            ? m_pRelay->OpenClSerPort(route)
            : kClErrInvalidIndex;
    if (status < 0) {
        if (showMessages) {
            view_.ShowMessage(
                Printf("Connecting to CamaraLink port failed\nError code: %d", status), "", kMbOk);
        }
        FailConnect();
        return false;
    }
    status = m_pRelay->OpenComPort();
    if (status < 0) {
        if (showMessages) {
            view_.ShowMessage(Printf("Cannot open the serial port\nError code: %d", status), "",
                              kMbOk);
        }
        g_clSerPort.Close();
        FailConnect();
        return false;
    }
    // One discarded read, so that input pending from before the connection
    // is not relayed.
    std::vector<uint8_t> scratch(4096);
    uint64_t count = 0;
    status = g_comPort.Read(scratch.data(), scratch.size(), count, 100);
    if (status < 0) {
        if (showMessages) {
            view_.ShowMessage(Printf("Cannot open the serial port\nError code: %d", status), "",
                              kMbOk);
        }
        g_comPort.Close();
        g_clSerPort.Close();
        FailConnect();
        return false;
    }

    if (relayOptions_.followLineRate) {
        TakeClientLineRate();
    }

    m_bQuietStart = false;
    m_bConnected = true;
    UpdateStatusTexts();
    dialog_.SetSettings(m_settings);
    view_.SetMenuItemEnabled(kCmdConnect, false);
    view_.SetMenuItemEnabled(kCmdDisconnect, true);
    view_.SetTrayConnected(true);
    view_.ChangeTrayIcon(kIconConnected);
    m_pRelay->Start(view_.EchoList(), relayOptions_);
    shownLineRate_ = static_cast<uint32_t>(m_settings.comBaudRate);
    settingsPending_ = false;
    view_.StartTimer(kErrorTimerId, kErrorTimerPeriodMs);
    return true;
}

// A following relay that starts while a client holds the COM end at another
// rate (a relay restarted under a tool that stayed open at 9600) takes that
// rate: its own end is set to it, and the relay's follower switches the
// camera line, with its echo line, as the relay starts. The
// pair host may carry a new rate of the client between the reading of its
// file and the setting of this end, so the file is read again until it
// agrees with what was set.
void ConnectionControl::TakeClientLineRate() {
    maro_vcp::PairLines lines;
    uint32_t set = static_cast<uint32_t>(m_settings.comBaudRate);
    for (int read = 0; read < 3 && ReadPairLines(m_settings.devicePortName, lines); ++read) {
        if (!lines.comOpen || lines.comRate == set || ClSerBaudCodeFromRate(lines.comRate) == 0 ||
            g_comPort.SetLineRate(lines.comRate) != 0) {
            return;
        }
        set = lines.comRate;
    }
}

void ConnectionControl::FailConnect() {
    m_pRelay.reset();
    m_bQuietStart = false;
}

void ConnectionControl::Disconnect() {
    if (!m_bConnected || !m_pRelay) {
        return;
    }
    view_.SetTrayConnected(false);
    view_.ChangeTrayIcon(kIconNotConnected);
    m_bConnected = false;
    m_pRelay->Stop();
    m_pRelay.reset();
    view_.StopTimer(kErrorTimerId);
    UpdateStatusTexts();
    view_.SetMenuItemEnabled(kCmdConnect, true);
    view_.SetMenuItemEnabled(kCmdDisconnect, false);
}

void ConnectionControl::OnTimer(unsigned /*timerId*/) {
    if (g_connectionError.load() && m_bConnected) {
        Disconnect();
        view_.ShowMessage("Connection error!", "", kMbOk | kMbIconExclamation);
        return;
    }
    // A relay that followed the client to another line rate: the status
    // texts show the rate the line runs at now.
    if (m_bConnected && m_pRelay && !settingsPending_) {
        const uint32_t rate = m_pRelay->lineRate();
        if (rate != shownLineRate_) {
            shownLineRate_ = rate;
            m_settings.comBaudRate = static_cast<int32_t>(rate);
            m_settings.clserBaudCode = static_cast<int32_t>(ClSerBaudCodeFromRate(rate));
            UpdateStatusTexts();
        }
    }
}

void ConnectionControl::OnPortSettings() {
    if (dialog_.WindowExists()) {
        dialog_.BringToTop();
        return;
    }
    dialog_.SetComPorts(m_comPorts);
    dialog_.SetSettings(m_settings);
    if (dialog_.DoModal() != kIdOk) {
        return;
    }
    const ConnectionSettings before = m_settings;
    const bool echo = m_settings.echo;
    m_settings = dialog_.GetSettings();
    m_settings.echo = echo;
    const bool changed =
        before.clserBaudCode != m_settings.clserBaudCode ||
        before.clserPortIndex != m_settings.clserPortIndex ||
        before.comBaudRate != m_settings.comBaudRate || before.dataBits != m_settings.dataBits ||
        before.comPortName != m_settings.comPortName ||
        before.devicePortName != m_settings.devicePortName || before.parity != m_settings.parity ||
        before.stopBits != m_settings.stopBits;
    if (m_bConnected && changed) {
        // The window's timer goes on while the question is up.
        settingsPending_ = true;
        const int answer = view_.ShowMessage(
            "You changed the settings, do you want to reconnect now to perform the change?\n"
            "Attention: Reconnection may lead to data lost, please ensure that there is no data "
            "transmission performing.",
            kCaptionPortConfiguration, kMbYesNo | kMbIconExclamation);
        if (answer == kIdYes) {
            Disconnect();
            Connect();
        } else {
            view_.ShowMessage(
                "The parameter was set but still not performed, please reconnect later to "
                "perform it.",
                kCaptionPortConfiguration, kMbOk | kMbIconExclamation);
        }
    }
    UpdateStatusTexts();
}

void ConnectionControl::UpdateStatusTexts() {
    const std::string state = m_bConnected ? kStateConnected : kStateNotConnected;
    const std::string echo = m_settings.echo ? "Echo on" : "Echo off";

    bool listed = false;
    for (const auto& entry : m_comPorts) {
        if (entry.comPortName == m_settings.comPortName) {
            listed = true;
            break;
        }
    }
    if (!listed) {
        m_settings.comPortName.clear();
        m_settings.devicePortName.clear();
    }

    if (m_settings.clserPortIndex < 0) {
        linkText_ = "<->";
    } else {
        // An index beyond the list (no boards found at start, an index on the
        // command line) shows the COM side alone.
        const auto index = static_cast<size_t>(m_settings.clserPortIndex);
        const std::string clser = index < m_clserPorts.size() ? m_clserPorts[index] : "";
        linkText_ = m_settings.comPortName + "<->" + clser;
    }
    lineText_ = LineSettingsText(m_settings);

    view_.SetStatusText(0, state);
    view_.SetStatusText(1, linkText_);
    view_.SetStatusText(2, lineText_);
    view_.SetStatusText(3, echo);

    char rate[32];
    std::snprintf(
        rate, sizeof rate, "%d",
        static_cast<int>(ClSerBaudRateFromCode(static_cast<uint32_t>(m_settings.clserBaudCode))));
    view_.ChangeTrayTip(state + "\n" + linkText_ + "\n" + lineText_ + "\\" + rate);
}

void ConnectionControl::ApplySerialParameters() {
    std::string rest = m_strStartSerialParams;
    const std::string baud = NextField(rest);
    const std::string parity = NextField(rest);
    const std::string dataBits = NextField(rest);
    const std::string& stopBits = rest;

    m_settings.comBaudRate = 9600;
    m_settings.clserBaudCode = 1;
    for (const auto& entry : kBaudCodes) {
        if (baud == entry.text) {
            m_settings.comBaudRate = entry.bitsPerSecond;
            m_settings.clserBaudCode = entry.code;
        }
    }
    // An unknown parity letter means none, as N does.
    if (parity == "N") {  // NOLINT(bugprone-branch-clone)
        m_settings.parity = 0;
    } else if (parity == "E") {
        m_settings.parity = 2;
    } else if (parity == "O") {
        m_settings.parity = 1;
    } else {
        m_settings.parity = 0;
    }
    m_settings.dataBits = 8;
    if (AllDigits(dataBits) && dataBits.size() <= 9) {
        const long value = std::strtol(dataBits.c_str(), nullptr, 10);
        if (value >= 5 && value <= 9) {
            m_settings.dataBits = static_cast<int32_t>(value);
        }
    }
    if (stopBits == "1.5") {
        m_settings.stopBits = 1;
    } else if (stopBits == "2") {
        m_settings.stopBits = 2;
    } else {
        m_settings.stopBits = 0;
    }
}

void ConnectionControl::ApplyStartupSelection() {
    if (m_strStartComPort.size() < 2) {
        view_.SetMenuItemEnabled(kCmdConnect, true);
        view_.SetMenuItemEnabled(kCmdDisconnect, false);
        for (const auto& entry : m_comPorts) {
            if (entry.pairName.size() >= 2) {
                m_settings.comPortName = entry.comPortName;
                m_settings.devicePortName = entry.devicePortName;
                break;
            }
        }
        if (!m_clserPorts.empty()) {
            m_settings.clserPortIndex =
                static_cast<int32_t>(std::strtol(m_clserPorts.front().c_str(), nullptr, 10));
        }
        return;
    }
    const PortEntry* match = nullptr;
    for (const auto& entry : m_comPorts) {
        if (entry.comPortName == m_strStartComPort && entry.devicePortName.size() >= 2) {
            match = &entry;
            break;
        }
    }
    if (match != nullptr && m_settings.clserPortIndex < static_cast<int64_t>(m_clserPorts.size())) {
        if (!m_strStartSerialParams.empty()) {
            ApplySerialParameters();
        }
        const bool connected = Connect();
        dialog_.SetComPorts(m_comPorts);
        view_.SetMenuItemEnabled(kCmdConnect, !connected);
        view_.SetMenuItemEnabled(kCmdDisconnect, connected);
        view_.MinimizeToTray();
        return;
    }
    m_settings.comPortName.clear();
    m_settings.devicePortName.clear();
    m_settings.clserPortIndex = -1;
    view_.SetMenuItemEnabled(kCmdConnect, true);
    view_.SetMenuItemEnabled(kCmdDisconnect, false);
}

void ConnectionControl::ToggleEcho() {
    m_settings.echo = !m_settings.echo;
    g_echoEnabled = m_settings.echo;
    UpdateStatusTexts();
}

}  // namespace clst
