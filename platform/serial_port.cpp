#include "platform/serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>

#include "platform/deadline.h"
#include "platform/device_namespace.h"
#include "platform/win32_errors.h"

namespace clst::platform {

struct SerialPort {
    int fd = -1;
    uint32_t eventMask = 0;
    uint32_t baud = 9600;
    CommTimeouts timeouts;
    // The character format last set. A pty keeps CS8 without parity whatever
    // it is asked for, yet the partner program sees the format it set; report
    // the format as set, as a virtual port on Windows does.
    bool formatSet = false;
    uint8_t byteSize = 8;
    uint8_t parity = 0;
    uint8_t stopBits = 0;
    // The DTR and RTS control modes last set (the DCB's two-bit fields).
    uint32_t dtrControl = 1;
    uint32_t rtsControl = 1;
};

namespace {

constexpr auto kBusyRetryTime = std::chrono::milliseconds(250);
constexpr auto kBusyRetryPause = std::chrono::milliseconds(5);

bool Fail(uint32_t code) {
    SetLastError(code);
    return false;
}

bool FailErrno() {
    return Fail(Win32ErrorFromErrno(errno));
}

bool Succeed() {
    SetLastError(kErrorSuccess);
    return true;
}

struct RateEntry {
    uint32_t rate;
    speed_t speed;
};

constexpr RateEntry kRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000}};

bool SpeedFor(uint32_t rate, speed_t& speed) {
    for (const auto& e : kRates) {
        if (e.rate == rate) {
            speed = e.speed;
            return true;
        }
    }
    return false;
}

uint32_t RateFor(speed_t speed) {
    for (const auto& e : kRates) {
        if (e.speed == speed)
            return e.rate;
    }
    return 0;
}

bool Valid(SerialHandle handle) {
    return handle != nullptr && handle->fd >= 0;
}

// About two character times at the line rate, never below 1 ms.
int QuietGapMs(uint32_t baud) {
    if (baud == 0)
        return 1;
    const uint64_t us = 2ull * 10ull * 1000000ull / baud;
    return std::max<int>(1, static_cast<int>((us + 999) / 1000));
}

}  // namespace

SerialHandle OpenSerialDevice(const char* path) {
    if (path == nullptr || *path == '\0') {
        SetLastError(kErrorFileNotFound);
        return nullptr;
    }
    const std::string device = ResolveDevicePath(path);
    if (device.empty()) {
        SetLastError(kErrorFileNotFound);
        return nullptr;
    }
    // A port pair frees an end a moment after its holder closed it (its host
    // notices the close), so a port still busy is tried again for a while.
    const Deadline busyUntil = Deadline::In(kBusyRetryTime);
    int fd = -1;
    while ((fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) < 0 &&
           errno == EBUSY && !busyUntil.Passed()) {
        Deadline::In(kBusyRetryPause).SleepUntil();
    }
    if (fd < 0) {
        // A tty in exclusive mode refuses with EBUSY: another program has the
        // port, which Windows reports as access denied.
        SetLastError(errno == EBUSY ? kErrorAccessDenied : Win32ErrorFromErrno(errno));
        return nullptr;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const uint32_t code =
            errno == EWOULDBLOCK ? kErrorAccessDenied : Win32ErrorFromErrno(errno);
        ::close(fd);
        SetLastError(code);
        return nullptr;
    }
    if (isatty(fd)) {
        ioctl(fd, TIOCEXCL);
    }
    auto* port = new SerialPort;
    port->fd = fd;
    Succeed();
    return port;
}

bool CloseSerialHandle(SerialHandle handle) {
    if (!Valid(handle)) {
        return Fail(kErrorInvalidHandle);
    }
    if (isatty(handle->fd)) {
        ioctl(handle->fd, TIOCNXCL);
    }
    const int rc = ::close(handle->fd);
    const int error = errno;
    delete handle;
    if (rc != 0 && error != EINTR) {
        return Fail(Win32ErrorFromErrno(error));
    }
    return Succeed();
}

