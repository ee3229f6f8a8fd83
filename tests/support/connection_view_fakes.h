// Stand-ins for connection control's window and settings dialog. Free of
// GoogleTest, so that the fuzz targets can use them too.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "connections/connection_control.h"
#include "relay/echo_sink.h"
#include "tests/support/message_recorder.h"

namespace clst::testing {

// Records what connection control shows; `Base` may be a view that extends
// ConnectionView, whose own calls the test then adds.
template <typename Base = ConnectionView>
class RecordingConnectionView : public Base, public MessageRecorder {
  public:
    void SetMenuItemEnabled(uint32_t id, bool enabled) override { menu[id] = enabled; }
    void SetTrayConnected(bool connected) override { trayConnected = connected; }
    void ChangeTrayIcon(int id) override { icon = id; }
    void ChangeTrayTip(const std::string& text) override { tip = text; }
    void SetStatusText(int pane, const std::string& text) override {
        panes.at(static_cast<size_t>(pane)) = text;
    }
    int ShowMessage(const std::string& text, const std::string& caption, unsigned flags) override {
        if (whileShown)
            whileShown();  // a window's timers go on while a message box is up
        return Record(text, caption, flags);
    }
    void StartTimer(unsigned id, unsigned ms) override { timers[id] = ms; }
    void StopTimer(unsigned id) override { timers.erase(id); }
    EchoSink* EchoList() override { return &sink; }
    void MinimizeToTray() override { ++minimized; }

    std::map<uint32_t, bool> menu;
    bool trayConnected = false;
    int icon = 0, minimized = 0;
    std::string tip;
    std::vector<std::string> panes = std::vector<std::string>(4);
    std::map<unsigned, unsigned> timers;
    QueuedEchoSink sink;
    std::function<void()> whileShown;
};

class FakeSettingsDialog : public PortSettingsHandOver {
  public:
    bool WindowExists() override { return exists; }
    void BringToTop() override { ++broughtToTop; }
    void SetComPorts(const std::vector<PortEntry>& ports) override { comPorts = ports; }
    void SetSettings(const ConnectionSettings& s) override { given = s; }
    ConnectionSettings GetSettings() override { return result; }
    int DoModal() override {
        ++runs;
        return answer;
    }

    bool exists = false;
    int broughtToTop = 0, runs = 0, answer = kIdOk;
    std::vector<PortEntry> comPorts;
    ConnectionSettings given, result;
};

}  // namespace clst::testing
