// Which side the low-latency worker waits on, and for how long, as bytes
// move. How it relays is checked with the default worker's cases in
// relay_worker_test.cpp.
#include <gtest/gtest.h>

#include "relay/low_latency_worker.h"

namespace clst {
namespace {

using Side = LowLatencyPacer::Side;
using Wait = LowLatencyPacer::Wait;

TEST(LowLatencyPacerTest, WaitsWhereTheNextBytesAreDue) {
    struct Pass {
        const char* what;
        int endsAtMs;
        bool toCamera, toCom, cameraReadFailed;
        Wait next;
    };
    const Pass passes[] = {
        {"nothing moved yet: quiet", 0, false, false, false, {Side::kCom, 10, 0}},
        {"a command went out: answer due", 5, true, false, false, {Side::kCamera, 1, 0}},
        {"no answer yet", 60, false, false, false, {Side::kCamera, 1, 0}},
        {"none for the busy span", 105, false, false, false, {Side::kCamera, 10, 0}},
        {"the answer went out: command due", 110, false, true, false, {Side::kCom, 1, 0}},
        {"more of the answer", 111, false, true, false, {Side::kCom, 1, 0}},
        {"both ways: a stream, pause", 115, true, true, false, {Side::kCamera, 1, 1}},
        {"camera read failed: default pace", 120, false, false, true, {Side::kCom, 100, 0}},
        {"then back to the side due", 230, false, false, false, {Side::kCamera, 10, 0}},
    };
    const auto start = LowLatencyPacer::Clock::now();
    LowLatencyPacer pacer;
    for (const Pass& pass : passes) {
        const auto at = start + std::chrono::milliseconds(pass.endsAtMs);
        pacer.Passed(pass.toCamera, pass.toCom, pass.cameraReadFailed, at);
        const Wait next = pacer.Next(at);
        EXPECT_EQ(next.side, pass.next.side) << pass.what;
        EXPECT_EQ(next.ms, pass.next.ms) << pass.what;
        EXPECT_EQ(next.pauseMs, pass.next.pauseMs) << pass.what;
    }
}

}  // namespace
}  // namespace clst
