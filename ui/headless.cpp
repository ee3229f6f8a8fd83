// The headless front end: the same start-up and connection control as the
// window, with the echo and error lines on standard output and every message
// on standard error. Questions take their safe answer.
#include "ui/headless.h"

#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "connections/connection_control.h"
#include "connections/system_discovery_backend.h"
#include "portpairs/port_pair_library.h"
#include "relay/relay_state.h"
#include "ui/command_line.h"
#include "ui/echo_display.h"
#include "ui/main_window_logic.h"

namespace {

constexpr const char* kProgramTitle = "ClSerTolvane";

void PrintMessage(const std::string& text, const std::string& caption) {
    std::fprintf(stderr, "%s: %s\n", caption.empty() ? kProgramTitle : caption.c_str(),
                 text.c_str());
    std::fflush(stderr);
}

// The window's part, without a window: questions take their safe answer (No,
// Cancel), the status texts are kept for the state line.
class HeadlessView : public clst::ConnectionView {
  public:
    void SetMenuItemEnabled(uint32_t, bool) override {}
    void SetTrayConnected(bool) override {}
    void ChangeTrayIcon(int) override {}
    void ChangeTrayTip(const std::string&) override {}
    void SetStatusText(int pane, const std::string& text) override {
        if (pane >= 0 && pane < 4)
            panes[pane] = text;
    }
    int ShowMessage(const std::string& text, const std::string& caption, unsigned flags) override {
        PrintMessage(text, caption);
        return (flags & 0x0F) == clst::kMbYesNo
                   ? clst::kIdNo
                   : ((flags & 0x0F) == clst::kMbOk ? clst::kIdOk : clst::kIdCancel);
    }
    void StartTimer(unsigned, unsigned) override {}
    void StopTimer(unsigned) override {}
    clst::EchoSink* EchoList() override { return &sink; }
    void MinimizeToTray() override {}

