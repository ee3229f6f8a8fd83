#include "emulation/portpairs/pair_flow.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace maro_vcp {

Direction::Read Direction::Fill(int from) {
    if (end_ == sizeof(buffer_) && start_ > 0) {
        std::memmove(buffer_, buffer_ + start_, end_ - start_);
        end_ -= start_;
        start_ = 0;
    }
    const ssize_t n = read(from, buffer_ + end_, sizeof(buffer_) - end_);
    if (n > 0) {
        end_ += static_cast<size_t>(n);
        return Read::kSome;
    }
    return n < 0 && (errno == EAGAIN || errno == EINTR) ? Read::kNone : Read::kEnded;
}

size_t Direction::Drain(int to, size_t limit) {
    const size_t want = size() < limit ? size() : limit;
    if (want == 0) {
        return 0;
    }
    const ssize_t n = write(to, buffer_ + start_, want);
    if (n <= 0) {
        return 0;  // full (EAGAIN), or tried again on the next turn
    }
    start_ += static_cast<size_t>(n);
    if (start_ == end_) {
        start_ = end_ = 0;
    }
    return static_cast<size_t>(n);
}

size_t Direction::Discard() {
    const size_t n = size();
    start_ = end_ = 0;
    return n;
}

namespace {

// On a master the termios calls act on its slave.
speed_t Rate(int master) {
    termios t{};
    return tcgetattr(master, &t) == 0 ? cfgetospeed(&t) : B0;
}

}  // namespace

void LineRateCarrier::Start(int comMaster, int deviceMaster) {
    SetMasters(comMaster, deviceMaster);
    seen_ = Rate(comMaster_);
    pending_ = false;
}

void LineRateCarrier::SetMasters(int comMaster, int deviceMaster) {
    comMaster_ = comMaster;
    deviceMaster_ = deviceMaster;
}

uint32_t LineRateCarrier::comBitsPerSecond() const {
    static const struct {
        speed_t speed;
        uint32_t bits;
    } kRates[] = {
        {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
        {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},
        {B1200, 1200},       {B1800, 1800},       {B2400, 2400},       {B4800, 4800},
        {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
        {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
        {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
        {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
        {B3500000, 3500000}, {B4000000, 4000000}};
    const speed_t speed = Rate(comMaster_);
    for (const auto& rate : kRates) {
        if (rate.speed == speed) {
            return rate.bits;
        }
    }
    return 0;
}

void LineRateCarrier::Look(size_t queued) {
    const speed_t rate = Rate(comMaster_);
    if (rate == seen_ || rate == B0) {
        return;
    }
    seen_ = rate;
    // A second change before the first went over: the device end takes the
    // newest rate at the first one's place, as a line that follows the rate
    // only sees the last one.
    if (!pending_) {
        pending_ = true;
        before_ = queued;
    }
    if (before_ == 0) {
        Apply();
    }
}

void LineRateCarrier::Sent(size_t n) {
    if (!pending_) {
        return;
    }
    before_ -= n < before_ ? n : before_;
    if (before_ == 0) {
        Apply();
    }
}

void LineRateCarrier::Apply() {
    pending_ = false;
    termios device{};
    if (tcgetattr(deviceMaster_, &device) == 0) {
        cfsetispeed(&device, seen_);
        cfsetospeed(&device, seen_);
        tcsetattr(deviceMaster_, TCSANOW, &device);
    }
}

}  // namespace maro_vcp
