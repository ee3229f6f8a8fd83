#include "emulation/portpairs/pair_end.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace maro_vcp {

PairEnd::~PairEnd() {
    for (const int fd : {own_, master_, retired_}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

void PairEnd::DropRetired(Clock::time_point now) {
    if (retired_ >= 0 && retiredUntil_.Passed(now)) {
        close(retired_);
        retired_ = -1;
    }
}

bool PairEnd::OpenPty(int inotifyFd, Clock::time_point now) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (master < 0) {
        return false;
    }
    char name[128];
    // On a master the termios calls act on its slave: no line discipline may
    // touch the bytes (no echo, no CR/LF mapping, no XON/XOFF). A renewed pty
    // keeps the line rate a client set on the old one.
    termios settings{};
    const bool renewed = master_ >= 0 && tcgetattr(master_, &settings) == 0;
    if (!renewed && tcgetattr(master, &settings) == 0) {
        cfmakeraw(&settings);
        settings.c_cc[VMIN] = 1;
        settings.c_cc[VTIME] = 0;
    }
    // Until its slave was open once, a master does not report POLLHUP, which
    // is how the host tells that nobody holds the end.
    int slave = -1;
    if (grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, name, sizeof(name)) != 0 || tcsetattr(master, TCSANOW, &settings) != 0 ||
        (slave = ioctl(master, TIOCGPTPEER, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) < 0) {
        const int saved = errno;
        close(master);
        errno = saved;
        return false;
    }
    close(slave);
    const int watch = inotify_add_watch(inotifyFd, name, IN_OPEN | IN_CLOSE);
    if (watch < 0) {
        const int saved = errno;
        close(master);
        errno = saved;
        return false;
    }
    if (master_ >= 0) {
        inotify_rm_watch(inotifyFd_, watch_);
        if (own_ >= 0) {
            close(own_);
        }
        if (retired_ >= 0) {
            close(retired_);
        }
        retired_ = master_;
        retiredUntil_ = clst::platform::Deadline(now + kRetiredTime);
    }
    master_ = master;
    inotifyFd_ = inotifyFd;
    watch_ = watch;
    slave_ = name;
    state_ = State::kFree;
    own_ = -1;
    claimPending_ = stuck_ = leftovers_ = delivered_ = false;
    return true;
}

bool PairEnd::Unheld() const {
    pollfd pfd{master_, 0, 0};
    return poll(&pfd, 1, 0) == 1 && (pfd.revents & POLLHUP) != 0;
}

// The host's own slave descriptor: read-only, it only sets and clears
// exclusive mode and discards input.
int PairEnd::OpenSlave() const {
    return ioctl(master_, TIOCGPTPEER, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

void PairEnd::Opened(Clock::time_point now) {
    if (state_ == State::kFree) {
        Look(now);
    }
}

void PairEnd::Closed(Clock::time_point now) {
    bool released = false;
    if (state_ == State::kClaimed) {
        // The claim goes first: the holder may be reopening right now. What
        // it left unread goes with it, before anybody else can open the end.
        if (freshInput_ && delivered_) {
            tcflush(own_, TCIFLUSH);
            delivered_ = false;
        }
        ioctl(own_, TIOCNXCL);
        close(own_);
        own_ = -1;
        state_ = State::kHeld;
        released = true;
    }
    if (state_ == State::kFree) {
        Look(now);
    } else if (Unheld()) {
        BecomeFree(!released);
    } else {
        ArmClaim(now);  // another program has it, or the holder is back
    }
}

void PairEnd::Lost(Clock::time_point now) {
    Closed(now);
    if (claimPending_) {
        claimDue_ = clst::platform::Deadline(now);
    }
}

void PairEnd::Look(Clock::time_point now) {
    if (Unheld()) {
        if (state_ == State::kHeld) {
            BecomeFree(true);
        }
    } else if (state_ == State::kFree) {
        state_ = State::kHeld;
        ++changes_;
        ArmClaim(now);
    }
}

// The delay counts from the first sign of a holder: later opens and closes
// (the host's own among them) do not put a due claim off.
void PairEnd::ArmClaim(Clock::time_point now) {
    if (!claimPending_ || claimDue_.when() > now + kClaimDelay) {
        claimDue_ = clst::platform::Deadline(now + kClaimDelay);
    }
    claimPending_ = true;
}

void PairEnd::BecomeFree(bool tidy) {
    state_ = State::kFree;
    ++changes_;
    claimPending_ = false;
    leftovers_ = true;
    if (!tidy) {
        return;
    }
    // The holder had the end while the host held no descriptor of it: it
    // may have left exclusive mode set, and unread input.
    const int fd = OpenSlave();
    if (fd < 0) {
        stuck_ = errno == EBUSY && Unheld();
        return;
    }
    if (freshInput_ && delivered_) {
        tcflush(fd, TCIFLUSH);
    }
    delivered_ = false;
    close(fd);
}

void PairEnd::Settle(Clock::time_point now) {
    if (state_ != State::kHeld || !claimPending_ || !claimDue_.Passed(now)) {
        return;
    }
    claimPending_ = false;
    if (Unheld()) {
        BecomeFree(true);
        return;
    }
    const int fd = OpenSlave();
    if (fd < 0) {
        return;  // the holder made the end exclusive itself (EBUSY)
    }
    ioctl(fd, TIOCEXCL);
    own_ = fd;
    state_ = State::kClaimed;
}

}  // namespace maro_vcp
