#include "emulation/clserial/emulated_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "emulation/clserial/clserial_api.h"

namespace clst::emulation {
namespace {

// The status a port configured with init_error or read_error_every gives.
constexpr int32_t kFaultStatus = CL_ERR_OUT_OF_MEMORY;
// While the pty camera has no client the master reports a hang-up; it is
// then looked at this often instead of being polled.
constexpr std::chrono::milliseconds kHangUpRecheck{50};
// A fast line is moved about this much at a time.
constexpr std::chrono::milliseconds kBatch{1};
constexpr std::chrono::milliseconds kLongestSleep{1000};

uint32_t RateOfCode(uint32_t code) {
    switch (code) {
        case CL_BAUDRATE_9600:
            return 9600;
        case CL_BAUDRATE_19200:
            return 19200;
        case CL_BAUDRATE_38400:
            return 38400;
        case CL_BAUDRATE_57600:
            return 57600;
        case CL_BAUDRATE_115200:
            return 115200;
        case CL_BAUDRATE_230400:
            return 230400;
        case CL_BAUDRATE_460800:
            return 460800;
        case CL_BAUDRATE_921600:
            return 921600;
        default:
            return 0;
    }
}

// Ten bits a byte: start bit, eight data bits, stop bit.
std::chrono::steady_clock::duration ByteTime(uint32_t rate) {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::nanoseconds(10'000'000'000LL / rate));
}

std::string ReadLinkTarget(const std::string& path) {
    char target[4096];
    const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
    if (n < 0)
        return "";
    return std::string(target, static_cast<size_t>(n));
}

}  // namespace

EmulatedPort::EmulatedPort(const PortConfig& config)
    : config_(config), byteTime_(ByteTime(9600)), demo_(config.index) {}

EmulatedPort::~EmulatedPort() {
    Stop();
}

int32_t EmulatedPort::Start() {
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0)
        return CL_ERR_OUT_OF_MEMORY;
    if (config_.camera == "pty") {
        const std::string existing = ReadLinkTarget(config_.link);
        struct stat st {};
        if (::lstat(config_.link.c_str(), &st) == 0) {
            // A link left behind by a process that died is taken over; a
            // link to a live pty or any other file belongs to someone else.
            if (!S_ISLNK(st.st_mode) || ::access(existing.c_str(), F_OK) == 0) {
                ::close(wakeFd_);
                wakeFd_ = -1;
                return CL_ERR_PORT_IN_USE;
            }
            ::unlink(config_.link.c_str());
        }
        if (!CreatePty()) {
            ::close(wakeFd_);
            wakeFd_ = -1;
            return CL_ERR_OUT_OF_MEMORY;
        }
    }
    const auto now = Clock::now();
    txClock_ = now;
    rxClock_ = now;
    started_ = true;
    thread_ = std::thread(&EmulatedPort::Run, this);
    return CL_ERR_NO_ERR;
}

bool EmulatedPort::CreatePty() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (master_ < 0)
        return false;
    char name[128];
    if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
        ::ptsname_r(master_, name, sizeof name) != 0) {
        ::close(master_);
        master_ = -1;
        return false;
    }
    slaveName_ = name;
    // Holding a slave descriptor keeps the line raw (no echo, no line
    // editing) for every client, and the master never sees a hang-up when
    // a client closes.
    slaveKeep_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slaveKeep_ >= 0) {
        struct termios tio {};
        if (::tcgetattr(slaveKeep_, &tio) == 0) {
            ::cfmakeraw(&tio);
            ::tcsetattr(slaveKeep_, TCSANOW, &tio);
        }
    }
    if (::symlink(name, config_.link.c_str()) != 0) {
        RemovePty();
        return false;
    }
    return true;
}

void EmulatedPort::RemovePty() {
    // Remove the link only while it still names our pty: a later process
    // may have taken the path over.
    if (!slaveName_.empty() && ReadLinkTarget(config_.link) == slaveName_) {
        ::unlink(config_.link.c_str());
    }
    if (slaveKeep_ >= 0)
        ::close(slaveKeep_);
    if (master_ >= 0)
        ::close(master_);
    slaveKeep_ = -1;
    master_ = -1;
    slaveName_.clear();
}

void EmulatedPort::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    rxReady_.notify_all();
    txSpace_.notify_all();
    if (started_) {
        Wake();
        thread_.join();
        started_ = false;
    }
    RemovePty();
    if (wakeFd_ >= 0)
        ::close(wakeFd_);
    wakeFd_ = -1;
}

void EmulatedPort::Wake() {
    const uint64_t one = 1;
    // A full counter already means "wake up"; nothing to do on failure.
    [[maybe_unused]] const ssize_t n = ::write(wakeFd_, &one, sizeof one);
}

