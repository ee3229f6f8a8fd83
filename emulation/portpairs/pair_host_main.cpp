// The pair host: one small process per virtual port pair. It owns the two pty
// masters and copies bytes between them, so a pair outlives the program that
// installed it and every instance sees the same ports.
//
//   clsertolvane-pairhost <port directory> <number>
//
// File descriptor 3 is the installer's readiness pipe: the host writes
// "pid <n>", then "ready" once both links work (or "error <text>"), and
// closes it. The host holds an exclusive flock on its state file for its
// whole life; a lister that can take that lock knows the host is gone.
//
// Each end is exclusive, as a COM port is: while one program has it open,
// another program's open fails with EBUSY. The host keeps the kernel's
// exclusive mode (TIOCEXCL) set on an end exactly while some program has it
// open, so the claim ends however its holder ends.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "emulation/portpairs/pair_names.h"

namespace {

constexpr int kReadyFd = 3;
// How often the host checks that its state file is still its own: a pair
// whose port directory was wiped must not linger as an orphan process.
constexpr auto kStateCheck = std::chrono::seconds(2);
// Back-off when a master reports a hang-up, so a closed end never spins.
constexpr int kHangupBackoffMs = 50;

std::string g_dir;
int g_number = -1;
std::string g_links[3];
std::string g_slaves[3];
std::string g_statePath;
std::string g_linesPath;
int g_stateFd = -1;

void Report(const std::string& line) {
    const std::string text = line + "\n";
    ssize_t ignored = write(kReadyFd, text.data(), text.size());
    (void)ignored;
}

// Removes the links that still point at this host's ptys and the state file
// when it is still this host's: a newer pair of the same number keeps its own.
void RemoveOwnFiles() {
    char target[256];
    for (int i = 0; i < 3; ++i) {
        if (g_links[i].empty()) {
            continue;
        }
        const ssize_t n = readlink(g_links[i].c_str(), target, sizeof(target) - 1);
        if (n > 0) {
            target[n] = '\0';
            if (g_slaves[i] == target) {
                unlink(g_links[i].c_str());
            }
        }
    }
    struct stat mine {};
    struct stat named {};
    if (g_stateFd >= 0 && fstat(g_stateFd, &mine) == 0 && stat(g_statePath.c_str(), &named) == 0 &&
        mine.st_ino == named.st_ino && mine.st_dev == named.st_dev) {
        unlink(g_statePath.c_str());
        if (!g_linesPath.empty()) {
            unlink(g_linesPath.c_str());
        }
    }
}

bool StateFileIsOurs() {
    struct stat mine {};
    struct stat named {};
    return fstat(g_stateFd, &mine) == 0 && stat(g_statePath.c_str(), &named) == 0 &&
           mine.st_ino == named.st_ino && mine.st_dev == named.st_dev;
}

[[noreturn]] void Fail(const std::string& text) {
    const int saved = errno;
    RemoveOwnFiles();
    std::string message = "error " + text;
    if (saved != 0) {
        message += ": ";
        message += std::strerror(saved);
    }
    Report(message);
    _exit(1);
}

bool MakeRaw(int fd) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        return false;
    }
    cfmakeraw(&tio);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    return tcsetattr(fd, TCSANOW, &tio) == 0;
}

// Opens a pty master; `slave` receives the slave's device path.
int OpenMaster(std::string& slave) {
    const int fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return -1;
    }
    char name[128];
    if (grantpt(fd) != 0 || unlockpt(fd) != 0 || ptsname_r(fd, name, sizeof(name)) != 0) {
        close(fd);
        return -1;
    }
    slave = name;
    return fd;
}

// One direction of the null modem: bytes read from `from` wait in `buffer`
// until `to` takes them. While the buffer is full the host stops reading
// `from`, which is what makes the writer on that side stall.
struct Direction {
    int from = -1;
    int to = -1;
    char buffer[maro_vcp::kHostBufferBytes];
    size_t start = 0;
    size_t end = 0;

