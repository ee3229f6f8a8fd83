// The headless front end: the same start-up and connection control as the
// window, with the echo and error lines on standard output and every message
// on standard error. Questions take their safe answer.
#include "ui/headless.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "connections/connection_control.h"
#include "connections/system_discovery_backend.h"
#include "platform/deadline.h"
#include "portpairs/port_pair_library.h"
#include "relay/relay_state.h"
#include "ui/command_line.h"
#include "ui/echo_display.h"
#include "ui/main_window_logic.h"

namespace {

constexpr const char* kProgramTitle = "ClSerTolvane";
// Echo and error lines waiting for standard output, with the batch being
// printed, as held in memory: a few seconds of echo at the highest line rate
// both ways; beyond that lines are dropped, never data.
constexpr size_t kMaxQueuedOutput = 4u << 20;
// How long the end waits for standard output to take the last lines: a stop
// signal ends the program within a second whatever standard output does.
constexpr auto kFinishOutputWait = std::chrono::milliseconds(500);

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
    clst::QueuedEchoSink sink{kMaxQueuedOutput};
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

// Writes the echo and error lines to standard output on a thread of its own:
// a reader that stops reading stalls neither the relay nor the main loop,
// which must keep taking the stop signals.
class OutputPrinter {
  public:
    explicit OutputPrinter(clst::QueuedEchoSink& sink) : sink_(sink), thread_([this] { Run(); }) {}
    OutputPrinter(const OutputPrinter&) = delete;
    OutputPrinter& operator=(const OutputPrinter&) = delete;
    ~OutputPrinter() {
        if (thread_.joinable())
            thread_.join();
    }

    // Prints what is still queued and ends the thread. False when standard
    // output did not take it in time: the thread is then left blocked.
    bool Finish() {
        std::unique_lock<std::mutex> lock(mutex_);
        stop_ = true;
        wake_.notify_all();
        if (!wake_.wait_for(lock, kFinishOutputWait, [this] { return done_; })) {
            thread_.detach();
            return false;
        }
        return true;
    }

  private:
    void Run() {
        std::vector<std::string> lines;
        bool writable = true;
        for (;;) {
            bool stopping;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                wake_.wait_for(lock, std::chrono::milliseconds(20), [this] { return stop_; });
                stopping = stop_;
            }
            // The printed batch is let go before the next is taken: the
            // queue's bound counts it until then.
            lines = {};
            sink_.TakeLines(lines);
            // A closed standard output drops the lines; the relay goes on.
            for (const auto& line : lines) {
                writable = writable && WriteLine(line);
            }
            if (stopping) {
                lines = {};
                if (sink_.TakeLines(lines) == 0)
                    break;
                for (const auto& line : lines) {
                    writable = writable && WriteLine(line);
                }
                break;
            }
        }
        std::lock_guard<std::mutex> lock(mutex_);
        done_ = true;
        wake_.notify_all();
    }

    // One output line per echo line, so that journald and grep see one
    // record per relayed block.
    static bool WriteLine(const std::string& line) {
        std::string text = clst::EchoDisplayText(line);
        text.push_back('\n');
        size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = ::write(STDOUT_FILENO, text.data() + done, text.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
            } else if (n < 0 && errno == EAGAIN) {
                pollfd p{STDOUT_FILENO, POLLOUT, 0};
                ::poll(&p, 1, -1);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else {
                return false;
            }
        }
        return true;
    }

    clst::QueuedEchoSink& sink_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    bool done_ = false;
    std::thread thread_;
};

void Usage(FILE* out) {
    std::fprintf(
        out,
        "Usage: clsertolvane [--low-latency] [--follow-baud] [COMn INDEX "
        "[BAUD,PARITY,DATA,STOP] [AUTORUN]]\n"
        "       clsertolvane --headless [--echo] [--low-latency] [--follow-baud] COMn "
        "INDEX [BAUD,PARITY,DATA,STOP] [AUTORUN]\n"
        "       clsertolvane --list\n"
        "\n"
        "Without --headless the program opens its window (and connects when the\n"
        "words name a connection); with --headless it runs without a window.\n"
        "\n"
        "Relays the virtual port pair whose COM port is COMn (other programs open COMn)\n"
        "to the Camera Link serial port INDEX, for example\n"
        "  clsertolvane --headless --echo COM5 0 115200,N,8,1\n"
        "Options go before the words, in any order:\n"
        "  --echo         print every relayed block on standard output\n"
        "  --low-latency  relay bytes as soon as they arrive in either direction:\n"
        "                 command round trips close to the line's own time, for a\n"
        "                 little more CPU while bytes flow\n"
        "  --follow-baud  when the client changes its port's rate, switch the\n"
        "                 camera line to the same rate\n"
        "  --list         print the Camera Link serial ports and the COM ports, then exit\n"
        "  --version      print the version\n"
        "Messages go to standard error. SIGINT or SIGTERM disconnects and exits 0;\n"
        "a connection error, a failed connection or a relay stopped by a camera\n"
        "write error exits 1.\n");
}