int32_t EmulatedPort::SetBaudCode(uint32_t code) {
    const uint32_t rate = RateOfCode(code);
    if (rate == 0 || config_.baudError)
        return CL_ERR_BAUD_RATE_NOT_SUPPORTED;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        lineRate_ = rate;
        byteTime_ = ByteTime(rate);
        demo_.SetLineRate(rate);
    }
    Wake();
    return CL_ERR_NO_ERR;
}

int32_t EmulatedPort::Read(char* buffer, uint32_t& count, uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    ++reads_;
    if (config_.readErrorEvery > 0 && reads_ % static_cast<uint64_t>(config_.readErrorEvery) == 0) {
        count = 0;
        return kFaultStatus;
    }
    const uint32_t wanted = count;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    rxReady_.wait_until(lock, deadline, [&] { return stopping_ || rxBuffer_.size() >= wanted; });
    if (stopping_) {
        count = 0;
        return CL_ERR_INVALID_REFERENCE;
    }
    if (rxBuffer_.size() < wanted && config_.timeoutCopiesNothing)
        return CL_ERR_TIMEOUT;  // count untouched, the bytes kept for a later read
    const uint32_t n = static_cast<uint32_t>(std::min<size_t>(wanted, rxBuffer_.size()));
    std::copy_n(rxBuffer_.begin(), n, buffer);
    rxBuffer_.erase(rxBuffer_.begin(), rxBuffer_.begin() + n);
    count = n;
    return n == wanted ? CL_ERR_NO_ERR : CL_ERR_TIMEOUT;
}

int32_t EmulatedPort::Write(const char* buffer, uint32_t& count, uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    uint32_t limit = count;
    if (config_.shortWrite > 0)
        limit = std::min<uint32_t>(limit, config_.shortWrite);
    if (config_.stalledReceiver) {
        // The camera holds the line off: nothing is taken until the time-out.
        txSpace_.wait_until(lock, deadline, [&] { return stopping_; });
        count = 0;
        return stopping_ ? CL_ERR_INVALID_REFERENCE : CL_ERR_TIMEOUT;
    }
    uint32_t done = 0;
    while (done < limit) {
        txSpace_.wait_until(lock, deadline,
                            [&] { return stopping_ || txQueue_.size() < kTransmitQueue; });
        if (stopping_)
            break;
        const size_t room = kTransmitQueue - txQueue_.size();
        if (room == 0)
            break;  // time-out with the queue still full
        const size_t n = std::min<size_t>(room, limit - done);
        const bool wasEmpty = txQueue_.empty();
        if (wasEmpty)
            txClock_ = std::max(txClock_, Clock::now());
        txQueue_.insert(txQueue_.end(), buffer + done, buffer + done + n);
        done += static_cast<uint32_t>(n);
        // A line thread with bytes queued already sleeps only until they are
        // due. Woken for every insert, it and a writer waiting for room in a
        // full queue would hand each other a byte or two at a time.
        if (wasEmpty)
            Wake();
    }
    count = done;
    if (stopping_)
        return CL_ERR_INVALID_REFERENCE;
    return done == limit ? CL_ERR_NO_ERR : CL_ERR_TIMEOUT;
}

uint32_t EmulatedPort::BytesAvailable() {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<uint32_t>(rxBuffer_.size());
}

void EmulatedPort::Flush() {
    std::lock_guard<std::mutex> lock(mutex_);
    rxBuffer_.clear();
}

uint32_t EmulatedPort::OverflowCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return overflow_;
}

EmulatedPort::Clock::time_point EmulatedPort::NextWake(Clock::time_point lineClock, size_t queued,
                                                       Clock::time_point now) const {
    const auto last = lineClock + byteTime_ * static_cast<Clock::rep>(queued);
    const auto batch = std::max(lineClock + byteTime_, now + kBatch);
    return std::min(last, batch);
}

bool EmulatedPort::CameraCanTake() const {
    if (config_.camera == "pty")
        return ptyOut_.size() < kCameraBacklog;
    return true;
}

void EmulatedPort::DeliverToCamera(uint8_t byte, Clock::time_point now) {
    reply_.clear();
    if (config_.camera == "demo") {
        demo_.Receive(byte, reply_);
    } else if (config_.camera == "echo") {
        reply_.push_back(byte);
    } else if (config_.camera == "pty") {
        ptyOut_.push_back(byte);
    }
    if (!reply_.empty()) {
        if (lineOut_.empty())
            rxClock_ = std::max(rxClock_, now);
        lineOut_.insert(lineOut_.end(), reply_.begin(), reply_.end());
    }
}