    bool HasRoom() const { return end < sizeof(buffer) || start > 0; }
    bool HasData() const { return end > start; }

    // Returns false when `from` hung up.
    bool Fill() {
        if (end == sizeof(buffer) && start > 0) {
            std::memmove(buffer, buffer + start, end - start);
            end -= start;
            start = 0;
        }
        const ssize_t n = read(from, buffer + end, sizeof(buffer) - end);
        if (n > 0) {
            end += static_cast<size_t>(n);
            return true;
        }
        return n < 0 && (errno == EAGAIN || errno == EINTR);
    }

    bool Drain() {
        const ssize_t n = write(to, buffer + start, end - start);
        if (n > 0) {
            start += static_cast<size_t>(n);
            if (start == end) {
                start = end = 0;
            }
            return true;
        }
        return n < 0 && (errno == EAGAIN || errno == EINTR);
    }
};

Direction g_toDevice;  // COM<n> -> ZADURUV<n>
Direction g_toCom;     // ZADURUV<n> -> COM<n>

// Exclusive mode per end. A program that sets TIOCEXCL itself (screen does)
// or dies without clearing it would otherwise lock the end for every later
// non-root opener: only the kernel's own tty release clears the flag, and a
// pty slave is never released while the host holds its master. So the host
// manages the flag through its own descriptor of each end: inotify reports
// every open and close of the end's pty node, whoever makes it and through
// whatever name. An open sets the flag at once. A close clears it at once,
// so that the holder may reopen, and then the host looks whether another
// process still has the end open (possible when two opened it before the
// host set the flag) and sets it again if so. Events are not counted: inotify
// merges identical events that follow each other, so counts drift.
class EndClaims {
  public:
    ~EndClaims() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }

    // Watches end `i` (0 COM, 1 device), whose pty node is `node` and on
    // which the host holds `ownFd`.
    bool Watch(int i, const std::string& node, int ownFd) {
        if (fd_ < 0) {
            fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
            if (fd_ < 0) {
                return false;
            }
        }
        ends_[i].node = node;
        ends_[i].ownFd = ownFd;
        ends_[i].watch = inotify_add_watch(fd_, node.c_str(), IN_OPEN | IN_CLOSE);
        return ends_[i].watch >= 0;
    }

    int fd() const { return fd_; }

    // Whether some program other than the host has end `i` open, as far as
    // the events and the process table tell.
    bool held(int i) const { return ends_[i].held; }

    void TakeEvents() {
        alignas(inotify_event) char buffer[4096];
        bool closed[2] = {false, false};
        for (;;) {
            const ssize_t n = read(fd_, buffer, sizeof(buffer));
            if (n <= 0) {
                break;
            }
            for (ssize_t at = 0; at < n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                for (int i = 0; i < 2; ++i) {
                    const bool overflow = (event->mask & IN_Q_OVERFLOW) != 0;
                    if (overflow || (event->wd == ends_[i].watch && (event->mask & IN_CLOSE))) {
                        ioctl(ends_[i].ownFd, TIOCNXCL);
                        closed[i] = true;
                    } else if (event->wd == ends_[i].watch && (event->mask & IN_OPEN)) {
                        ioctl(ends_[i].ownFd, TIOCEXCL);
                        ends_[i].held = true;
                        closed[i] = false;
                    }
                }
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        for (int i = 0; i < 2; ++i) {
            if (closed[i]) {
                ends_[i].held = HeldByAnother(ends_[i].node);
                if (ends_[i].held) {
                    ioctl(ends_[i].ownFd, TIOCEXCL);
                }
            }
        }
    }

  private:
    struct End {
        std::string node;
        int watch = -1;
        int ownFd = -1;
        bool held = false;
    };

    // Whether a process other than this one has `node` open. Only processes
    // whose descriptors this user may see count: the end's pty belongs to
    // this user, so those are the ones that can have opened it.
    static bool HeldByAnother(const std::string& node) {
        DIR* processes = opendir("/proc");
        if (processes == nullptr) {
            return false;
        }
        const std::string self = std::to_string(getpid());
        bool held = false;
        while (!held) {
            const dirent* process = readdir(processes);
            if (process == nullptr) {
                break;
            }
            if (process->d_name[0] < '0' || process->d_name[0] > '9' || self == process->d_name) {
                continue;
            }
            const std::string fdDir = std::string("/proc/") + process->d_name + "/fd";
            DIR* fds = opendir(fdDir.c_str());
            if (fds == nullptr) {
                continue;
            }
            while (const dirent* fd = readdir(fds)) {
                char target[64];
                const ssize_t n = readlinkat(dirfd(fds), fd->d_name, target, sizeof target);
                if (n > 0 && static_cast<size_t>(n) == node.size() &&
                    node.compare(0, node.size(), target, static_cast<size_t>(n)) == 0) {
                    held = true;
                    break;
                }
            }
            closedir(fds);
        }
        closedir(processes);
        return held;
    }

    int fd_ = -1;
    End ends_[2];
};

EndClaims g_claims;

// A client's change of the COM end's line rate is carried over to the device
// end, where a relay that follows the client's rate sees it. The host checks
// after every wake-up, before it moves any byte: bytes the client wrote after
// the change reach the device end only after the new rate.
class LineRateCarrier {
  public:
    void Start(int comMaster, int deviceMaster) {
        comMaster_ = comMaster;
        deviceMaster_ = deviceMaster;
        last_ = Rate(comMaster_);
    }

    // The COM end's rate in bit/s, 0 for a rate without a number.
    uint32_t comBitsPerSecond() const { return BitsPerSecond(Rate(comMaster_)); }

    void Check() {
        const speed_t rate = Rate(comMaster_);
        if (rate == last_ || rate == B0) {
            return;
        }
        last_ = rate;
        termios device{};
        if (tcgetattr(deviceMaster_, &device) == 0) {
            cfsetispeed(&device, rate);
            cfsetospeed(&device, rate);
            tcsetattr(deviceMaster_, TCSANOW, &device);
        }
    }

  private:
    static uint32_t BitsPerSecond(speed_t speed) {
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
        for (const auto& rate : kRates) {
            if (rate.speed == speed) {
                return rate.bits;
            }
        }
        return 0;
    }

    // On a master the termios calls act on its slave.
    static speed_t Rate(int master) {
        termios t{};
        return tcgetattr(master, &t) == 0 ? cfgetospeed(&t) : B0;
    }

    int comMaster_ = -1;
    int deviceMaster_ = -1;
    speed_t last_ = B0;
};

LineRateCarrier g_lineRate;

// The line file (CNC<n>.lines): which ends are held and the COM end's rate,
// for the programs on the ends. Rewritten only when something in it changed.
class LinesPublisher {
  public:
    // Publishes what the claims and the line rate say now. False when the
    // file could not be written.
    bool Update() {
        maro_vcp::PairLines now = published_;
        now.deviceOpen = g_claims.held(1);
        now.comOpen = g_claims.held(0);
        now.comRate = g_lineRate.comBitsPerSecond();
        if (now.deviceOpen != published_.deviceOpen) {
            ++now.changes;
        }
        if (written_ && now.deviceOpen == published_.deviceOpen &&
            now.comOpen == published_.comOpen && now.comRate == published_.comRate &&
            now.dropped == published_.dropped) {
            return true;
        }
        const std::string temporary =
            g_dir + "/." + maro_vcp::LinesFileName(g_number) + "." + std::to_string(getpid());
        const int fd =
            open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) {
            return false;
        }
        const std::string text = maro_vcp::FormatLines(now);
        const bool whole = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        close(fd);
        if (!whole || rename(temporary.c_str(), g_linesPath.c_str()) != 0) {
            unlink(temporary.c_str());
            return false;
        }
        published_ = now;
        written_ = true;
        return true;
    }

  private:
    maro_vcp::PairLines published_;
    bool written_ = false;
};