    std::string panes[4];
    clst::QueuedEchoSink sink;
};

// No settings dialog without a window.
class NoSettingsDialog : public clst::PortSettingsHandOver {
  public:
    bool WindowExists() override { return false; }
    void BringToTop() override {}
    void SetComPorts(const std::vector<clst::PortEntry>&) override {}
    void SetSettings(const clst::ConnectionSettings&) override {}
    clst::ConnectionSettings GetSettings() override { return {}; }
    int DoModal() override { return clst::kIdCancel; }
};

void PrintLines(clst::QueuedEchoSink& sink, std::vector<std::string>& lines) {
    lines.clear();
    sink.TakeLines(lines);
    // One output line per echo line, so that journald and grep see one
    // record per relayed block.
    for (const auto& line : lines) {
        const std::string text = clst::EchoDisplayText(line);
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fputc('\n', stdout);
    }
    if (!lines.empty())
        std::fflush(stdout);
}

void Usage(FILE* out) {
    std::fprintf(out,
                 "Usage: clsertolvane [COMn INDEX [BAUD,PARITY,DATA,STOP] [AUTORUN]]\n"
                 "       clsertolvane --headless [--echo] COMn INDEX [BAUD,PARITY,DATA,STOP] "
                 "[AUTORUN]\n"
                 "\n"
                 "Without --headless the program opens its window (and connects when the\n"
                 "words name a connection); with --headless it runs without a window.\n"
                 "\n"
                 "Relays the virtual port pair whose COM port is COMn (other programs open COMn)\n"
                 "to the Camera Link serial port INDEX, for example\n"
                 "  clsertolvane --headless --echo COM5 0 115200,N,8,1\n"
                 "  --echo      print every relayed block on standard output\n"
                 "  --version   print the version\n"
                 "Messages go to standard error. SIGINT or SIGTERM disconnects and exits 0;\n"
                 "a connection error, a failed connection or a relay stopped by a camera\n"
                 "write error exits 1.\n");
}

int RunHeadless(const clst::MainWindowArguments& args, bool echo, clst::PortPairLibrary& pairs,
                const sigset_t& stopSignals) {
    if (args.comPort.empty()) {
        std::fprintf(stderr, "clsertolvane: no connection given (a COM port and an index)\n");
        Usage(stderr);
        return 2;
    }
    HeadlessView view;
    NoSettingsDialog dialog;
    clst::ConnectionControl control(view, dialog, args.comPort, args.index, args.serialParams);
    control.m_settings.echo = echo;
    // The window keeps a start with line settings quiet so that an automatic
    // start pops up no boxes; here a message is only a line on standard
    // error, and the reason of a failed start is all a service log has.
    control.m_bQuietStart = false;

    clst::SystemDiscoveryBackend backend(pairs, view);
    clst::PortDiscovery discovery(backend);
    if (!discovery.EnumerateClSerPorts()) {
        view.ShowMessage(clst::kNoBoardsMessage, "", clst::kMbOk);
        return 1;
    }
    discovery.RefreshComPortList();
    control.m_comPorts = discovery.m_comPorts;
    control.m_clserPorts = discovery.m_clserPorts;
    control.ApplyStartupSelection();
    if (!control.m_bConnected) {
        std::fprintf(stderr, "clsertolvane: not connected (%s)\n",
                     control.m_settings.comPortName.empty()
                         ? "no such virtual port pair or Camera Link port"
                         : "the connection failed");
        return 1;
    }
    std::fprintf(stderr, "%s: %s %s\n", view.panes[0].c_str(), view.panes[1].c_str(),
                 view.panes[2].c_str());

    std::vector<std::string> lines;
    const timespec tick{0, 50 * 1000 * 1000};
    auto nextTimer = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    int exitCode = 0;
    for (;;) {
        const int sig = sigtimedwait(&stopSignals, nullptr, &tick);
        PrintLines(view.sink, lines);
        if (sig == SIGINT || sig == SIGTERM) {
            control.Disconnect();
            break;
        }
        // A worker that ended by itself without a connection error (a camera
        // write failed) leaves the window connected but idle; headless ends
        // instead, so that a service manager can start it again.
        if (control.m_pRelay && control.m_pRelay->ended() && !clst::g_connectionError.load()) {
            PrintLines(view.sink, lines);
            std::fprintf(stderr, "clsertolvane: the relay stopped after the error above\n");
            control.Disconnect();
            exitCode = 1;
            break;
        }
        if (std::chrono::steady_clock::now() >= nextTimer) {
            nextTimer += std::chrono::seconds(1);
            control.OnTimer(clst::kErrorTimerId);
            if (!control.m_bConnected) {
                exitCode = 1;
                break;
            }
        }
    }
    PrintLines(view.sink, lines);
    return exitCode;
}

}  // namespace

namespace clst {

void PrintUsage(FILE* out) {
    Usage(out);
}

int RunHeadlessMain(const std::vector<std::string>& words) {
    bool echo = false;
    for (const auto& word : words) {
        if (word == "--echo")
            echo = true;
    }

    // SIGINT and SIGTERM are taken by the main loop; block them before any
    // thread exists so that every thread inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    clst::PortPairLibrary pairs;
    clst::CMyCommandLineInfo info;
    int exitCode = 1;
    clst::StartupHooks hooks;
    hooks.claimInstanceSlot = [] {
        const int slot = clst::ClaimInstanceSlot();
        std::fputc('\n', stdout);
        std::fflush(stdout);
        return slot;
    };
    UsePortPairLibrary(hooks, pairs);
    hooks.showMessage = [](const std::string& text, unsigned) { PrintMessage(text, ""); };
    hooks.runMainWindow = [&](const clst::MainWindowArguments& args) {
        exitCode = RunHeadless(args, echo, pairs, stopSignals);
    };
    clst::RunStartup(words, info, hooks);
    return exitCode;
}

}  // namespace clst
