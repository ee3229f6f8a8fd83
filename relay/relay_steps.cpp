#include "relay/relay_steps.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "platform/deadline.h"
#include "relay/relay_lines.h"
#include "relay/relay_state.h"

namespace clst {

namespace {

// The bytes a read that timed out may have left in the library.
int32_t TakeHeldBytes(uint8_t* buffer, uint64_t wanted, uint64_t& count) {
    if (g_clSerPort.CanCountBytes()) {
        uint64_t available = 0;
        const int32_t status = g_clSerPort.BytesAvailable(available);
        if (status < 0) {
            return status;
        }
        count = std::min(wanted, available);
        return count == 0 ? 0 : g_clSerPort.Read(buffer, count, 0);
    }
    count = 0;
    for (uint64_t ask = wanted / 2; ask > 0; ask /= 2) {
        uint64_t got = ask;
        const int32_t status = g_clSerPort.Read(buffer, got, 0);
        if (status < 0) {
            return status;
        }
        if (got > 0) {
            count = got;
            break;
        }
    }
    return 0;
}

}  // namespace

uint8_t* RelayRun::FreshBuffer() {
    std::memset(record.data, 0, kRelayBufferSize);
    return record.data;
}

bool RelayToCamera(RelayRun& run, uint64_t n, int32_t readStatus) {
    run.status = readStatus;
    if (n > 0) {
        if (run.follower != nullptr) {
            run.follower->Follow();
        }
        if (g_echoEnabled.load()) {
            run.record.count = static_cast<uint32_t>(n);
            EchoBlock("To ClSer:", run.record);
        }
        uint64_t written = 0;
        run.status = g_clSerPort.Write(run.record.data, n, written);
        if (run.status < 0 || written != n) {
            AddLine(Format("Error writing to clser interface   error code: %d", run.status));
            return false;
        }
    }
    if (readStatus < 0) {
        run.status = readStatus;
        AddLine(Format("Error while reading from COM interface   error code: %d", readStatus));
        return false;
    }
    return true;
}

bool RelayToCom(RelayRun& run, uint64_t m) {
    if (g_echoEnabled.load()) {
        run.record.count = static_cast<uint32_t>(m);
        EchoBlock("To Com:", run.record);
    }
    int32_t& status = run.status;
    uint64_t written = 0;
    status = g_comPort.Write(run.record.data, m, written);
    if (status == 0 && written == 0) {
        AddLine(
            Format("Retry after TotalBytesWritten: %d", static_cast<int32_t>(run.bytesWritten)));
        // A stop ends the retries: it waits for the port lock held here,
        // and a client that never reads would make it wait seconds.
        for (int retry = 0; retry < kComWriteRetries && g_relayRunning; ++retry) {
            platform::Deadline::InMs(kComWriteRetryPauseMs).SleepUntil();
            status = g_comPort.Write(run.record.data, m, written);
            if (status != 0 || written != 0) {
                break;
            }
        }
    }
    run.bytesToWrite += m;
    run.bytesWritten += written;
    if (!g_relayRunning) {
        return false;
    }
    if (status < 0 || written != m) {
        {
            std::lock_guard<std::mutex> echoLock(g_echoLock);
            AddLine(
                Format("Error writing to COM interface  error code: %d  TotalBytesWritten: %d  "
                       "TotalBytesToWrite: %d\n",
                       status, static_cast<int32_t>(run.bytesWritten),
                       static_cast<int32_t>(run.bytesToWrite)));
        }
        g_connectionError = true;
        return false;
    }
    return true;
}

void CameraReadFailed(RelayRun& run, int32_t status) {
    run.status = status;
    AddLine(Format("Error reading from clser interface   error code: %d", status));
}

int32_t ReadCamera(uint8_t* buffer, uint64_t& count, uint32_t timeoutMs) {
    const uint64_t wanted = count;
    if (wanted == 0) {
        return 0;
    }
    if (timeoutMs > 0 || !g_clSerPort.CanCountBytes()) {
        const int32_t status = g_clSerPort.Read(buffer, count, timeoutMs);
        // A library that copies what arrived on a time-out keeps nothing
        // back: only the other kind is asked again.
        if (status < 0 || count > 0 || !g_clSerPort.KeptOnTimeOut()) {
            return status;
        }
    }
    return TakeHeldBytes(buffer, wanted, count);
}

}  // namespace clst