LinesPublisher g_lines;

// How long an idle host waits before it looks for a changed line rate that
// no byte has followed yet.
constexpr int kLineRateCheckMs = 250;

void Relay(int comMaster, int deviceMaster, int signalFd) {
    g_lineRate.Start(comMaster, deviceMaster);
    auto stateCheckDue = std::chrono::steady_clock::now();
    g_toDevice.from = comMaster;
    g_toDevice.to = deviceMaster;
    g_toCom.from = deviceMaster;
    g_toCom.to = comMaster;
    bool hungUp[2] = {false, false};
    for (;;) {
        pollfd fds[4]{};
        const int masters[2] = {comMaster, deviceMaster};
        Direction* reading[2] = {&g_toDevice, &g_toCom};
        Direction* writing[2] = {&g_toCom, &g_toDevice};
        bool backoff = false;
        for (int i = 0; i < 2; ++i) {
            short events = 0;
            if (reading[i]->HasRoom()) {
                events |= POLLIN;
            }
            if (writing[i]->HasData()) {
                events |= POLLOUT;
            }
            // A hung-up master reports POLLHUP whatever is asked, so leave it
            // out for a short while instead of spinning on it.
            fds[i].fd = (hungUp[i] || events == 0) ? -1 : masters[i];
            fds[i].events = events;
            backoff = backoff || hungUp[i];
            hungUp[i] = false;
        }
        fds[2].fd = signalFd;
        fds[2].events = POLLIN;
        fds[3].fd = g_claims.fd();
        fds[3].events = POLLIN;
        const int ready = poll(fds, 4, backoff ? kHangupBackoffMs : kLineRateCheckMs);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (fds[2].revents != 0) {
            return;
        }
        if (fds[3].revents != 0) {
            g_claims.TakeEvents();
        }
        g_lineRate.Check();
        g_lines.Update();
        if (ready == 0 && std::chrono::steady_clock::now() >= stateCheckDue) {
            stateCheckDue = std::chrono::steady_clock::now() + kStateCheck;
            if (!StateFileIsOurs()) {
                return;
            }
        }
        for (int i = 0; i < 2; ++i) {
            const short revents = fds[i].revents;
            if (revents == 0) {
                continue;
            }
            if ((revents & POLLIN) != 0 && !reading[i]->Fill()) {
                hungUp[i] = true;
            }
            if ((revents & POLLOUT) != 0 && !writing[i]->Drain()) {
                hungUp[i] = true;
            }
            if ((revents & (POLLHUP | POLLERR)) != 0 && (revents & POLLIN) == 0) {
                hungUp[i] = true;
            }
        }
    }
}

