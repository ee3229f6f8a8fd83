#include "relay/low_latency_worker.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <thread>

#include "relay/relay_lines.h"
#include "relay/relay_state.h"
#include "relay/relay_worker.h"

namespace clst {

LowLatencyPacer::Wait LowLatencyPacer::Next(Clock::time_point now) const {
    if (cameraReadFailed_) {
        return {Side::kCom, kComReadTimeoutMs, 0};
    }
    const bool busy = lastBytes_ && now - *lastBytes_ < kLowLatencyBusySpan;
    return {side_, busy ? kLowLatencyBusyWaitMs : kLowLatencyQuietWaitMs,
            streaming_ ? kLowLatencyBusyWaitMs : 0};
}

void LowLatencyPacer::Passed(bool toCamera, bool toCom, bool cameraReadFailed,
                             Clock::time_point now) {
    cameraReadFailed_ = cameraReadFailed;
    if (toCamera || toCom) {
        lastBytes_ = now;
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

// Camera-to-COM totals over the worker's whole run.
struct ComTotals {
    uint64_t written = 0;
    uint64_t toWrite = 0;
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

// What the camera has sent, up to one block, in the same way. With
// clGetNumBytesAvail the read asks for exactly what is there, so it never
// depends on what a library copies when a read times out.
int32_t TakeFromCamera(uint8_t* buffer, uint64_t& count, uint32_t waitMs) {
    count = 0;
    if (waitMs > 0) {
        uint64_t first = 1;
        const int32_t status = g_clSerPort.Read(buffer, first, waitMs);
        if (status < 0 || first == 0) {
            return status;
        }
        count = first;
    }
    uint64_t wanted = kClSerBurstReadSize - count;
    if (g_clSerPort.CanCountBytes()) {
        uint64_t available = 0;
        const int32_t status = g_clSerPort.BytesAvailable(available);
        if (status < 0) {
            return status;
        }
        wanted = std::min(wanted, available);
        if (wanted == 0) {
            return 0;
        }
    }
    uint64_t more = wanted;
    const int32_t status = g_clSerPort.Read(buffer + count, more, 0);
    if (status == 0) {
        count += more;
    }
    return status;
}

// The default worker's steps for one block from the camera: echo, write,
// one retry round for a write that delivered nothing, the totals, and the
// fatal error line. False when the worker must end.
bool WriteToCom(EchoRecord& record, uint64_t m, ComTotals& totals, int32_t& status) {
    if (g_echoEnabled.load()) {
        record.count = static_cast<uint32_t>(m);
        EchoBlock("To Com:", record);
    }
    uint64_t written = 0;
    status = g_comPort.Write(record.data, m, written);
    if (status == 0 && written == 0) {
        AddLine(Format("Retry after TotalBytesWritten: %d", static_cast<int32_t>(totals.written)));
        for (int retry = 0; retry < kComWriteRetries; ++retry) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kComWriteRetryPauseMs));
            status = g_comPort.Write(record.data, m, written);
            if (status != 0 || written != 0) {
                break;
            }
        }
    }
    totals.toWrite += m;
    totals.written += written;
    if (status < 0 || written != m) {
        {
            std::lock_guard<std::mutex> echoLock(g_echoLock);
            AddLine(
                Format("Error writing to COM interface  error code: %d  TotalBytesWritten: %d  "
                       "TotalBytesToWrite: %d\n",
                       status, static_cast<int32_t>(totals.written),
                       static_cast<int32_t>(totals.toWrite)));
        }
        g_connectionError = true;
        return false;
    }
    return true;
}

// Bytes that arrived before a failed read are relayed before the failure is
// reported, so a failure loses nothing that was already read.
Outcome ComToCamera(EchoRecord& record, uint32_t waitMs, int32_t& status) {
    Outcome outcome;
    std::memset(record.data, 0, kRelayBufferSize);
    uint64_t n = 0;
    const int32_t readStatus = TakeFromCom(record.data, n, waitMs);
    if (n > 0) {
        if (g_echoEnabled.load()) {
            record.count = static_cast<uint32_t>(n);
            EchoBlock("To ClSer:", record);
        }
        uint64_t written = 0;
        status = g_clSerPort.Write(record.data, n, written);
        if (status < 0 || written != n) {
            AddLine(Format("Error writing to clser interface   error code: %d", status));
            outcome.fatal = true;
            return outcome;
        }
        outcome.relayed = true;
    }
    if (readStatus < 0) {
        status = readStatus;
        AddLine(Format("Error while reading from COM interface   error code: %d", status));
        outcome.fatal = true;
    }
    return outcome;
}

Outcome CameraToCom(EchoRecord& record, uint32_t waitMs, ComTotals& totals, int32_t& status) {
    Outcome outcome;
    std::memset(record.data, 0, kRelayBufferSize);
    uint64_t m = 0;
    const int32_t readStatus = TakeFromCamera(record.data, m, waitMs);
    if (m > 0) {
        if (!WriteToCom(record, m, totals, status)) {
            outcome.fatal = true;
            return outcome;
        }
        outcome.relayed = true;
    }
    if (readStatus < 0) {
        status = readStatus;
        AddLine(Format("Error reading from clser interface   error code: %d", status));
        outcome.readFailed = true;
    }
    return outcome;
}

}  // namespace

uint32_t LowLatencyThreadProc(void* /*unused*/) {
    g_connectionError = false;
    auto record = std::make_unique<EchoRecord>();
    ComTotals totals;
    LowLatencyPacer pacer;
    int32_t status = 0;

    std::lock_guard<std::mutex> portLock(g_portLock);
    while (g_relayRunning.load()) {
        // The side waited on goes first; what the other side sent meanwhile
        // is taken right after it.
        const LowLatencyPacer::Wait wait = pacer.Next(LowLatencyPacer::Clock::now());
        if (wait.pauseMs > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(wait.pauseMs));
        }
        Outcome toCamera;
        Outcome toCom;
        if (wait.side == Side::kCamera) {
            toCom = CameraToCom(*record, wait.ms, totals, status);
            if (!toCom.fatal) {
                toCamera = ComToCamera(*record, 0, status);
            }
        } else {
            toCamera = ComToCamera(*record, wait.ms, status);
            if (!toCamera.fatal) {
                toCom = CameraToCom(*record, 0, totals, status);
            }
        }
        if (toCamera.fatal || toCom.fatal) {
            break;
        }
        pacer.Passed(toCamera.relayed, toCom.relayed, toCom.readFailed,
                     LowLatencyPacer::Clock::now());
    }
    return static_cast<uint32_t>(status);
}

}  // namespace clst
