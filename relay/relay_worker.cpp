#include "relay/relay_worker.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <system_error>
#include <utility>

#include "relay/low_latency_worker.h"
#include "relay/relay_lines.h"
#include "relay/relay_state.h"
#include "relay/relay_steps.h"

namespace clst {

ComPortEndpoint g_comPort;
ClSerEndpoint g_clSerPort;
std::mutex g_portLock;
std::mutex g_echoLock;
std::atomic<bool> g_relayRunning{false};
std::atomic<bool> g_connectionError{false};
std::atomic<bool> g_echoEnabled{false};
std::atomic<EchoSink*> g_echoListBox{nullptr};

void AddLine(std::string_view line) {
    if (EchoSink* sink = g_echoListBox.load()) {
        sink->AddString(line);
    }
}

void EchoBlock(const char* direction, const EchoRecord& record) {
    AddLine(direction);
    EchoBytes(record);
}

std::string FormatEchoLine(const uint8_t* data, size_t count) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string line;
    line.reserve(count * 6);
    for (size_t i = 0; i < count; ++i) {
        const uint8_t byte = data[i];
        if (byte >= 0x10) {
            line.push_back(kHex[byte >> 4]);
        }
        line.push_back(kHex[byte & 0x0F]);
        line.push_back('[');
        if (byte != 0) {
            line.push_back(static_cast<char>(byte));
        }
        line.push_back(']');
        line.push_back(' ');
    }
    return line;
}

void EchoBytes(const EchoRecord& record) {
    const size_t count = record.count < kRelayBufferSize ? record.count : kRelayBufferSize;
    std::lock_guard<std::mutex> lock(g_echoLock);
    EchoSink* sink = g_echoListBox.load();
    if (sink == nullptr) {
        return;
    }
    sink->AddString(FormatEchoLine(record.data, count));
}

namespace {

// Camera to COM: a burst of reads while the camera keeps sending. The count
// carries what was wanted in and what arrived out, so each later read asks
// for as many bytes as the one before delivered. False when the worker must
// end.
bool RelayCameraBurst(RelayRun& run) {
    uint64_t count = kClSerBurstReadSize;
    uint32_t timeout = kClSerFirstReadTimeoutMs;
    for (;;) {
        const int32_t status = ReadCamera(run.FreshBuffer(), count, timeout);
        if (status < 0) {
            CameraReadFailed(run, status);
            return true;
        }
        if (count == 0) {
            return true;
        }
        if (!RelayToCom(run, count)) {
            return false;
        }
        timeout = kClSerNextReadTimeoutMs;
    }
}

}  // namespace

uint32_t RelayThreadProc(void* /*unused*/, LineRateFollower* follower) {
    g_connectionError = false;
    auto run = std::make_unique<RelayRun>(follower);

    std::lock_guard<std::mutex> portLock(g_portLock);
    while (g_relayRunning.load()) {
        // COM to camera: what arrives within the COM read time-out.
        uint64_t n = 0;
        const int32_t status =
            g_comPort.Read(run->FreshBuffer(), kComReadSize, n, kComReadTimeoutMs);
        if (!RelayToCamera(*run, n, status) || !RelayCameraBurst(*run)) {
            break;
        }
    }
    return static_cast<uint32_t>(run->status);
}

RelayWorker::RelayWorker(std::string comDevicePath, int32_t clserPortIndex, uint32_t clserBaudCode,
                         uint32_t comBaudRate, int32_t parity, int32_t dataBits, int32_t stopBits)
    : comDevicePath_(std::move(comDevicePath)),
      clserPortIndex_(clserPortIndex),
      clserBaudCode_(clserBaudCode),
      comBaudRate_(comBaudRate),
      parity_(parity),
      dataBits_(dataBits),
      stopBits_(stopBits) {}

RelayWorker::~RelayWorker() {
    // Connection control always stops a started worker before destroying it;
    // this only keeps a forgotten Stop from leaving a running thread behind.
    if (thread_.joinable()) {
        Stop();
    }
}

int32_t RelayWorker::OpenClSerPort() {
    return g_clSerPort.Open(static_cast<uint32_t>(clserPortIndex_), clserBaudCode_);
}

int32_t RelayWorker::OpenClSerPort(const ClSerPortRoute& route) {
    return g_clSerPort.Open(route, clserBaudCode_);
}

int32_t RelayWorker::OpenComPort() {
    return g_comPort.Open(
        comDevicePath_.c_str(), comBaudRate_, static_cast<uint8_t>(parity_ & 0xFF),
        static_cast<uint8_t>(dataBits_ & 0xFF), static_cast<uint8_t>(stopBits_ & 0xFF));
}

bool RelayWorker::Start(EchoSink* listBox, const RelayOptions& options) {
    g_echoListBox = listBox;
    g_relayRunning = true;
    follower_ = options.followLineRate ? std::make_unique<LineRateFollower>(comBaudRate_) : nullptr;
    if (follower_) {
        // A client that held the COM end at another rate when the relay
        // connected (its end was set to that rate) talks to a camera already
        // switched to it: the camera line follows now, not with the client's
        // next byte, which a tool that only listens never sends.
        std::lock_guard<std::mutex> portLock(g_portLock);
        follower_->Follow();
    }
    const RelayMode mode = options.mode;
    try {
        ended_ = false;
        thread_ = std::thread([this, mode, follower = follower_.get()] {
            if (mode == RelayMode::kLowLatency) {
                LowLatencyThreadProc(this, follower);
            } else {
                RelayThreadProc(this, follower);
            }
            ended_ = true;
        });
    } catch (const std::system_error&) {
        // The standard library reports a thread it could not make only by
        // throwing; turn that into a result here.
        return false;
    }
    return true;
}

void RelayWorker::Stop() {
    g_relayRunning = false;
    {
        std::lock_guard<std::mutex> portLock(g_portLock);
        g_clSerPort.Close();
        g_comPort.Close();
    }
    if (thread_.joinable()) {
        thread_.join();
    }
}

}  // namespace clst