bool GetCommState(SerialHandle handle, Dcb& dcb) {
    if (!Valid(handle))
        return Fail(kErrorInvalidHandle);
    termios t{};
    if (tcgetattr(handle->fd, &t) != 0)
        return FailErrno();
    dcb.BaudRate = RateFor(cfgetospeed(&t));
    switch (t.c_cflag & CSIZE) {
        case CS5:
            dcb.ByteSize = 5;
            break;
        case CS6:
            dcb.ByteSize = 6;
            break;
        case CS7:
            dcb.ByteSize = 7;
            break;
        default:
            dcb.ByteSize = 8;
            break;
    }
    if (!(t.c_cflag & PARENB)) {
        dcb.Parity = 0;
    } else if (t.c_cflag & CMSPAR) {
        dcb.Parity = (t.c_cflag & PARODD) ? 3 : 4;
    } else {
        dcb.Parity = (t.c_cflag & PARODD) ? 1 : 2;
    }
    dcb.StopBits = (t.c_cflag & CSTOPB) ? (dcb.ByteSize == 5 ? 1 : 2) : 0;
    if (handle->formatSet) {
        dcb.ByteSize = handle->byteSize;
        dcb.Parity = handle->parity;
        dcb.StopBits = handle->stopBits;
    }
    uint32_t flags = kDcbBinary;
    if (t.c_iflag & INPCK)
        flags |= kDcbParity;
    if (t.c_cflag & CRTSCTS)
        flags |= kDcbOutxCtsFlow | kDcbRtsHandshake;
    if (t.c_iflag & IXON)
        flags |= kDcbOutX;
    if (t.c_iflag & IXOFF)
        flags |= kDcbInX;
    // Linux raises DTR and RTS when a port is opened: "enable" until the
    // modes are set; hardware flow control drives RTS itself.
    flags |= (handle->dtrControl & 3u) << 4;
    if (!(t.c_cflag & CRTSCTS))
        flags |= (handle->rtsControl & 3u) << 12;
    dcb.Flags = flags;
    dcb.XonChar = static_cast<char>(t.c_cc[VSTART]);
    dcb.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
    return Succeed();
}

bool SetCommState(SerialHandle handle, const Dcb& dcb) {
    if (!Valid(handle))
        return Fail(kErrorInvalidHandle);
    speed_t speed{};
    if (!SpeedFor(dcb.BaudRate, speed))
        return Fail(kErrorInvalidParameter);
    tcflag_t size = 0;
    switch (dcb.ByteSize) {
        case 5:
            size = CS5;
            break;
        case 6:
            size = CS6;
            break;
        case 7:
            size = CS7;
            break;
        case 8:
            size = CS8;
            break;
        default:
            return Fail(kErrorInvalidParameter);  // 9 data bits do not exist on Linux
    }
    if (dcb.Parity > 4 || dcb.StopBits > 2)
        return Fail(kErrorInvalidParameter);
    if (dcb.StopBits == 1 && dcb.ByteSize != 5)
        return Fail(kErrorInvalidParameter);

    termios t{};
    if (tcgetattr(handle->fd, &t) != 0)
        return FailErrno();
    cfmakeraw(&t);
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    t.c_cflag |= size | CLOCAL | CREAD;
    switch (dcb.Parity) {
        case 1:
            t.c_cflag |= PARENB | PARODD;
            break;
        case 2:
            t.c_cflag |= PARENB;
            break;
        case 3:
            t.c_cflag |= PARENB | CMSPAR | PARODD;
            break;
        case 4:
            t.c_cflag |= PARENB | CMSPAR;
            break;
        default:
            break;
    }
    // One and a half stop bits is what Linux sends for two with 5 data bits.
    if (dcb.StopBits != 0)
        t.c_cflag |= CSTOPB;
    t.c_iflag &= ~(INPCK | IXON | IXOFF | IXANY);
    if (dcb.Flags & kDcbParity)
        t.c_iflag |= INPCK;
    if ((dcb.Flags & kDcbOutxCtsFlow) || (dcb.Flags & kDcbRtsControlMask) == kDcbRtsHandshake) {
        t.c_cflag |= CRTSCTS;
    }
    if (dcb.Flags & kDcbOutX)
        t.c_iflag |= IXON;
    if (dcb.Flags & kDcbInX)
        t.c_iflag |= IXOFF;
    t.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
    // VMIN 1 makes a non-blocking read without data fail with EAGAIN; with
    // VMIN 0 it would return 0, which looks like a hang-up.
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    if (tcsetattr(handle->fd, TCSANOW, &t) != 0)
        return FailErrno();
    // DTR and RTS follow their control modes: "disable" lowers the line and
    // "enable" raises it (a pty has no modem lines and refuses both).
    const uint32_t dtrControl = (dcb.Flags & kDcbDtrControlMask) >> 4;
    const uint32_t rtsControl = (dcb.Flags & kDcbRtsControlMask) >> 12;
    int raise = 0;
    int lower = 0;
    if (dtrControl == 0)
        lower |= TIOCM_DTR;
    else if (dtrControl == 1)
        raise |= TIOCM_DTR;
    if (!(t.c_cflag & CRTSCTS) && rtsControl == 0)
        lower |= TIOCM_RTS;
    else if (!(t.c_cflag & CRTSCTS) && rtsControl == 1)
        raise |= TIOCM_RTS;
    if (lower != 0)
        ioctl(handle->fd, TIOCMBIC, &lower);
    if (raise != 0)
        ioctl(handle->fd, TIOCMBIS, &raise);
    handle->dtrControl = dtrControl;
    handle->rtsControl = rtsControl;
    handle->baud = dcb.BaudRate;
    handle->formatSet = true;
    handle->byteSize = dcb.ByteSize;
    handle->parity = dcb.Parity;
    handle->stopBits = dcb.StopBits;
    return Succeed();
}

