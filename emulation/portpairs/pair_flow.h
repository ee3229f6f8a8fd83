// The bytes between a pair's two ptys, as the pair host moves them: one
// bounded buffer per direction, and the COM end's line rate carried over to
// the device end in its place among the bytes.
#pragma once

#include <termios.h>

#include <cstddef>
#include <cstdint>

#include "emulation/portpairs/pair_names.h"

namespace maro_vcp {

// One direction of the null modem: bytes read from one master wait here
// until the other master takes them. While the buffer is full the host stops
// reading, which is what makes the writer on that side stall.
class Direction {
  public:
    enum class Read { kSome, kNone, kEnded };

    bool HasRoom() const { return end_ < sizeof(buffer_) || start_ > 0; }
    bool HasData() const { return end_ > start_; }
    size_t size() const { return end_ - start_; }

    // kEnded: the master reads end-of-file or an error (its slave was closed
    // by its last holder and nothing is left).
    Read Fill(int from);
    // Writes at most `limit` bytes into `to`: how many it took.
    size_t Drain(int to, size_t limit);
    // Throws away what waits: how many bytes.
    size_t Discard();

  private:
    char buffer_[kHostBufferBytes];
    size_t start_ = 0;
    size_t end_ = 0;
};

// A client's change of the COM end's line rate is carried over to the device
// end, where a relay that follows the client's rate sees it. Bytes the client
// wrote after the change reach the device end only after the change: the
// host looks at the rate before and after every read from the COM end, and a
// change seen after a read waits until the bytes read before it are out.
// Bytes of that same read may have been written before the change; they go
// out after it, as there is no telling them apart.
class LineRateCarrier {
  public:
    void Start(int comMaster, int deviceMaster);
    // After an end's pty was renewed.
    void SetMasters(int comMaster, int deviceMaster);

    // The COM end's rate in bit/s as set now, 0 for a rate without a number.
    uint32_t comBitsPerSecond() const;

    // Looks at the COM end's rate; `queued` bytes for the device end were
    // read before this look and go out first.
    void Look(size_t queued);
    // How many of the queued bytes may go out before a pending change.
    size_t beforeChange() const { return pending_ ? before_ : SIZE_MAX; }
    // `n` bytes went out to the device end.
    void Sent(size_t n);

  private:
    void Apply();

    int comMaster_ = -1;
    int deviceMaster_ = -1;
    speed_t seen_ = B0;
    bool pending_ = false;
    size_t before_ = 0;
};

}  // namespace maro_vcp
