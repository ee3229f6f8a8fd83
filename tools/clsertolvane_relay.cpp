// clsertolvane-relay: relays one serial port to one Camera Link serial port
// without any window, printing the relay's echo and error lines. A low-level
// tool for trying a board or a port pair from a shell.
#include <signal.h>
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/port_directory.h"
#include "relay/relay_state.h"
#include "relay/relay_worker.h"

namespace {

struct BaudEntry {
    uint32_t bitsPerSecond;
    uint32_t clserCode;
};

constexpr BaudEntry kBaudRates[] = {{9600, 1},    {19200, 2},   {38400, 4},   {57600, 8},
                                    {115200, 16}, {230400, 32}, {460800, 64}, {921600, 128}};

void Usage(FILE* out) {
    std::fprintf(out,
                 "Usage: clsertolvane-relay [--echo] [--low-latency] [--baud BITS] PORT INDEX\n"
                 "\n"
                 "Relays the serial port PORT (a port-directory name such as ZADURUV5, COM1\n"
                 "or a /dev name) to the Camera Link serial port INDEX until Ctrl+C.\n"
                 "  --echo        print every relayed block\n"
                 "  --low-latency relay bytes as soon as they arrive in either direction\n"
                 "  --baud BITS   line rate of both sides, 9600..921600 (default 115200)\n");
}

bool ParseUnsigned(const char* text, uint32_t& value) {
    char* end = nullptr;
    errno = 0;
    unsigned long v = std::strtoul(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v > 0xFFFFFFFFul) {
        return false;
    }
    value = static_cast<uint32_t>(v);
    return true;
}

void PrintLines(clst::QueuedEchoSink& sink, std::vector<std::string>& lines) {
    lines.clear();
    sink.TakeLines(lines);
    for (const auto& line : lines) {
        std::fwrite(line.data(), 1, line.size(), stdout);
        if (line.empty() || line.back() != '\n') {
            std::fputc('\n', stdout);
        }
    }
    if (!lines.empty()) {
        std::fflush(stdout);
    }
}

}  // namespace

int main(int argc, char** argv) {
    bool echo = false;
    clst::RelayMode mode = clst::RelayMode::kDefault;
    uint32_t baud = 115200;
    std::vector<const char*> words;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--echo") {
            echo = true;
        } else if (arg == "--low-latency") {
            mode = clst::RelayMode::kLowLatency;
        } else if (arg == "--baud" && i + 1 < argc) {
            if (!ParseUnsigned(argv[++i], baud)) {
                std::fprintf(stderr, "clsertolvane-relay: bad baud rate \"%s\"\n", argv[i]);
                return 2;
            }
        } else if (arg == "-h" || arg == "--help") {
            Usage(stdout);
            return 0;
        } else if (!arg.empty() && arg[0] == '-') {
            std::fprintf(stderr, "clsertolvane-relay: unknown option \"%s\"\n", arg.c_str());
            Usage(stderr);
            return 2;
        } else {
            words.push_back(argv[i]);
        }
    }
    uint32_t index = 0;
    if (words.size() != 2 || !ParseUnsigned(words[1], index)) {
        Usage(stderr);
        return 2;
    }
    uint32_t code = 0;
    for (const auto& entry : kBaudRates) {
        if (entry.bitsPerSecond == baud)
            code = entry.clserCode;
    }
    if (code == 0) {
        std::fprintf(stderr, "clsertolvane-relay: %u bit/s is not a Camera Link rate\n", baud);
        return 2;
    }

    // SIGINT and SIGTERM are taken synchronously by the main loop below; block
    // them before the worker thread exists so that it inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    const std::string path = std::string("\\\\.\\") + words[0];
    clst::RelayWorker worker(path, static_cast<int32_t>(index), code, baud, 0, 8, 0);
    int32_t status = worker.OpenClSerPort();
    if (status != 0) {
        std::fprintf(stderr, "Cannot open the Camera Link serial port %u\nError code: %d\n", index,
                     status);
        return 1;
    }
    status = worker.OpenComPort();
    if (status != 0) {
        clst::g_clSerPort.Close();
        std::fprintf(stderr, "Cannot open the serial port\nError code: %d\n", status);
        // Port names are looked up in the port directory only when it is safe.
        std::string refused;
        if (std::strchr(words[0], '/') == nullptr &&
            !clst::platform::CheckPortDirectory(clst::platform::PortDirectoryPath(), refused)) {
            std::fprintf(stderr, "%s\n", refused.c_str());
        }
        return 1;
    }
    clst::QueuedEchoSink sink;
    clst::g_echoEnabled = echo;
    if (!worker.Start(&sink, {mode})) {
        worker.Stop();
        std::fprintf(stderr, "clsertolvane-relay: cannot start the relay thread\n");
        return 1;
    }
    std::printf("Relaying %s <-> Camera Link serial port %u at %u bit/s. Ctrl+C stops.\n", words[0],
                index, baud);
    std::fflush(stdout);

    std::vector<std::string> lines;
    int exitCode = 0;
    const timespec tick{0, 50 * 1000 * 1000};
    for (;;) {
        int sig = sigtimedwait(&stopSignals, nullptr, &tick);
        PrintLines(sink, lines);
        if (sig == SIGINT || sig == SIGTERM) {
            break;
        }
        if (clst::g_connectionError.load()) {
            std::fprintf(stderr, "Connection error!\n");
            exitCode = 1;
            break;
        }
    }
    worker.Stop();
    PrintLines(sink, lines);
    return exitCode;
}