// The two port lists as the port settings dialog offers them, without
// connecting and without taking an instance slot: an INDEX for the command
// line is the number in front of a Camera Link port.
int ListPorts() {
    HeadlessView view;
    clst::PortPairLibrary pairs;
    clst::SystemDiscoveryBackend backend(pairs, view);
    clst::PortDiscovery discovery(backend);
    const bool found = discovery.ListClSerPorts();
    discovery.RefreshComPortList();
    std::printf("Camera Link serial ports:\n");
    for (const auto& name : discovery.m_clserPorts)
        std::printf("  %s\n", name.c_str());
    std::printf("COM ports:\n");
    for (const auto& entry : discovery.m_comPorts) {
        if (entry.pairName.empty())
            std::printf("  %s (physical port: cannot be relayed)\n", entry.comPortName.c_str());
        else
            std::printf("  %s-%s (pair %s)\n", entry.comPortName.c_str(),
                        entry.devicePortName.c_str(), entry.pairName.c_str());
    }
    std::fflush(stdout);
    if (!found)
        view.ShowMessage(clst::kNoBoardsMessage, "", clst::kMbOk);
    return found ? 0 : 1;
}

int Relay(HeadlessView& view, const clst::MainWindowArguments& args, bool echo,
          const clst::RelayOptions& options, clst::PortPairLibrary& pairs,
          const sigset_t& stopSignals) {
    NoSettingsDialog dialog;
    clst::ConnectionControl control(view, dialog, args.comPort, args.index, args.serialParams);
    control.m_settings.echo = echo;
    control.SetRelayOptions(options);
    // The window keeps a start with line settings quiet so that an automatic
    // start pops up no boxes; here a message is only a line on standard
    // error, and the reason of a failed start is all a service log has.
    control.m_bQuietStart = false;

    clst::SystemDiscoveryBackend backend(pairs, view);
    clst::PortDiscovery discovery(backend);
    if (!discovery.ListClSerPorts()) {
        view.ShowMessage(clst::kNoBoardsMessage, "", clst::kMbOk);
        return 1;
    }
    discovery.RefreshComPortList();
    control.m_comPorts = discovery.m_comPorts;
    control.m_clserPorts = discovery.m_clserPorts;
    control.m_clserRoutes = discovery.m_clserRoutes;
    control.ApplyStartupSelection();
    if (!control.m_bConnected) {
        std::fprintf(stderr, "clsertolvane: not connected (%s)\n",
                     control.m_settings.comPortName.empty()
                         ? "no such virtual port pair or Camera Link port"
                         : "the connection failed");
        return 1;
    }
    std::fprintf(stderr, "%s: %s %s%s\n", view.panes[0].c_str(), view.panes[1].c_str(),
                 view.panes[2].c_str(),
                 options.mode == clst::RelayMode::kLowLatency ? " (low latency)" : "");

    const timespec tick{0, 50 * 1000 * 1000};
    clst::platform::Period timer{std::chrono::milliseconds(clst::kErrorTimerPeriodMs)};
    int exitCode = 0;
    for (;;) {
        const int sig = sigtimedwait(&stopSignals, nullptr, &tick);
        if (sig == SIGINT || sig == SIGTERM) {
            control.Disconnect();
            break;
        }
        // A worker that ended by itself without a connection error (a camera
        // write failed) leaves the window connected but idle; headless ends
        // instead, so that a service manager can start it again.
        if (control.m_pRelay && control.m_pRelay->ended() && !clst::g_connectionError.load()) {
            std::fprintf(stderr, "clsertolvane: the relay stopped after the error above\n");
            control.Disconnect();
            exitCode = 1;
            break;
        }
        if (timer.Due()) {
            const std::string line = view.panes[2];
            control.OnTimer(clst::kErrorTimerId);
            if (!control.m_bConnected) {
                exitCode = 1;
                break;
            }
            // The relay followed the client to another line rate.
            if (view.panes[2] != line) {
                std::fprintf(stderr, "%s: %s %s\n", view.panes[0].c_str(), view.panes[1].c_str(),
                             view.panes[2].c_str());
            }
        }
    }
    return exitCode;
}

int RunHeadless(const clst::MainWindowArguments& args, bool echo, const clst::RelayOptions& options,
                clst::PortPairLibrary& pairs, const sigset_t& stopSignals) {
    if (args.comPort.empty()) {
        std::fprintf(stderr, "clsertolvane: no connection given (a COM port and an index)\n");
        Usage(stderr);
        return 2;
    }
    HeadlessView view;
    OutputPrinter printer(view.sink);
    // The COM port's own lines come from the relay while it holds the port
    // lock: they wait in the queue too, so that standard output that nobody
    // reads stalls neither the relay nor a stop.
    clst::g_comPort.SetDiagnosticLines(&view.sink);
    const int exitCode = Relay(view, args, echo, options, pairs, stopSignals);
    clst::g_comPort.SetDiagnosticLines(nullptr);
    if (!printer.Finish()) {
        // The printer is stuck in a write nobody takes; ending normally would
        // wait for it for ever.
        std::fprintf(stderr,
                     "clsertolvane: standard output is not read; its last lines are lost\n");
        std::fflush(stderr);
        std::_Exit(exitCode);
    }
    return exitCode;
}

}  // namespace

namespace clst {

void PrintUsage(FILE* out) {
    Usage(out);
}

int RunHeadlessMain(const std::vector<std::string>& words, const RelayOptions& options) {
    bool echo = false;
    for (const auto& word : words) {
        if (word == "--echo")
            echo = true;
        if (word == "--list")
            return ListPorts();
    }

    // SIGINT and SIGTERM are taken by the main loop; block them before any
    // thread exists so that every thread inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    // A closed standard output only loses the lines; the relay goes on.
    signal(SIGPIPE, SIG_IGN);

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
        exitCode = RunHeadless(args, echo, options, pairs, stopSignals);
    };
    clst::RunStartup(words, info, hooks);
    return exitCode;
}

}  // namespace clst
