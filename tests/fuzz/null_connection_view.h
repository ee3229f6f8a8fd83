// A window for connection control that only keeps the status texts.
#pragma once

#include <string>
#include <vector>

#include "connections/connection_control.h"

namespace clst::fuzz {

class NullConnectionView : public ConnectionView {
  public:
    void SetMenuItemEnabled(uint32_t, bool) override {}
    void SetTrayConnected(bool) override {}
    void ChangeTrayIcon(int) override {}
    void ChangeTrayTip(const std::string& tip) override { lastTip = tip; }
    void SetStatusText(int pane, const std::string& text) override {
        if (pane >= 0 && pane < 4)
            panes[static_cast<size_t>(pane)] = text;
    }
    int ShowMessage(const std::string&, const std::string&, unsigned) override {
        ++messages;
        return kIdCancel;
    }
    void StartTimer(unsigned, unsigned) override {}
    void StopTimer(unsigned) override {}
    EchoSink* EchoList() override { return nullptr; }
    void MinimizeToTray() override {}

    std::vector<std::string> panes = std::vector<std::string>(4);
    std::string lastTip;
    int messages = 0;
};

class NullSettingsDialog : public PortSettingsHandOver {
  public:
    bool WindowExists() override { return false; }
    void BringToTop() override {}
    void SetComPorts(const std::vector<PortEntry>&) override {}
    void SetSettings(const ConnectionSettings&) override {}
    ConnectionSettings GetSettings() override { return {}; }
    int DoModal() override { return kIdCancel; }
};

}  // namespace clst::fuzz
