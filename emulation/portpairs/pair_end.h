// One end of a virtual port pair as its host sees it: the pty whose slave
// programs open through the end's links, held by the host from the master
// side, and the end's claim.
//
// Each end is exclusive, as a COM port is: while one program has it open,
// another program's open fails with EBUSY. The kernel's exclusive mode
// (TIOCEXCL) does the refusing, but only the kernel's own release of a tty
// clears it, and a pty slave is never released while its master is open: a
// program that set it and died (screen and this project's relay set it
// themselves) would lock the end for good. So the host manages the flag.
//
// Who holds the end is the kernel's own count: a master reports POLLHUP
// exactly while no descriptor of its slave is open, whoever opened it,
// through whatever name, whatever /proc lets the host see. That holds only
// while the host has no slave descriptor itself, so it keeps one only while
// it claims the end:
//   free     nobody holds it; the host has no slave descriptor;
//   held     a program holds it and the host has not claimed it yet: a
//            claim follows kClaimDelay after the open, if the end is still
//            held then, so that a short open (stty) leaves nothing behind
//            for the next program;
//   claimed  the host holds a slave descriptor with exclusive mode set.
// inotify reports every open and close of the slave node. On a close of a
// claimed end the host drops the claim first (the holder may be reopening at
// once) and then looks again. A holder that set exclusive mode itself before
// the claim keeps the end to itself; if it dies so, the end cannot be opened
// by anybody, the host included, and the host renews the end's pty.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "platform/deadline.h"

namespace maro_vcp {

class PairEnd {
  public:
    using Clock = clst::platform::Deadline::Clock;

    // Long enough for an opener that only sets the line (stty) to be gone,
    // short against the 20 ms after which a second opener must be refused.
    static constexpr auto kClaimDelay = std::chrono::milliseconds(5);

    // With `freshInput` a new holder reads only what arrived after its open:
    // what the last holder left unread is discarded when it goes.
    explicit PairEnd(bool freshInput) : freshInput_(freshInput) {}
    ~PairEnd();
    PairEnd(const PairEnd&) = delete;
    PairEnd& operator=(const PairEnd&) = delete;

    // Opens a raw pty (with the line settings of the current one, when there
    // is one) and watches its slave node on `inotifyFd`. False with errno
    // set; the end is unchanged then. An old pty is kept (refusing opens as
    // before) for kRetiredTime, so that a program that looked up the link
    // just before it was pointed at the new pty gets EBUSY and tries again,
    // not "no such file".
    bool OpenPty(int inotifyFd, Clock::time_point now);
    static constexpr auto kRetiredTime = std::chrono::seconds(1);
    // Closes an old pty once its time is over.
    void DropRetired(Clock::time_point now);
    bool retiring() const { return retired_ >= 0; }
    clst::platform::Deadline retiredUntil() const { return retiredUntil_; }

    int master() const { return master_; }
    const std::string& slave() const { return slave_; }
    int watch() const { return watch_; }

    bool held() const { return state_ != State::kFree; }
    bool claimed() const { return state_ == State::kClaimed; }
    // The master's POLLHUP tells that the last holder went.
    bool hangupTells() const { return state_ == State::kHeld; }
    // Bytes the last holder wrote may still wait at the master.
    bool leftovers() const { return leftovers_; }
    void NoLeftovers() { leftovers_ = false; }
    // Exclusive mode is set and nobody holds the end: only a new pty helps.
    bool stuck() const { return stuck_; }
    // How often `held` changed since the host started.
    uint64_t changes() const { return changes_; }

    // The slave node was opened, or closed (also the master's POLLHUP while
    // held).
    void Opened(Clock::time_point now);
    void Closed(Clock::time_point now);
    // Events were lost (the inotify queue overflowed): as a close, but an
    // end still held is claimed again at once.
    void Lost(Clock::time_point now);
    // Claims an end held since kClaimDelay.
    void Settle(Clock::time_point now);
    // When Settle has work next; passed (and meaningless) when it has none.
    clst::platform::Deadline claimDue() const { return claimDue_; }
    bool claimPending() const { return claimPending_; }

    // Bytes went to the holder's input.
    void Delivered() { delivered_ = true; }

  private:
    enum class State { kFree, kHeld, kClaimed };

    bool Unheld() const;
    // Looks again; the host holds no slave descriptor here.
    void Look(Clock::time_point now);
    void BecomeHeld(Clock::time_point now);
    void BecomeFree(bool tidy);
    void ArmClaim(Clock::time_point now);
    int OpenSlave() const;

    const bool freshInput_;
    int master_ = -1;
    int retired_ = -1;
    clst::platform::Deadline retiredUntil_;
    int inotifyFd_ = -1;
    int watch_ = -1;
    std::string slave_;
    State state_ = State::kFree;
    int own_ = -1;  // the host's slave descriptor while claimed
    bool claimPending_ = false;
    clst::platform::Deadline claimDue_;
    bool leftovers_ = false;
    bool delivered_ = false;
    bool stuck_ = false;
    uint64_t changes_ = 0;
};

}  // namespace maro_vcp
