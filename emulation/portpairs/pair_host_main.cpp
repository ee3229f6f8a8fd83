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
// Each end is exclusive, as a COM port is (pair_end.h). While no program
// holds the COM end, what the device end sends is dropped and counted, as a
// serial line loses what arrives while its port is closed: a camera that
// talks to a closed port never stalls the relay, and the next program to
// open the port reads only what arrived after its open.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "emulation/portpairs/pair_end.h"
#include "emulation/portpairs/pair_flow.h"
#include "emulation/portpairs/pair_lines_file.h"
#include "emulation/portpairs/pair_names.h"
#include "platform/deadline.h"

namespace {

using clst::platform::Deadline;
using clst::platform::Period;
using maro_vcp::Direction;
using maro_vcp::PairEnd;
using Clock = Deadline::Clock;

constexpr int kReadyFd = 3;
// How often the host checks that its state file is still its own: a pair
// whose port directory was wiped must not linger as an orphan process, busy
// or not.
constexpr auto kStateCheck = std::chrono::seconds(2);
// How long an idle host waits before it looks for a changed line rate that
// no byte has followed yet.
constexpr auto kIdleLook = std::chrono::milliseconds(250);

std::string g_dir;
int g_number = -1;
std::string g_links[3];   // COM<n>, ZADURUV<n>, MAROCOM<n>
std::string g_slaves[3];  // what each link points to
std::string g_statePath;
int g_stateFd = -1;

PairEnd g_com(true);      // COM<n>: a new holder reads only what came after its open
PairEnd g_device(false);  // ZADURUV<n>: what the client sends waits for the relay
PairEnd* const g_ends[2] = {&g_com, &g_device};
Direction g_toDevice;  // COM<n> -> ZADURUV<n>
Direction g_toCom;     // ZADURUV<n> -> COM<n>
maro_vcp::LineRateCarrier g_lineRate;

void Report(const std::string& line) {
    const std::string text = line + "\n";
    ssize_t ignored = write(kReadyFd, text.data(), text.size());
    (void)ignored;
}

bool StateFileIsOurs() {
    struct stat mine {};
    struct stat named {};
    return g_stateFd >= 0 && fstat(g_stateFd, &mine) == 0 &&
           stat(g_statePath.c_str(), &named) == 0 && mine.st_ino == named.st_ino &&
           mine.st_dev == named.st_dev;
}

// Removes the links that still point at this host's ptys, and the state and
// line files when they are still this host's: a newer pair of the same
// number keeps its own.
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
    if (StateFileIsOurs()) {
        unlink(g_statePath.c_str());
        unlink((g_dir + "/" + maro_vcp::LinesFileName(g_number)).c_str());
    }
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

std::string Temporary(const std::string& name) {
    return g_dir + "/." + name + "." + std::to_string(getpid());
}

// A new state file, locked before it is renamed into place: the lock travels
// with it, so the pair never looks dead. False when it could not be written.
bool PublishState() {
    const std::string temporary = Temporary(maro_vcp::StateFileName(g_number));
    unlink(temporary.c_str());
    const int fd = open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    maro_vcp::PairState state;
    state.number = g_number;
    state.pid = getpid();
    state.comTty = g_com.slave();
    state.deviceTty = g_device.slave();
    const std::string text = maro_vcp::FormatState(state);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 ||
        write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
        rename(temporary.c_str(), g_statePath.c_str()) != 0) {
        const int saved = errno;
        close(fd);
        unlink(temporary.c_str());
        errno = saved;
        return false;
    }
    if (g_stateFd >= 0) {
        close(g_stateFd);
    }
    g_stateFd = fd;
    return true;
}

// Points the links of end `i` (0 COM, 1 device) at its pty, replacing each
// link in one step.
bool Link(int i, bool replace) {
    const std::string& slave = g_ends[i]->slave();
    for (int link = i; link < (i == 0 ? 1 : 3); ++link) {
        const std::string temporary = Temporary(g_links[link].substr(g_dir.size() + 1));
        if (!replace) {
            if (symlink(slave.c_str(), g_links[link].c_str()) != 0) {
                const std::string name = g_links[link];
                g_links[link].clear();  // not ours: must not be removed
                Fail("cannot create the port link " + name);
            }
        } else {
            unlink(temporary.c_str());
            if (symlink(slave.c_str(), temporary.c_str()) != 0 ||
                rename(temporary.c_str(), g_links[link].c_str()) != 0) {
                unlink(temporary.c_str());
                return false;
            }
        }
        g_slaves[link] = slave;
    }
    return true;
}

// A holder that made an end exclusive itself and died leaves it locked for
// everybody: the end gets a new pty behind the same links. Nobody has the
// old one open, so no client loses its port; what waited in it for the next
// holder is lost.
void RenewStuckEnd(int i, int inotifyFd, Direction& from, Clock::time_point now) {
    PairEnd& end = *g_ends[i];
    while (from.HasRoom() && from.Fill(end.master()) == Direction::Read::kSome) {
    }
    if (end.OpenPty(inotifyFd, now)) {
        Link(i, true);
        PublishState();
        g_lineRate.SetMasters(g_com.master(), g_device.master());
    }
}

// Every open and close of the ends' pty nodes, whoever makes it and through
// whatever name. Events are not counted: inotify merges identical events that
// follow each other. Each one is a reason to look again.
void TakeEvents(int inotifyFd, Clock::time_point now) {
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t n = read(inotifyFd, buffer, sizeof(buffer));
        if (n <= 0) {
            return;
        }
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            for (PairEnd* end : g_ends) {
                if ((event->mask & IN_Q_OVERFLOW) != 0) {
                    end->Lost(now);
                } else if (event->wd == end->watch() && (event->mask & IN_CLOSE) != 0) {
                    end->Closed(now);
                } else if (event->wd == end->watch() && (event->mask & IN_OPEN) != 0) {
                    end->Opened(now);
                }
            }
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
}

