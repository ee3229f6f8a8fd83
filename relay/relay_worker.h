// The relay worker: one thread that moves bytes between the COM port and the
// Camera Link serial port until it is stopped or a COM write fails.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "relay/clser_library_search.h"
#include "relay/echo_sink.h"
#include "relay/line_rate_follower.h"

namespace clst {

// The relay's constants.
inline constexpr size_t kRelayBufferSize = 4096;
inline constexpr uint64_t kComReadSize = 1024;
inline constexpr uint32_t kComReadTimeoutMs = 100;
inline constexpr uint64_t kClSerBurstReadSize = 1024;
inline constexpr uint32_t kClSerFirstReadTimeoutMs = 10;
inline constexpr uint32_t kClSerNextReadTimeoutMs = 0;
inline constexpr int kComWriteRetries = 10;
inline constexpr uint32_t kComWriteRetryPauseMs = 200;

// One block handed to EchoBytes: the first `count` bytes of `data` are valid.
struct EchoRecord {
    uint32_t count = 0;
    uint8_t data[kRelayBufferSize] = {};
};

// Formats the record as one "%x[%c] " piece per byte and adds the line to
// the echo list under g_echoLock, then scrolls so that the tenth line from
// the end is on top.
void EchoBytes(const EchoRecord& record);
// The byte line EchoBytes adds, without adding it. A zero byte, which cannot
// stand inside the text, shows as "0[] ".
std::string FormatEchoLine(const uint8_t* data, size_t count);

// The worker's body; works only on the process-wide relay state and, when
// the relay follows the client's line rate, `follower`. Returns the last
// status it saw.
uint32_t RelayThreadProc(void* unused, LineRateFollower* follower = nullptr);

// Which body the worker thread runs: RelayThreadProc, or
// LowLatencyThreadProc (relay/low_latency_worker.h), which relays bytes as
// soon as they arrive in either direction.
enum class RelayMode { kDefault, kLowLatency };

// How a connection relays, as the program's options choose.
struct RelayOptions {
    RelayMode mode = RelayMode::kDefault;
    // Switch the camera line to the rate the client sets on its port
    // (relay/line_rate_follower.h); off: the rates stay as connected.
    bool followLineRate = false;
};

class RelayWorker {
  public:
    RelayWorker(std::string comDevicePath, int32_t clserPortIndex, uint32_t clserBaudCode,
                uint32_t comBaudRate, int32_t parity, int32_t dataBits, int32_t stopBits);
    ~RelayWorker();
    RelayWorker(const RelayWorker&) = delete;
    RelayWorker& operator=(const RelayWorker&) = delete;

    // The Camera Link port of the index, in the endpoint's own library or
    // through the route of the port list it was picked from.
    int32_t OpenClSerPort();
    int32_t OpenClSerPort(const ClSerPortRoute& route);
    int32_t OpenComPort();
    // Records the echo list, raises g_relayRunning and starts the thread
    // with the body of `options.mode`. Returns false when the thread could
    // not be made (the ports stay open for Stop to close).
    bool Start(EchoSink* listBox, const RelayOptions& options = {});
    // Lowers g_relayRunning, waits until the worker has left its loop, closes
    // the Camera Link port and then the COM port, and joins the thread.
    void Stop();

    const std::string& comDevicePath() const { return comDevicePath_; }
    int32_t clserPortIndex() const { return clserPortIndex_; }
    uint32_t clserBaudCode() const { return clserBaudCode_; }
    uint32_t comBaudRate() const { return comBaudRate_; }
    bool started() const { return thread_.joinable(); }
    // True once the thread has left its loop: after Stop, or by itself after
    // a fatal error (with or without g_connectionError).
    bool ended() const { return ended_.load(); }
    // The rate the camera line runs at: the connected one, or the one it
    // followed the client to.
    uint32_t lineRate() const { return follower_ ? follower_->rate() : comBaudRate_; }

  private:
    std::string comDevicePath_;
    int32_t clserPortIndex_;
    uint32_t clserBaudCode_;
    uint32_t comBaudRate_;
    int32_t parity_;
    int32_t dataBits_;
    int32_t stopBits_;
    std::atomic<bool> ended_{false};
    std::unique_ptr<LineRateFollower> follower_;
    std::thread thread_;
};

}  // namespace clst
