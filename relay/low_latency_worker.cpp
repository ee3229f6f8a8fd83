#include "relay/low_latency_worker.h"

#include <memory>
#include <mutex>

#include "relay/relay_state.h"
#include "relay/relay_steps.h"

namespace clst {

LowLatencyPacer::Wait LowLatencyPacer::Next(Clock::time_point now) const {
    if (cameraReadFailed_) {
        return {Side::kCom, kComReadTimeoutMs, 0};
    }
    const bool busy = !busyUntil_.Passed(now);
    return {side_, busy ? kLowLatencyBusyWaitMs : kLowLatencyQuietWaitMs,
            streaming_ ? kLowLatencyBusyWaitMs : 0};
}

void LowLatencyPacer::Passed(bool toCamera, bool toCom, bool cameraReadFailed,
                             Clock::time_point now) {
    cameraReadFailed_ = cameraReadFailed;
    if (toCamera || toCom) {
        busyUntil_ = platform::Deadline(now + kLowLatencyBusySpan);
    }
    if (toCamera) {
        side_ = Side::kCamera;
    } else if (toCom) {
        side_ = Side::kCom;
    }
    // The side to wait on next sent bytes in this pass too.
    streaming_ = side_ == Side::kCamera ? toCom : toCamera;
}

namespace {

using Side = LowLatencyPacer::Side;

// What one direction of a pass came to.
struct Outcome {
    bool relayed = false;
    bool readFailed = false;
    bool fatal = false;
};

// What the COM side has, up to one block. A wait ends with the first byte,
// and what came with it is taken without waiting: a read of a whole block
// would wait for a quiet gap after the bytes.
int32_t TakeFromCom(uint8_t* buffer, uint64_t& count, uint32_t waitMs) {
    count = 0;
    if (waitMs == 0) {
        return g_comPort.Read(buffer, kComReadSize, count, 0);
    }
    int32_t status = g_comPort.Read(buffer, 1, count, waitMs);
    if (status < 0 || count == 0) {
        return status;
    }
    uint64_t more = 0;
    status = g_comPort.Read(buffer + count, kComReadSize - count, more, 0);
    count += more;
    return status;
}

// What the camera has sent, up to one block, in the same way.
int32_t TakeFromCamera(uint8_t* buffer, uint64_t& count, uint32_t waitMs) {
    count = 0;
    if (waitMs > 0) {
        uint64_t first = 1;
        const int32_t status = ReadCamera(buffer, first, waitMs);
        if (status < 0 || first == 0) {
            return status;
        }
        count = first;
    }
    uint64_t more = kClSerBurstReadSize - count;
    const int32_t status = ReadCamera(buffer + count, more, 0);
    if (status == 0) {
        count += more;
    }
    return status;
}

Outcome ComToCamera(RelayRun& run, uint32_t waitMs) {
    uint64_t n = 0;
    const int32_t readStatus = TakeFromCom(run.FreshBuffer(), n, waitMs);
    Outcome outcome;
    outcome.fatal = !RelayToCamera(run, n, readStatus);
    outcome.relayed = n > 0;
    return outcome;
}

// Bytes that arrived before a failed read are relayed before the failure is
// reported, as from the COM side.
Outcome CameraToCom(RelayRun& run, uint32_t waitMs) {
    uint64_t m = 0;
    const int32_t readStatus = TakeFromCamera(run.FreshBuffer(), m, waitMs);
    Outcome outcome;
    if (m > 0) {
        outcome.fatal = !RelayToCom(run, m);
        outcome.relayed = true;
    }
    if (readStatus < 0 && !outcome.fatal) {
        CameraReadFailed(run, readStatus);
        outcome.readFailed = true;
    }
    return outcome;
}

}  // namespace

uint32_t LowLatencyThreadProc(void* /*unused*/, LineRateFollower* follower) {
    g_connectionError = false;
    auto run = std::make_unique<RelayRun>(follower);
    LowLatencyPacer pacer;

    std::lock_guard<std::mutex> portLock(g_portLock);
    while (g_relayRunning.load()) {
        // The side waited on goes first; what the other side sent meanwhile
        // is taken right after it.
        const LowLatencyPacer::Wait wait = pacer.Next(LowLatencyPacer::Clock::now());
        if (wait.pauseMs > 0) {
            platform::Deadline::InMs(wait.pauseMs).SleepUntil();
        }
        Outcome toCamera;
        Outcome toCom;
        if (wait.side == Side::kCamera) {
            toCom = CameraToCom(*run, wait.ms);
            if (!toCom.fatal) {
                toCamera = ComToCamera(*run, 0);
            }
        } else {
            toCamera = ComToCamera(*run, wait.ms);
            if (!toCamera.fatal) {
                toCom = CameraToCom(*run, 0);
            }
        }
        if (toCamera.fatal || toCom.fatal) {
            break;
        }
        pacer.Passed(toCamera.relayed, toCom.relayed, toCom.readFailed,
                     LowLatencyPacer::Clock::now());
    }
    return static_cast<uint32_t>(run->status);
}

}  // namespace clst