void Relay(int signalFd, int inotifyFd, maro_vcp::LinesFile& lines) {
    Period stateCheck(kStateCheck);
    uint64_t dropped = 0;
    Direction* const from[2] = {&g_toDevice, &g_toCom};  // what end i's holder sends
    Direction* const to[2] = {&g_toCom, &g_toDevice};    // what end i's holder gets
    for (;;) {
        pollfd fds[4]{};
        for (int i = 0; i < 2; ++i) {
            const PairEnd& end = *g_ends[i];
            short events = 0;
            bool watch = false;
            if (end.held()) {
                events = static_cast<short>((from[i]->HasRoom() ? POLLIN : 0) |
                                            (to[i]->HasData() ? POLLOUT : 0));
                // POLLHUP comes whatever is asked: it tells the holder left.
                watch = events != 0 || end.hangupTells();
            } else {
                // A master whose slave nobody holds reports POLLHUP at once:
                // only what the last holder wrote is still read.
                events = POLLIN;
                watch = end.leftovers() && from[i]->HasRoom();
            }
            fds[i] = {watch ? end.master() : -1, events, 0};
        }
        fds[2] = {signalFd, POLLIN, 0};
        fds[3] = {inotifyFd, POLLIN, 0};
        Deadline wake = Deadline::In(kIdleLook);
        const auto earlier = [&wake](const Deadline& when) {
            if (when.when() < wake.when()) {
                wake = when;
            }
        };
        earlier(stateCheck.next());
        for (const PairEnd* end : g_ends) {
            if (end->claimPending()) {
                earlier(end->claimDue());
            }
            if (end->retiring()) {
                earlier(end->retiredUntil());
            }
        }
        if (lines.waiting()) {
            earlier(lines.due());
        }
        if (poll(fds, 4, wake.RemainingMs()) < 0 && errno != EINTR) {
            return;
        }
        const Clock::time_point now = Clock::now();
        if (fds[2].revents != 0) {
            return;
        }
        // Opens and closes first: a claim to drop goes before anything else.
        if (fds[3].revents != 0) {
            TakeEvents(inotifyFd, now);
        }
        Direction::Read read[2] = {Direction::Read::kNone, Direction::Read::kNone};
        for (int i = 0; i < 2; ++i) {
            PairEnd& end = *g_ends[i];
            const short revents = fds[i].fd < 0 ? 0 : fds[i].revents;
            if ((revents & POLLIN) != 0) {
                const size_t queued = from[i]->size();
                read[i] = from[i]->Fill(end.master());
                if (i == 0) {
                    g_lineRate.Look(queued);
                }
            }
            const bool ended = read[i] == Direction::Read::kEnded ||
                               ((revents & (POLLHUP | POLLERR)) != 0 && (revents & POLLIN) == 0);
            if (ended && end.hangupTells()) {
                end.Closed(now);
            } else if (ended && !end.held()) {
                end.NoLeftovers();
            }
            end.Settle(now);
            if (end.stuck()) {
                RenewStuckEnd(i, inotifyFd, *from[i], now);
            }
            end.DropRetired(now);
        }
        // A rate change without bytes after it still goes over.
        g_lineRate.Look(g_toDevice.size());
        // Into a device end that nobody holds the bytes go as long as its
        // pty takes them; then the client's writes stall until a relay is back.
        g_lineRate.Sent(g_toDevice.Drain(g_device.master(), g_lineRate.beforeChange()));
        if (g_toCom.HasData()) {
            g_com.Opened(now);  // a holder whose open is not reported yet still gets them
            if (g_com.held()) {
                if (g_toCom.Drain(g_com.master(), SIZE_MAX) > 0) {
                    g_com.Delivered();
                }
            } else {
                dropped += g_toCom.Discard();
            }
        }
        lines.Publish({g_device.held(), g_com.held(), g_device.changes(),
                       g_lineRate.comBitsPerSecond(), dropped},
                      now);
        if (stateCheck.Due(now) && !StateFileIsOurs()) {
            return;
        }
    }
}

int Run() {
    g_statePath = g_dir + "/" + maro_vcp::StateFileName(g_number);
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
    const int inotifyFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotifyFd < 0) {
        Fail("cannot watch the ports");
    }
    for (PairEnd* end : g_ends) {
        if (!end->OpenPty(inotifyFd, Clock::now())) {
            Fail("cannot open a pseudo terminal");
        }
    }
    Link(0, false);
    Link(1, false);
    // Each link opens (proving it works); the host keeps no slave open.
    for (const std::string& link : g_links) {
        const int fd = open(link.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) {
            Fail("cannot open the port " + link);
        }
        close(fd);
    }
    // The state file is written under a temporary name and renamed into
    // place, so a reader never sees half of it.
    if (!PublishState()) {
        Fail("cannot publish the state file " + g_statePath);
    }
    g_lineRate.Start(g_com.master(), g_device.master());
    maro_vcp::LinesFile lines(g_dir, g_number);
    if (!lines.Publish({false, false, 0, g_lineRate.comBitsPerSecond(), 0}, Clock::now())) {
        Fail("cannot write the line file " + lines.path());
    }

    Report("ready");
    close(kReadyFd);

    Relay(signalFd, inotifyFd, lines);
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
