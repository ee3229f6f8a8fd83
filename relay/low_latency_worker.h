// The low-latency relay worker: a sibling of RelayThreadProc that relays
// bytes as soon as they arrive in either direction, with the same echo,
// retry and error lines and the same fatal and non-fatal failures.
#pragma once

#include <chrono>
#include <cstdint>

#include "platform/deadline.h"
#include "relay/line_rate_follower.h"

namespace clst {

// How long a pass waits on one side while bytes have moved within
// kLowLatencyBusySpan, and once the connection has gone quiet.
inline constexpr uint32_t kLowLatencyBusyWaitMs = 1;
inline constexpr uint32_t kLowLatencyQuietWaitMs = 10;
inline constexpr std::chrono::milliseconds kLowLatencyBusySpan{100};

// Which side a pass waits on, and for how long. The Camera Link serial API
// cannot wait on both sides at once, nor be woken from a wait, so a pass
// waits on one side (a wait ends with the first byte that arrives there) and
// then takes what the other side has without waiting. It waits where the
// next bytes are most likely to come from: the camera after bytes went to
// it (its answer is due), the COM side after the camera's bytes went there
// (the next command is due). So a command and its answer are each picked up
// the moment they arrive, and only bytes from the other side wait for the
// end of the wait: 1 ms while busy, 10 ms once quiet, which keeps a quiet
// connection cheap. While the side to wait on keeps sending (a stream rather
// than a command or an answer), a pass first pauses 1 ms, so that a stream
// moves in blocks of about 1 ms of the line rather than a few bytes a pass
// (a line delivers its bytes one by one, and a relay that takes each at once
// spends a core on it). After a failed camera read a pass waits on the COM
// side as long as the default worker does, so a library that keeps failing
// adds lines at the default worker's pace.
class LowLatencyPacer {
  public:
    using Clock = platform::Deadline::Clock;
    enum class Side { kCom, kCamera };
    struct Wait {
        Side side;
        uint32_t ms;
        uint32_t pauseMs;  // before the wait
    };

    Wait Next(Clock::time_point now) const;
    // What the pass that ended at `now` did.
    void Passed(bool toCamera, bool toCom, bool cameraReadFailed, Clock::time_point now);

  private:
    Side side_ = Side::kCom;
    bool streaming_ = false;
    bool cameraReadFailed_ = false;
    platform::Deadline busyUntil_;  // passed: quiet
};

// The worker's body, made of the default worker's steps (relay/relay_steps.h):
// works only on the process-wide relay state and, when the relay follows the
// client's line rate, `follower`. Returns the last status it saw.
uint32_t LowLatencyThreadProc(void* unused, LineRateFollower* follower = nullptr);

}  // namespace clst