bool SetCommMask(SerialHandle handle, uint32_t mask) {
    if (!Valid(handle))
        return Fail(kErrorInvalidHandle);
    handle->eventMask = mask;
    return Succeed();
}

bool SetupComm(SerialHandle handle, uint32_t inQueue, uint32_t outQueue) {
    if (!Valid(handle))
        return Fail(kErrorInvalidHandle);
    // The kernel's tty buffers are fixed; any sensible request is accepted.
    if (inQueue == 0 || outQueue == 0)
        return Fail(kErrorInvalidParameter);
    return Succeed();
}

bool PurgeComm(SerialHandle handle, uint32_t flags) {
    if (!Valid(handle))
        return Fail(kErrorInvalidHandle);
    const bool rx = flags & (kPurgeRxAbort | kPurgeRxClear);
    const bool tx = flags & (kPurgeTxAbort | kPurgeTxClear);
    if (rx || tx) {
        if (tcflush(handle->fd, rx && tx ? TCIOFLUSH : (rx ? TCIFLUSH : TCOFLUSH)) != 0) {
            return FailErrno();
        }
    }
    return Succeed();
}

bool GetCommTimeouts(SerialHandle handle, CommTimeouts& timeouts) {
    if (!Valid(handle))
        return Fail(kErrorInvalidHandle);
    timeouts = handle->timeouts;
    return Succeed();
}

bool SetCommTimeouts(SerialHandle handle, const CommTimeouts& timeouts) {
    if (!Valid(handle))
        return Fail(kErrorInvalidHandle);
    handle->timeouts = timeouts;
    return Succeed();
}

bool ReadFile(SerialHandle handle, void* buffer, uint32_t size, uint32_t& read) {
    if (!Valid(handle))
        return Fail(kErrorInvalidHandle);
    if (buffer == nullptr && size > 0)
        return Fail(kErrorInvalidParameter);
    auto* bytes = static_cast<uint8_t*>(buffer);
    const Deadline deadline = Deadline::InMs(handle->timeouts.ReadTotalTimeoutConstant);
    const int gap = QuietGapMs(handle->baud);
    uint32_t got = 0;
    while (got < size) {
        const ssize_t n = ::read(handle->fd, bytes + got, size - got);
        if (n > 0) {
            got += static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        // End of file or EIO on a tty is a hang-up: the device is gone (a pair
        // whose host ended, an unplugged adapter) and never comes back.
        // What arrived before is returned first; the next read fails.
        if (n == 0 || errno != EAGAIN) {
            if (got > 0)
                break;
            return n == 0 ? Fail(kErrorIoDevice) : FailErrno();
        }
        int wait = deadline.RemainingMs();
        if (got > 0)
            wait = std::min(wait, gap);
        if (wait <= 0)
            break;
        pollfd p{handle->fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, wait);
        if (ready < 0 && errno != EINTR)
            return FailErrno();
        if (ready == 0)
            break;
        if (p.revents & POLLNVAL)
            return Fail(kErrorInvalidHandle);
        // POLLHUP or POLLERR: the next read reports it.
    }
    read = got;
    return Succeed();
}

bool WriteFile(SerialHandle handle, const void* buffer, uint32_t size, uint32_t& written) {
    if (!Valid(handle))
        return Fail(kErrorInvalidHandle);
    if (buffer == nullptr && size > 0)
        return Fail(kErrorInvalidParameter);
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    const Deadline deadline = Deadline::InMs(handle->timeouts.WriteTotalTimeoutConstant);
    uint32_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(handle->fd, bytes + done, size - done);
        if (n > 0) {
            done += static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN) {
            written = done;
            return FailErrno();
        }
        const int wait = deadline.RemainingMs();
        if (wait <= 0)
            break;
        pollfd p{handle->fd, POLLOUT, 0};
        const int ready = ::poll(&p, 1, wait);
        if (ready < 0 && errno != EINTR) {
            written = done;
            return FailErrno();
        }
        if (ready == 0)
            break;
        if (p.revents & POLLNVAL)
            return Fail(kErrorInvalidHandle);
    }
    written = done;
    return Succeed();
}

int SerialFd(SerialHandle handle) {
    return handle != nullptr ? handle->fd : -1;
}

}  // namespace clst::platform