void EmulatedPort::ServicePty() {
    if (master_ < 0 || hangUp_)
        return;
    while (!ptyOut_.empty()) {
        uint8_t chunk[1024];
        const size_t n = std::min(ptyOut_.size(), sizeof chunk);
        std::copy_n(ptyOut_.begin(), n, chunk);
        const ssize_t w = ::write(master_, chunk, n);
        if (w <= 0)
            break;  // EAGAIN: the client does not read; EIO: no client
        ptyOut_.erase(ptyOut_.begin(), ptyOut_.begin() + w);
    }
    while (lineOut_.size() < kCameraBacklog) {
        uint8_t chunk[1024];
        const size_t want = std::min(sizeof chunk, kCameraBacklog - lineOut_.size());
        const ssize_t r = ::read(master_, chunk, want);
        if (r <= 0)
            break;
        if (lineOut_.empty())
            rxClock_ = std::max(rxClock_, Clock::now());
        lineOut_.insert(lineOut_.end(), chunk, chunk + r);
    }
}

void EmulatedPort::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        const auto now = Clock::now();
        bool movedOut = false;
        bool movedIn = false;
        // Grabber to camera: a byte reaches the camera when its ten bits
        // have passed; everything due since the last wake-up goes at once.
        if (!config_.stalledReceiver) {
            while (!txQueue_.empty() && CameraCanTake() && txClock_ + byteTime_ <= now) {
                const uint8_t byte = txQueue_.front();
                txQueue_.pop_front();
                txClock_ += byteTime_;
                DeliverToCamera(byte, now);
                movedOut = true;
            }
        }
        ServicePty();
        // Camera to grabber, into the receive buffer; what does not fit is lost.
        while (!lineOut_.empty() && rxClock_ + byteTime_ <= now) {
            const uint8_t byte = lineOut_.front();
            lineOut_.pop_front();
            rxClock_ += byteTime_;
            if (rxBuffer_.size() < config_.rxBuffer) {
                rxBuffer_.push_back(byte);
                movedIn = true;
            } else if (overflow_ < UINT32_MAX) {
                ++overflow_;
            }
        }
        if (movedOut)
            txSpace_.notify_all();
        if (movedIn)
            rxReady_.notify_all();

        // Sleep until the next batch of bytes is due: about 1 ms of a fast
        // line at a time rather than one wake-up a byte, but never past the
        // moment the last queued byte is due, so the end of a message arrives
        // when a real line would deliver it.
        const auto awake = Clock::now();
        Clock::time_point next = Clock::time_point::max();
        if (!txQueue_.empty() && CameraCanTake() && !config_.stalledReceiver) {
            next = std::min(next, NextWake(txClock_, txQueue_.size(), awake));
        }
        if (!lineOut_.empty())
            next = std::min(next, NextWake(rxClock_, lineOut_.size(), awake));
        Clock::duration timeout = Clock::duration::max();  // none
        if (next != Clock::time_point::max())
            timeout =
                std::clamp<Clock::duration>(next - awake, Clock::duration::zero(), kLongestSleep);
        pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {-1, 0, 0}};
        nfds_t count = 1;
        if (master_ >= 0) {
            if (hangUp_) {
                // No client on the pty: look again shortly rather than spin
                // on a master that reports POLLHUP without pause.
                pollfd probe{master_, POLLIN, 0};
                if (::poll(&probe, 1, 0) >= 0 && (probe.revents & POLLHUP) == 0) {
                    hangUp_ = false;
                    continue;
                }
                timeout = std::min<Clock::duration>(timeout, kHangUpRecheck);
            } else {
                short events = 0;
                if (lineOut_.size() < kCameraBacklog)
                    events |= POLLIN;
                if (!ptyOut_.empty())
                    events |= POLLOUT;
                fds[1] = {master_, events, 0};
                count = 2;
            }
        }
        lock.unlock();
        if (timeout == Clock::duration::max()) {
            ::ppoll(fds, count, nullptr, nullptr);
        } else {
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(timeout).count();
            const timespec wait{static_cast<time_t>(ns / 1'000'000'000),
                                static_cast<long>(ns % 1'000'000'000)};
            ::ppoll(fds, count, &wait, nullptr);
        }
        uint64_t drained = 0;
        [[maybe_unused]] const ssize_t n = ::read(wakeFd_, &drained, sizeof drained);
        lock.lock();
        if (count == 2 && (fds[1].revents & (POLLHUP | POLLERR)) != 0) {
            // Take what the client wrote before it went away, then wait.
            ServicePty();
            hangUp_ = true;
        }
    }
}

}  // namespace clst::emulation
