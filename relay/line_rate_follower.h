// Following the client's line rate (--follow-baud). Camera tools often talk
// at one rate, tell the camera to switch, then switch their own port; the
// pair host carries the client's new rate over to the relay's end of the
// pair. After a read of the COM port brought a block, before it goes to the
// camera, the workers call the follower, which switches the Camera Link line
// to the COM port's rate when that changed: the block is sent at the rate
// the client had set when its bytes reached the relay. A rate alone waits
// for the client's next byte, as the camera may still answer at the old one;
// only a rate the client held when the relay connected is followed at once.
#pragma once

#include <atomic>
#include <cstdint>

namespace clst {

// Camera Link baud-rate code of a rate in bit/s; 0 for a rate the Camera
// Link serial API has no code for.
uint32_t ClSerBaudCodeFromRate(uint32_t bitsPerSecond);

class LineRateFollower {
  public:
    // `rate`: bit/s both sides run at when the connection is made.
    explicit LineRateFollower(uint32_t rate) : rate_(rate) {}

    // On the worker's thread: reads the COM port's rate and, when it changed
    // to one of the Camera Link rates, sets it on the camera line and adds
    // an echo line saying so. A rate without a Camera Link code, or one the
    // camera line refuses, keeps the old rate and is reported once.
    void Follow();

    // The rate the camera line runs at now (any thread).
    uint32_t rate() const { return rate_.load(); }

  private:
    std::atomic<uint32_t> rate_;
    uint32_t reported_ = 0;  // the refused rate last reported
};

}  // namespace clst
