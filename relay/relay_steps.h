// The per-block steps both relay workers are made of: what becomes of a
// block read from either side (the line-rate follower, the echo, the write,
// the retries, the error lines and which of them end the worker), and a read
// of the camera that is safe with every maker's library. The workers differ
// only in how they wait for the next block.
#pragma once

#include <cstdint>

#include "relay/line_rate_follower.h"
#include "relay/relay_worker.h"

namespace clst {

// What one run of a worker carries from block to block.
struct RelayRun {
    explicit RelayRun(LineRateFollower* follower) : follower(follower) {}

    // The one buffer of both directions, zeroed for the next read.
    uint8_t* FreshBuffer();

    EchoRecord record;
    // Camera-to-COM totals over the whole run.
    uint64_t bytesWritten = 0;
    uint64_t bytesToWrite = 0;
    int32_t status = 0;          // the last status seen: the worker's exit code
    LineRateFollower* follower;  // null: the camera line keeps its rate
};

// COM to camera, after a read of the COM port that gave `n` bytes in the
// buffer and `readStatus`. The follower looks at the client's rate first, so
// a block goes at the rate the client had set when its bytes came in (a rate
// alone is followed with the next byte: a camera may still answer at the old
// rate); then the block is echoed and written. Bytes that came before a failed read are
// relayed before the failure is reported, so that a failure loses nothing
// already read. False when the worker must end: a failed or short camera
// write, a failed COM read.
bool RelayToCamera(RelayRun& run, uint64_t n, int32_t readStatus);

// Camera to COM, the `m` bytes in the buffer: echo, write, one round of
// retries for a write that delivered nothing, the totals, and on failure
// the COM write error line and g_connectionError. False when the worker
// must end, also when the relay is stopped during the retries.
bool RelayToCom(RelayRun& run, uint64_t m);

// A failed camera read: its line; the worker goes on.
void CameraReadFailed(RelayRun& run, int32_t status);

// Reads up to `count` bytes the camera has sent, waiting at most `timeoutMs`
// for them; `count` out: the bytes read (left as it was on failure). Some
// makers' libraries copy nothing when a read times out and keep the bytes
// for a later read that asks for no more than has arrived: after such a
// library's read that brought nothing, and for a read that need not wait,
// the bytes that are there are asked for by number (clGetNumBytesAvail), or
// without it by halving the request until a read brings them.
int32_t ReadCamera(uint8_t* buffer, uint64_t& count, uint32_t timeoutMs);

}  // namespace clst