int Run() {
    g_statePath = g_dir + "/" + maro_vcp::StateFileName(g_number);
    g_linesPath = g_dir + "/" + maro_vcp::LinesFileName(g_number);
    g_links[0] = g_dir + "/" + maro_vcp::ComPortName(g_number);
    g_links[1] = g_dir + "/" + maro_vcp::DevicePortName(g_number);
    g_links[2] = g_dir + "/" + maro_vcp::AliasPortName(g_number);

    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGHUP);
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    const int signalFd = signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signalFd < 0) {
        Fail("cannot create the signal descriptor");
    }

    // The state file is written under a temporary name and renamed into
    // place, so a reader never sees half of it; the lock travels with it.
    const std::string temporary =
        g_dir + "/." + maro_vcp::StateFileName(g_number) + "." + std::to_string(getpid());
    g_stateFd = open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (g_stateFd < 0) {
        Fail("cannot create the state file " + temporary);
    }
    if (flock(g_stateFd, LOCK_EX | LOCK_NB) != 0) {
        unlink(temporary.c_str());
        Fail("cannot lock the state file " + temporary);
    }

    int masters[2];
    std::string slaves[2];
    for (int i = 0; i < 2; ++i) {
        masters[i] = OpenMaster(slaves[i]);
        if (masters[i] < 0) {
            unlink(temporary.c_str());
            Fail("cannot open a pseudo terminal");
        }
        // On a master the termios calls act on its slave: no line discipline
        // may touch the bytes (no echo, no CR/LF mapping, no XON/XOFF).
        if (!MakeRaw(masters[i])) {
            unlink(temporary.c_str());
            Fail("cannot set the pseudo terminal to raw mode");
        }
    }
    g_slaves[0] = slaves[0];
    g_slaves[1] = slaves[1];
    g_slaves[2] = slaves[1];

    for (int i = 0; i < 3; ++i) {
        if (symlink(g_slaves[i].c_str(), g_links[i].c_str()) != 0) {
            const std::string link = g_links[i];
            g_links[i].clear();  // not ours: must not be removed
            unlink(temporary.c_str());
            Fail("cannot create the port link " + link);
        }
    }

    // The host keeps one descriptor of each slave open, opened through the
    // links themselves: that proves the links work, and a master whose slave
    // is open never reads EIO, so clients may close and reopen freely.
    int keepOpen[2];
    for (int i = 0; i < 2; ++i) {
        keepOpen[i] = open(g_links[i].c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
        if (keepOpen[i] < 0 || !MakeRaw(keepOpen[i])) {
            unlink(temporary.c_str());
            Fail("cannot open the port " + g_links[i]);
        }
    }
    const int aliasCheck = open(g_links[2].c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (aliasCheck < 0) {
        unlink(temporary.c_str());
        Fail("cannot open the port " + g_links[2]);
    }
    close(aliasCheck);
    for (int i = 0; i < 2; ++i) {
        if (!g_claims.Watch(i, slaves[i], keepOpen[i])) {
            unlink(temporary.c_str());
            Fail("cannot watch the port " + g_links[i]);
        }
    }

    maro_vcp::PairState state;
    state.number = g_number;
    state.pid = getpid();
    state.comTty = slaves[0];
    state.deviceTty = slaves[1];
    const std::string text = maro_vcp::FormatState(state);
    if (write(g_stateFd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        unlink(temporary.c_str());
        Fail("cannot write the state file");
    }
    if (rename(temporary.c_str(), g_statePath.c_str()) != 0) {
        unlink(temporary.c_str());
        Fail("cannot publish the state file " + g_statePath);
    }
    g_lineRate.Start(masters[0], masters[1]);
    if (!g_lines.Update()) {
        Fail("cannot write the line file " + g_linesPath);
    }

    Report("ready");
    close(kReadyFd);

    Relay(masters[0], masters[1], signalFd);
    RemoveOwnFiles();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <port directory> <number>\n", maro_vcp::kHostProgramName);
        return 2;
    }
    g_dir = argv[1];
    char* end = nullptr;
    const long number = std::strtol(argv[2], &end, 10);
    if (g_dir.empty() || g_dir.front() != '/' || end == argv[2] || *end != '\0' ||
        number < maro_vcp::kMinPortNumber || number > maro_vcp::kMaxPortNumber) {
        std::fprintf(stderr, "%s: bad arguments\n", maro_vcp::kHostProgramName);
        return 2;
    }
    g_number = static_cast<int>(number);

    // Nothing the installer left open without close-on-exec may stay here:
    // an inherited pty slave or lock would change other pairs' behaviour.
    close_range(kReadyFd + 1, ~0U, 0);

    // Detach for good: the child is reparented away from the installer, so
    // it never lingers as the installer's zombie. This process has a single
    // thread, so forking here is safe.
    const pid_t child = fork();
    if (child < 0) {
        Report(std::string("error cannot start the pair host: ") + std::strerror(errno));
        return 1;
    }
    if (child > 0) {
        _exit(0);
    }
    Report("pid " + std::to_string(getpid()));
    return Run();
}
